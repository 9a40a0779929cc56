"""Compile requests decoded straight from request text.

Request-body faults answer "bad compile request: " + the decoder's message +
" at line L column C". Positions in these tables were counted by hand:
columns are 1-based byte offsets within the line; a missing field sits at the
closing brace of the object that lacks it, a value of the wrong type at its
last byte, a fault in the name of a variant or of an enumeration at the last
byte of that name, a repeated key at the last byte of its second occurrence,
a fault among a tagged value's own fields at the point where the enclosing
compile-spec object stopped (its closing brace when the tagged value is its
last member, else the tagged value's own last byte), and a token that cannot
stand where an optimisation level must at its first byte.
"""

import pytest

from _requests import (
    MIN_STRATEGY,
    STRATEGY_ERROR,
    compile_request,
    error_response,
    expected_dry_run,
    params,
)

REQUEST = "bad compile request: "
TARGETS = "one of `wasm`, `binary`, `no_std`"
LEVELS = "one of `debug`, `release`, `size`"
DATASETS = "`csv` or `inline`"
# A request that decodes but carries the strategy 0 fails in the pipeline.
DECODED = error_response(STRATEGY_ERROR + "invalid type: integer `0`, expected struct StrategySpec")


def bad_request(message, line, column):
    return error_response(f"{REQUEST}{message} at line {line} column {column}")


def table(rows):
    return pytest.mark.parametrize(("text", "message", "line", "column"), [r[1:] for r in rows],
                                   ids=[r[0] for r in rows])


# ---------------------------------------------------------------------------
# A fault in a tagged value's fields (a missing `mcu` or `path`, a field of the wrong type) is
# placed at the closing brace or bracket of that tagged value.
#
# The target. In these texts the target's value starts at column 48:
#   {"cmd":"compile","spec":{"strategy":0,"target":
#   ^1                                             ^47

T = '{"cmd":"compile","spec":{"strategy":0,"target":'

TARGET_FAULTS = [
    ("no-std-without-mcu", T + '{"kind":"no_std"}}}', "missing field `mcu`", 1, 64),
    ("no-std-without-mcu-not-last", T + '{"kind":"no_std"},"opt_level":"size"}}', "missing field `mcu`", 1, 64),
    ("no-std-without-mcu-blank-after", T + '{"kind":"no_std"} }}', "missing field `mcu`", 1, 64),
    ("mcu-number", T + '{"kind":"no_std","mcu":5}}}', "invalid type: integer `5`, expected a string", 1, 72),
    ("mcu-null", T + '{"mcu":null,"kind":"no_std"}}}', "invalid type: null, expected a string", 1, 75),
    ("mcu-map", T + '{"kind":"no_std","mcu":{}}}}', "invalid type: map, expected a string", 1, 73),
    ("unknown-kind", T + '{"kind":"x"}}}', "unknown variant `x`, expected " + TARGETS, 1, 58),
    ("kind-case", T + '{"kind":"WASM"}}}', "unknown variant `WASM`, expected " + TARGETS, 1, 61),
    ("kind-number", T + '{"kind":1}}}', "invalid type: integer `1`, expected variant identifier", 1, 56),
    ("kind-null", T + '{"kind":null}}}', "invalid type: null, expected variant identifier", 1, 59),
    ("kind-missing", T + '{"mcu":"a"}}}', "missing field `kind`", 1, 58),
    ("kind-missing-empty", T + "{}}}", "missing field `kind`", 1, 49),
    ("kind-twice", T + '{"kind":"wasm","kind":"wasm"}}}', "duplicate field `kind`", 1, 68),
    ("string", T + '"wasm"}}', 'invalid type: string "wasm", expected internally tagged enum Target', 1, 53),
    ("null", T + "null}}", "invalid type: null, expected internally tagged enum Target", 1, 51),
    ("number", T + "5}}", "invalid type: integer `5`, expected internally tagged enum Target", 1, 48),
    ("bool", T + "false}}", "invalid type: boolean `false`, expected internally tagged enum Target", 1, 52),
    ("positional-empty", T + "[]}}", "missing field `kind`", 1, 49),
    ("positional-no-std-short", T + '["no_std"]}}',
     "invalid length 0, expected struct variant Target::NoStd with 1 element", 1, 57),
    ("positional-unknown", T + '["arm"]}}', "unknown variant `arm`, expected " + TARGETS, 1, 53),
]


@table(TARGET_FAULTS)
def test_target_faults(compiler, text, message, line, column):
    assert compiler.command(text) == bad_request(message, line, column)


