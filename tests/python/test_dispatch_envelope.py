"""The command envelope and dispatch: byte-exact responses.

The envelope's answers and refusals, and the depth limit, that the C++ suite
pins as well are cases in tests/cases/requests.jsonl and dry_run.jsonl
(test_cases.py).
"""

import pytest

from _requests import TARGETS_ANSWER, VERSION_ANSWER, error_response

VERSION = VERSION_ANSWER
TARGETS = TARGETS_ANSWER
RESET = '{"ok":true}'
ENVELOPE = '{"ok":false,"error":"invalid command envelope: expected {\\"cmd\\":...}"}'


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


def test_error_response_shape(compiler):
    # The error object is exactly ok then error, written compactly.
    assert compiler.command('{"cmd":"x"}') == error_response("unknown cmd: x")
    assert compiler.command('{"cmd":"x"}') == '{"ok":false,"error":"unknown cmd: x"}'


def test_state_free_commands_repeat_identically(compiler):
    for text, response in [('{"cmd":"version"}', VERSION), ('{"cmd":"targets"}', TARGETS),
                           ('{"cmd":"reset"}', RESET), ('{"cmd":"reset"}', RESET)]:
        assert compiler.command(text) == response
