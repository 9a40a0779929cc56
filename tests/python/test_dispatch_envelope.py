"""The command envelope and dispatch: byte-exact responses."""

import json

import pytest

from _requests import (
    MIN_STRATEGY,
    TARGETS_ANSWER,
    VERSION_ANSWER,
    compile_request,
    error_response,
    expected_dry_run,
)

VERSION = VERSION_ANSWER
TARGETS = TARGETS_ANSWER
RESET = '{"ok":true}'
ENVELOPE = '{"ok":false,"error":"invalid command envelope: expected {\\"cmd\\":...}"}'


def nested_arrays(depth):
    return "[" * depth + "]" * depth


def nested_objects(depth):
    return '{"k":' * (depth - 1) + "{}" + "}" * (depth - 1)


ANSWERED = [
    ("version", '{"cmd":"version"}', VERSION),
    ("targets", '{"cmd":"targets"}', TARGETS),
    ("reset", '{"cmd":"reset"}', RESET),
    ("surrounding-whitespace", ' \t\r\n{"cmd":"version"} \t\r\n', VERSION),
    ("spaced-tokens", '{ "cmd" :\n"targets" }', TARGETS),
    ("extra-key-array", '{"cmd":"version","extra":[1,2,{"a":[]}]}', VERSION),
    ("cmd-not-first", '{"extra":{"cmd":"reset"},"cmd":"version"}', VERSION),
    ("positional-version", '["version"]', VERSION),
    ("positional-targets", '[ "targets" ]', TARGETS),
    ("positional-reset", '["reset"]', RESET),
    ("escaped-cmd", '{"cmd":"vers\\u0069on"}', VERSION),
    ("escaped-solidus-cmd", '{"cmd":"t\\u0061rgets"}', TARGETS),
    ("targets-ignores-body-keys", '{"cmd":"targets","spec":5,"path":[]}', TARGETS),
    ("reset-ignores-body-keys", '{"cmd":"reset","path":3,"spec":{"a":null}}', RESET),
    ("version-ignores-bad-body-keys", '{"cmd":"version","dry_run":"x","out_dir":5}', VERSION),
    ("unknown-key-repeated", '{"cmd":"version","x":1,"x":[2]}', VERSION),
    ("depth-127-arrays", '{"cmd":"version","x":' + nested_arrays(126) + "}", VERSION),
    ("depth-127-objects", '{"cmd":"version","x":' + nested_objects(126) + "}", VERSION),
    ("big-numbers-in-extras", '{"cmd":"version","x":[18446744073709551616,-9223372036854775809,1e308,-0]}',
     VERSION),
    ("unknown-cmd", '{"cmd":"Compile"}', '{"ok":false,"error":"unknown cmd: Compile"}'),
    ("upper-case", '{"cmd":"VERSION"}', '{"ok":false,"error":"unknown cmd: VERSION"}'),
    ("empty-cmd", '{"cmd":""}', '{"ok":false,"error":"unknown cmd: "}'),
    ("leading-blank", '{"cmd":" version"}', '{"ok":false,"error":"unknown cmd:  version"}'),
    ("hyphenated", '{"cmd":"artifact-bytes"}', '{"ok":false,"error":"unknown cmd: artifact-bytes"}'),
    ("quote-and-backslash", '{"cmd":"a\\"b\\\\c"}', '{"ok":false,"error":"unknown cmd: a\\"b\\\\c"}'),
    ("control-escapes", '{"cmd":"\\n\\t\\u0000\\u001f"}', '{"ok":false,"error":"unknown cmd: \\n\\t\\u0000\\u001f"}'),
    ("non-ascii", '{"cmd":"h\u00e9\u2028\U0001f600"}', '{"ok":false,"error":"unknown cmd: h\u00e9\u2028\U0001f600"}'),
    ("escaped-non-ascii", '{"cmd":"\\u00e9\\ud83d\\ude00/"}', '{"ok":false,"error":"unknown cmd: \u00e9\U0001f600/"}'),
    ("slash-and-del", '{"cmd":"a\\/b\x7f"}', '{"ok":false,"error":"unknown cmd: a/b\x7f"}'),
    ("compile-without-spec", '{"cmd":"compile"}',
     '{"ok":false,"error":"bad compile request: missing field `spec` at line 1 column 17"}'),
    ("compile-without-spec-spaced", '{ "cmd": "compile" }',
     '{"ok":false,"error":"bad compile request: missing field `spec` at line 1 column 20"}'),
    ("artifact-bytes-without-path", '{"cmd":"artifact_bytes"}',
     '{"ok":false,"error":"bad artifact_bytes request: missing field `path` at line 1 column 24"}'),
]


@pytest.mark.parametrize(("text", "response"), [c[1:] for c in ANSWERED], ids=[c[0] for c in ANSWERED])
def test_answers(compiler, text, response):
    assert compiler.command(text) == response