# ---------------------------------------------------------------------------
# The optimisation level. Its value starts at column 76:
#   {"cmd":"compile","spec":{"strategy":0,"target":{"kind":"wasm"},"opt_level":
#   ^1                                                                        ^75

O = '{"cmd":"compile","spec":{"strategy":0,"target":{"kind":"wasm"},"opt_level":'

LEVEL_FAULTS = [
    ("unknown", O + '"x"}}', "unknown variant `x`, expected " + LEVELS, 1, 78),
    ("case", O + '"Release"}}', "unknown variant `Release`, expected " + LEVELS, 1, 84),
    ("unknown-map-form", O + '{"x":null}}}', "unknown variant `x`, expected " + LEVELS, 1, 79),
    ("map-value-not-null", O + '{"size":1}}}', "invalid type: integer `1`, expected unit", 1, 84),
    ("number", O + "1}}", "expected value", 1, 76),
    ("true", O + "true}}", "expected value", 1, 76),
    ("false", O + "false}}", "expected value", 1, 76),
    ("null", O + "null}}", "expected value", 1, 76),
    ("array", O + '["size"]}}', "expected value", 1, 76),
]


@table(LEVEL_FAULTS)
def test_opt_level_faults(compiler, text, message, line, column):
    assert compiler.command(text) == bad_request(message, line, column)


# ---------------------------------------------------------------------------
# The dataset. Its value starts at column 77:
#   {"cmd":"compile","spec":{"strategy":0,"target":{"kind":"wasm"},"embed_data":
#   ^1                                                                         ^76

E = '{"cmd":"compile","spec":{"strategy":0,"target":{"kind":"wasm"},"embed_data":'

DATASET_FAULTS = [
    ("csv-without-path", E + '{"kind":"csv"}}}', "missing field `path`", 1, 90),
    ("inline-without-candles", E + '{"kind":"inline"}}}', "missing field `candles`", 1, 93),
    ("candles-map", E + '{"kind":"inline","candles":{}}}}', "invalid type: map, expected a sequence", 1, 106),
    ("candles-string", E + '{"kind":"inline","candles":"x"}}}',
     'invalid type: string "x", expected a sequence', 1, 107),
    ("path-number", E + '{"kind":"csv","path":5}}}', "invalid type: integer `5`, expected a string", 1, 99),
    ("csv-without-path-not-last", E + '{"kind":"csv"},"crate_name":"a"}}', "missing field `path`", 1, 90),
    ("unknown-kind", E + '{"kind":"xml"}}}', "unknown variant `xml`, expected " + DATASETS, 1, 89),
    ("kind-missing", E + '{"path":"a.csv"}}}', "missing field `kind`", 1, 92),
    ("kind-twice", E + '{"kind":"csv","path":"a","kind":"inline"}}}', "duplicate field `kind`", 1, 107),
    ("number", E + "5}}", "invalid type: integer `5`, expected internally tagged enum DatasetRef", 1, 77),
    ("string", E + '"csv"}}', 'invalid type: string "csv", expected internally tagged enum DatasetRef', 1, 81),
    ("bool", E + "true}}", "invalid type: boolean `true`, expected internally tagged enum DatasetRef", 1, 80),
    ("positional-empty", E + "[]}}", "missing field `kind`", 1, 78),
    ("positional-csv-short", E + '["csv"]}}', "invalid length 0, expected struct variant DatasetRef::Csv with 1 element",
     1, 83),
    ("positional-inline-short", E + '["inline"]}}',
     "invalid length 0, expected struct variant DatasetRef::Inline with 1 element", 1, 86),
]


@table(DATASET_FAULTS)
def test_embed_data_faults(compiler, text, message, line, column):
    assert compiler.command(text) == bad_request(message, line, column)


# ---------------------------------------------------------------------------
# The crate name, required fields, repeated fields and the compile spec's own shape.

C = '{"cmd":"compile","spec":{"strategy":0,"target":{"kind":"wasm"},"crate_name":'

