"""Compile requests decoded straight from request text.

Request-body faults answer "bad compile request: " + the decoder's message +
" at line L column C"; a strategy's faults carry no place. The faults of
request texts, placed by hand, are cases in tests/cases/requests.jsonl
(test_cases.py).
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