MALFORMED = [
    ("empty", ""),
    ("blanks", "  \t "),
    ("newline", "\n"),
    ("not-json", "not json"),
    ("open-brace", "{"),
    ("empty-object", "{}"),
    ("empty-array", "[]"),
    ("two-element-array", '["version","x"]'),
    ("number-in-array", "[1]"),
    ("trailing-characters", '{"cmd":"version"} x'),
    ("second-document", '{"cmd":"version"}{}'),
    ("cmd-twice-same", '{"cmd":"version","cmd":"version"}'),
    ("cmd-twice-different", '{"cmd":"version","cmd":"targets"}'),
    ("cmd-number", '{"cmd":5}'),
    ("cmd-null", '{"cmd":null}'),
    ("cmd-bool", '{"cmd":true}'),
    ("cmd-array", '{"cmd":["version"]}'),
    ("cmd-object", '{"cmd":{"version":null}}'),
    ("bare-number", "5"),
    ("bare-string", '"version"'),
    ("bare-null", "null"),
    ("bare-true", "true"),
    ("trailing-comma-object", '{"cmd":"version",}'),
    ("trailing-comma-array", '{"cmd":"version","x":[1,]}'),
    ("eof-in-object", '{"cmd":"version"'),
    ("eof-in-array", '{"cmd":"version","x":[1'),
    ("eof-in-string", '{"cmd":"vers'),
    ("eof-after-colon", '{"cmd":'),
    ("missing-colon", '{"cmd" "version"}'),
    ("unquoted-key", '{cmd:"version"}'),
    ("wrong-closer", '{"cmd":"version"]'),
    ("missing-comma-array", '{"cmd":"version","x":[1 2]}'),
    ("missing-comma-object", '{"cmd":"version" "x":1}'),
    ("raw-tab-in-string", '{"cmd":"ver\tsion"}'),
    ("raw-newline-in-extra", '{"cmd":"version","x":"a\nb"}'),
    ("invalid-escape", '{"cmd":"\\x"}'),
    ("short-hex-escape", '{"cmd":"version","x":"\\u12"}'),
    ("leading-zero", '{"cmd":"version","x":01}'),
    ("bare-point", '{"cmd":"version","x":1.}'),
    ("bare-exponent", '{"cmd":"version","x":1e}'),
    ("plus-sign", '{"cmd":"version","x":+1}'),
    ("misspelt-literal", '{"cmd":"version","x":tru}'),
    ("single-quotes", "{'cmd':'version'}"),
    ("byte-order-mark", '\ufeff{"cmd":"version"}'),
    ("comment", '{"cmd":"version"} // hi'),
    ("depth-128-arrays", '{"cmd":"version","x":' + nested_arrays(127) + "}"),
    ("depth-128-objects", '{"cmd":"version","x":' + nested_objects(127) + "}"),
    ("depth-128-compile", '{"cmd":"compile","spec":{"strategy":{"x":' + nested_arrays(125) + "}}}"),
    ("depth-128-artifact-bytes", '{"cmd":"artifact_bytes","path":"x","n":' + nested_arrays(127) + "}"),
    ("syntax-error-in-compile", '{"cmd":"compile","spec":{"strategy":[1,],"target":{"kind":"wasm"}}}'),
    ("syntax-error-in-artifact-bytes", '{"cmd":"artifact_bytes","path":"a\\qb"}'),
]


@pytest.mark.parametrize("text", [c[1] for c in MALFORMED], ids=[c[0] for c in MALFORMED])
def test_malformed_envelopes(compiler, text):
    assert compiler.command(text) == ENVELOPE


# A value under a key that no record declares is skipped without being
# evaluated: a number beyond the float range, or an escape that leaves a
# surrogate unpaired, is still JSON text.
SKIPPED_VALUES = [
    ("huge-number", '{"cmd":"version","x":1e400}'),
    ("huge-negative", '{"cmd":"version","x":[-1e400]}'),
    ("lone-leading-surrogate", '{"cmd":"version","x":"\\ud800"}'),
    ("lone-trailing-surrogate", '{"cmd":"version","x":{"y":"\\udc00"}}'),
]


# The whole text is read before any command: an out-of-range number or a lone surrogate is a
# fault of the text wherever it stands, under unknown keys too.
@pytest.mark.parametrize("text", [c[1] for c in SKIPPED_VALUES], ids=[c[0] for c in SKIPPED_VALUES])
def test_unknown_values_are_still_read(compiler, text):
    assert compiler.command(text) == ENVELOPE


def test_out_of_range_number_in_strategy(compiler):
    text = '{"cmd":"compile","spec":{"strategy":1e400,"target":{"kind":"wasm"}}}'
    assert compiler.command(text) == ENVELOPE


def test_depth_127_compile_is_accepted(compiler):
    # outer object 1, spec 2, strategy 3, then 124 arrays: 127 levels.
    strategy_text = MIN_STRATEGY[:-1] + ',"x":' + nested_arrays(124) + "}"
    text = compile_request(strategy_text)
    assert compiler.command(text) == expected_dry_run(strategy_text, crate="btc_usdt")


def test_depth_limit_counts_inline_candles(compiler):
    # outer 1, spec 2, embed_data 3, candles 4, then 123 arrays: 127 levels.
    fine = compile_request(MIN_STRATEGY, embed_data='{"kind":"inline","candles":[' + nested_arrays(123) + "]}")
    too_deep = compile_request(MIN_STRATEGY, embed_data='{"kind":"inline","candles":[' + nested_arrays(124) + "]}")
    candles = [json.loads(nested_arrays(123))]
    expected = expected_dry_run(MIN_STRATEGY, crate="btc_usdt", embed={"kind": "inline", "candles": candles})
    assert compiler.command(fine) == expected
    assert compiler.command(too_deep) == ENVELOPE


def test_error_response_shape(compiler):
    # The error object is exactly ok then error, written compactly.
    assert compiler.command('{"cmd":"x"}') == error_response("unknown cmd: x")
    assert compiler.command('{"cmd":"x"}') == '{"ok":false,"error":"unknown cmd: x"}'


def test_state_free_commands_repeat_identically(compiler):
    for text, response in [('{"cmd":"version"}', VERSION), ('{"cmd":"targets"}', TARGETS),
                           ('{"cmd":"reset"}', RESET), ('{"cmd":"reset"}', RESET)]:
        assert compiler.command(text) == response