SPEC_FAULTS = [
    ("crate-name-number", C + "5}}", "invalid type: integer `5`, expected a string", 1, 77),
    ("crate-name-bool", C + "true}}", "invalid type: boolean `true`, expected a string", 1, 80),
    ("crate-name-float", C + "1.5}}", "invalid type: floating point `1.5`, expected a string", 1, 79),
    ("crate-name-negative", C + "-12}}", "invalid type: integer `-12`, expected a string", 1, 79),
    ("missing-strategy", '{"cmd":"compile","spec":{"target":{"kind":"wasm"}}}', "missing field `strategy`", 1, 50),
    ("missing-target", '{"cmd":"compile","spec":{"strategy":0}}', "missing field `target`", 1, 38),
    ("missing-both", '{"cmd":"compile","spec":{}}', "missing field `strategy`", 1, 26),
    ("missing-both-with-extras", '{"cmd":"compile","spec":{"opt_level":"size","x":[1]}}',
     "missing field `strategy`", 1, 52),
    ("key-error-before-missing", '{"cmd":"compile","spec":{"target":5}}',
     "invalid type: integer `5`, expected internally tagged enum Target", 1, 35),
    ("target-twice", '{"cmd":"compile","spec":{"strategy":0,"target":{"kind":"wasm"},"target":{"kind":"wasm"}}}',
     "duplicate field `target`", 1, 71),
    ("strategy-twice", '{"cmd":"compile","spec":{"strategy":0,"strategy":0,"target":{"kind":"wasm"}}}',
     "duplicate field `strategy`", 1, 48),
    ("opt-level-twice", O + '"size","opt_level":"size"}}', "duplicate field `opt_level`", 1, 93),
    ("crate-name-twice", C + '"a","crate_name":"a"}}', "duplicate field `crate_name`", 1, 92),
    ("embed-data-twice", E + 'null,"embed_data":null}}', "duplicate field `embed_data`", 1, 93),
    ("positional-empty", '{"cmd":"compile","spec":[]}',
     "invalid length 0, expected struct CompileSpec with 5 elements", 1, 26),
    ("positional-strategy-only", '{"cmd":"compile","spec":[0]}',
     "invalid length 1, expected struct CompileSpec with 5 elements", 1, 27),
    ("positional-six", '{"cmd":"compile","spec":[0,{"kind":"wasm"},"size",null,"n",1]}',
     "invalid length 6, expected fewer elements in array", 1, 61),
    ("positional-bad-target", '{"cmd":"compile","spec":[0,{"kind":"x"}]}',
     "unknown variant `x`, expected " + TARGETS, 1, 38),
    ("positional-bad-level", '{"cmd":"compile","spec":[0,{"kind":"wasm"},7]}', "expected value", 1, 44),
    ("spec-number", '{"cmd":"compile","spec":5}', "invalid type: integer `5`, expected struct CompileSpec", 1, 25),
    ("spec-string", '{"cmd":"compile","spec":"x"}', 'invalid type: string "x", expected struct CompileSpec', 1, 27),
    ("spec-null", '{"cmd":"compile","spec":null}', "invalid type: null, expected struct CompileSpec", 1, 28),
]


@table(SPEC_FAULTS)
def test_compile_spec_faults(compiler, text, message, line, column):
    assert compiler.command(text) == bad_request(message, line, column)


# ---------------------------------------------------------------------------
# The request body around the compile spec.

BODY_FAULTS = [
    ("missing-spec", '{"cmd":"compile"}', "missing field `spec`", 1, 17),
    ("missing-spec-with-extras", '{"cmd":"compile","dry_run":true,"out_dir":null}', "missing field `spec`", 1, 47),
    ("dry-run-null", '{"cmd":"compile","dry_run":null}', "invalid type: null, expected a boolean", 1, 31),
    ("dry-run-string", '{"cmd":"compile","dry_run":"yes"}', 'invalid type: string "yes", expected a boolean', 1, 32),
    ("dry-run-number", '{"cmd":"compile","dry_run":1}', "invalid type: integer `1`, expected a boolean", 1, 28),
    ("out-dir-number", '{"cmd":"compile","out_dir":5}', "invalid type: integer `5`, expected a string", 1, 28),
    ("out-dir-bool", '{"cmd":"compile","out_dir":false}', "invalid type: boolean `false`, expected a string", 1, 32),
    ("body-error-before-missing-spec", '{"cmd":"compile","dry_run":"x","spec":{}}',
     'invalid type: string "x", expected a boolean', 1, 30),
    ("spec-error-before-later-body-error", '{"cmd":"compile","spec":{},"dry_run":"x"}',
     "missing field `strategy`", 1, 26),
    ("spec-twice", '{"cmd":"compile","spec":{"strategy":0,"target":{"kind":"wasm"}},"spec":1}',
     "duplicate field `spec`", 1, 70),
    ("dry-run-twice", '{"cmd":"compile","dry_run":true,"dry_run":true}', "duplicate field `dry_run`", 1, 41),
    ("out-dir-twice", '{"cmd":"compile","out_dir":"a","out_dir":"a"}', "duplicate field `out_dir`", 1, 40),
    # The envelope may be a one-element array; the body then reads that element as `spec`.
    ("positional-body", '["compile"]', 'invalid type: string "compile", expected struct CompileSpec', 1, 10),
    ("non-ascii-counts-bytes", '{"cmd":"compile","é":"ü","spec":{"strategy":0}}', "missing field `target`", 1, 48),
    ("tabs-count-one", '{"cmd":"compile",\t"spec":\t{"strategy":0}}', "missing field `target`", 1, 40),
]


