"""Compile requests decoded straight from request text.

Request-body faults answer "bad compile request: " + the decoder's message +
" at line L column C"; a strategy's faults carry no place. The faults of
request texts, placed by hand, are cases in tests/cases/requests.jsonl, and
the compile spec's forms that decode in dry_run.jsonl (test_cases.py).
"""

import pytest

from _requests import STRATEGY_ERROR, error_response

REQUEST = "bad compile request: "


# The same fault in the strategy, decoded from the parsed request, and in the request's own text:
# only the second is placed.
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