@table(BODY_FAULTS)
def test_request_body_faults(compiler, text, message, line, column):
    assert compiler.command(text) == bad_request(message, line, column)


# An array or object of the wrong JSON kind is refused before it is read: the fault is placed
# at the last byte read, the one before its opening bracket or brace.
CONTAINER_FAULTS = [
    ("dry-run-array", '{"cmd":"compile","dry_run":[]}', "invalid type: sequence, expected a boolean", 1, 27),
    ("out-dir-map", '{"cmd":"compile","out_dir":{}}', "invalid type: map, expected a string", 1, 27),
    ("crate-name-array", C + "[1]}}", "invalid type: sequence, expected a string", 1, len(C)),
    ("out-dir-map-after-blank", '{"cmd":"compile","out_dir": {}}', "invalid type: map, expected a string", 1, 28),
]


@table(CONTAINER_FAULTS)
def test_container_of_wrong_kind(compiler, text, message, line, column):
    assert compiler.command(text) == bad_request(message, line, column)


MULTI_LINE = [
    ("unknown-kind-line-3", '{"cmd":"compile",\n "spec":{"strategy":0,\n  "target":{"kind":"x"}}}',
     "unknown variant `x`, expected " + TARGETS, 3, 22),
    ("missing-spec-crlf", '{\r\n"cmd":"compile"\r\n}', "missing field `spec`", 3, 1),
    ("missing-mcu-pretty", '{\n  "cmd": "compile",\n  "spec": {\n    "strategy": 0,\n'
     '    "target": {"kind": "no_std"}\n  }\n}\n', "missing field `mcu`", 5, 32),
    ("dry-run-null-after-crlf", '{"cmd":"compile",\r\n\r\n  "dry_run" : null }', "invalid type: null, expected a boolean",
     3, 18),
    ("missing-target-pretty", '{\n\t"cmd": "compile",\n\t"spec": {\n\t\t"strategy": 0\n\t}\n}',
     "missing field `target`", 5, 2),
    ("crate-name-line-2", '{"cmd":"compile","spec":{"strategy":0,"target":{"kind":"wasm"},\n"crate_name":7}}',
     "invalid type: integer `7`, expected a string", 2, 14),
]


@table(MULTI_LINE)
def test_multi_line_positions(compiler, text, message, line, column):
    assert compiler.command(text) == bad_request(message, line, column)


# ---------------------------------------------------------------------------
# Forms that decode. The spec's strategy is the minimal one, so the answer is
# the complete dry-run response.

S = MIN_STRATEGY

VALID_SPECS = [
    ("wasm", compile_request(S), {"kind": "wasm"}, {}),
    ("wasm-with-extra-members", compile_request(S, '{"kind":"wasm","mcu":"x","n":[1]}'), {"kind": "wasm"}, {}),
    ("binary-ignores-mcu", compile_request(S, '{"kind":"binary","mcu":"x"}'), {"kind": "binary"}, {}),
    ("binary-positional", compile_request(S, '["binary"]'), {"kind": "binary"}, {}),
    ("no-std", compile_request(S, '{"kind":"no_std","mcu":"thumbv6m-none-eabi"}'),
     {"kind": "no_std", "mcu": "thumbv6m-none-eabi"}, {}),
    ("no-std-tag-last", compile_request(S, '{"mcu":"thumbv7m-none-eabi","x":0,"kind":"no_std"}'),
     {"kind": "no_std", "mcu": "thumbv7m-none-eabi"}, {}),
    ("no-std-positional", compile_request(S, '["no_std","riscv32imac-unknown-none-elf"]'),
     {"kind": "no_std", "mcu": "riscv32imac-unknown-none-elf"}, {}),
    ("level-debug", compile_request(S, opt_level='"debug"'), {"kind": "wasm"}, {"opt_level": "debug"}),
    ("level-release", compile_request(S, opt_level='"release"'), {"kind": "wasm"}, {"opt_level": "release"}),
    ("level-size", compile_request(S, opt_level='"size"'), {"kind": "wasm"}, {"opt_level": "size"}),
    ("level-size-map-form", compile_request(S, opt_level='{"size":null}'), {"kind": "wasm"}, {"opt_level": "size"}),
    ("level-debug-map-form", compile_request(S, opt_level='{"debug":null}'), {"kind": "wasm"},
     {"opt_level": "debug"}),
    ("embed-data-null", compile_request(S, embed_data="null"), {"kind": "wasm"}, {}),
    ("inline-empty", compile_request(S, embed_data='{"kind":"inline","candles":[]}'), {"kind": "wasm"},
     {"embed": {"kind": "inline", "candles": []}}),
    ("inline-tag-last", compile_request(S, embed_data='{"candles":[[1,2],{"c":1,"a":"x"}],"kind":"inline"}'),
     {"kind": "wasm"}, {"embed": {"kind": "inline", "candles": [[1, 2], {"c": 1, "a": "x"}]}}),
    ("inline-positional", compile_request(S, embed_data='["inline",[1,null,true]]'), {"kind": "wasm"},
     {"embed": {"kind": "inline", "candles": [1, None, True]}}),
    ("crate-name-null", compile_request(S, crate_name="null"), {"kind": "wasm"}, {}),
    ("crate-name", compile_request(S, crate_name='"mine"'), {"kind": "wasm"},
     {"crate": "mine", "crate_name": "mine"}),
]


@pytest.mark.parametrize(("text", "target", "options"), params(VALID_SPECS))
def test_valid_compile_specs(compiler, text, target, options):
    options = dict(options)
    crate = options.pop("crate", "btc_usdt")
    assert compiler.command(text) == expected_dry_run(S, target, crate=crate, **options)


def test_positional_compile_spec(compiler):
    text = '{"cmd":"compile","dry_run":true,"spec":[' + S + ',{"kind":"wasm"},"size",null,"pos"]}'
    assert compiler.command(text) == expected_dry_run(S, crate="pos", opt_level="size", crate_name="pos")


@pytest.mark.parametrize("text", [
    '{"cmd":"compile","spec":{"strategy":0,"target":{"kind":"wasm"}}}',
    '{"cmd":"compile","spec":{"strategy":0,"target":{"kind":"no_std","mcu":"not checked here"}}}',
    '{"cmd":"compile","spec":{"strategy":0,"target":["wasm"],"crate_name":""}}',
    '{"cmd":"compile","x":{"a":[1,{"b":null}]},"spec":{"y":[],"strategy":0,"target":{"kind":"wasm","z":{}}}}',
    '{"spec":{"target":{"kind":"binary"},"strategy":0},"cmd":"compile","dry_run":false,"out_dir":null}',
    '{"cmd":"compile","spec":[0,{"kind":"wasm"},"debug",{"kind":"csv","path":"/no/such/file"},"x"]}',
], ids=["plain", "unchecked-mcu", "empty-crate-name", "unknown-keys", "reordered", "positional-full"])
def test_decoded_requests_reach_the_pipeline(compiler, text):
    # The strategy 0 passes request decoding and is the first thing the pipeline rejects.
    assert compiler.command(text) == DECODED


SAME_FAULT_TWO_SOURCES = [
    ("wrong-type",
     '{"cmd":"compile","spec":{"strategy":{"symbol":5},"target":{"kind":"wasm"}}}',
     STRATEGY_ERROR + "invalid type: integer `5`, expected a string",
     '{"cmd":"compile","spec":{"strategy":0,"target":{"kind":"wasm"},"crate_name":5}}',
     REQUEST + "invalid type: integer `5`, expected a string at line 1 column 77"),
    ("missing-tag",
     '{"cmd":"compile","spec":{"strategy":{"symbol":"a","sizing":{}},"target":{"kind":"wasm"}}}',
     STRATEGY_ERROR + "missing field `type`",
     '{"cmd":"compile","spec":{"strategy":0,"target":{}}}',
     REQUEST + "missing field `kind` at line 1 column 49"),
]


@pytest.mark.parametrize(("strategy_request", "strategy_error", "body_request", "body_error"),
                         [c[1:] for c in SAME_FAULT_TWO_SOURCES], ids=[c[0] for c in SAME_FAULT_TWO_SOURCES])
def test_position_suffix_only_for_request_text(compiler, strategy_request, strategy_error, body_request, body_error):
    assert compiler.command(strategy_request) == error_response(strategy_error)
    assert compiler.command(body_request) == error_response(body_error)
