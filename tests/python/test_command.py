"""Compiler.command: responses, argument binding and argument extraction."""

import json
import sys

import pytest

from orvane_compile import Compiler
from _requests import MIN_STRATEGY, TARGETS_ANSWER, VERSION_ANSWER, compile_request

VERSION_CMD = '{"cmd":"version"}'
VERSION_RESPONSE = VERSION_ANSWER
TARGETS_RESPONSE = TARGETS_ANSWER
ENVELOPE_ERROR = '{"ok":false,"error":"invalid command envelope: expected {\\"cmd\\":...}"}'
NOTE = "while processing 'cmd_json'"
HAS_NOTES = sys.version_info >= (3, 11)


class CmdStr(str):
    pass


@pytest.mark.parametrize(
    ("cmd_json", "response"),
    [
        (VERSION_CMD, VERSION_RESPONSE),
        ('{"cmd":"targets"}', TARGETS_RESPONSE),
        ('{"cmd":"reset"}', '{"ok":true}'),
        (' {"cmd" : "version", "extra": [1, {"a": null}]}\n', VERSION_RESPONSE),
        ("not json", ENVELOPE_ERROR),
        ("", ENVELOPE_ERROR),
        ('{"cmd":"version"} x', ENVELOPE_ERROR),
        ('{"cmd":"Compile"}', '{"ok":false,"error":"unknown cmd: Compile"}'),
        # Non-ASCII text crosses the binding as UTF-8 in both directions.
        ('{"cmd":"h\u00e9\u2603\U0001f600"}', '{"ok":false,"error":"unknown cmd: h\u00e9\u2603\U0001f600"}'),
        ('{"cmd":"\\u00e9"}', '{"ok":false,"error":"unknown cmd: \u00e9"}'),
        (CmdStr(VERSION_CMD), VERSION_RESPONSE),
    ],
    ids=[
        "version",
        "targets",
        "reset",
        "version-with-extras",
        "not-json",
        "empty",
        "trailing-garbage",
        "unknown-cmd",
        "non-ascii-cmd",
        "escaped-cmd",
        "str-subclass",
    ],
)
def test_command_response_text(compiler, cmd_json, response):
    result = compiler.command(cmd_json)
    assert type(result) is str
    assert result == response
    json.loads(result)


def test_keyword_call_matches_positional_call(compiler):
    assert compiler.command(cmd_json=VERSION_CMD) == compiler.command(VERSION_CMD) == VERSION_RESPONSE


def test_bound_method_outlives_the_name():
    command = Compiler().command
    assert command(VERSION_CMD) == VERSION_RESPONSE


class Outer:
    class Inner:
        pass


class BrokenQualname(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError("no name today")
        return super().__getattribute__(name)


class Nameless(metaclass=BrokenQualname):
    pass


class WrongQualname(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            return 42
        return super().__getattribute__(name)


class NotAString(metaclass=WrongQualname):
    pass


# (args, kwargs, exception type, message, carries the argument note)
ARGUMENT_ERRORS = [
    ((), {}, TypeError, "Compiler.command() missing 1 required positional argument: 'cmd_json'", False),
    (
        (VERSION_CMD, VERSION_CMD),
        {},
        TypeError,
        "Compiler.command() takes 1 positional arguments but 2 were given",
        False,
    ),
    (
        ("a", "b", "c"),
        {},
        TypeError,
        "Compiler.command() takes 1 positional arguments but 3 were given",
        False,
    ),
    (
        (),
        {"x": VERSION_CMD},
        TypeError,
        "Compiler.command() got an unexpected keyword argument 'x'",
        False,
    ),
    (
        (VERSION_CMD,),
        {"x": 1},
        TypeError,
        "Compiler.command() got an unexpected keyword argument 'x'",
        False,
    ),
    (
        (VERSION_CMD,),
        {"echo": None},
        TypeError,
        "Compiler.command() got an unexpected keyword argument 'echo'",
        False,
    ),
    (
        (VERSION_CMD,),
        {"cmd_json": VERSION_CMD},
        TypeError,
        "Compiler.command() got multiple values for argument 'cmd_json'",
        False,
    ),
    ((b"{}",), {}, TypeError, "'bytes' object is not an instance of 'str'", True),
    ((), {"cmd_json": b"{}"}, TypeError, "'bytes' object is not an instance of 'str'", True),
    ((None,), {}, TypeError, "'None' is not an instance of 'str'", True),
    ((1,), {}, TypeError, "'int' object is not an instance of 'str'", True),
    ((bytearray(b"{}"),), {}, TypeError, "'bytearray' object is not an instance of 'str'", True),
    ((Outer.Inner(),), {}, TypeError, "'Outer.Inner' object is not an instance of 'str'", True),
    (
        (Nameless(),),
        {},
        TypeError,
        "'<failed to extract type name>' object is not an instance of 'str'",
        True,
    ),
    (
        (NotAString(),),
        {},
        TypeError,
        "'<failed to extract type name>' object is not an instance of 'str'",
        True,
    ),
    (
        ("\ud800",),
        {},
        UnicodeEncodeError,
        "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed",
        True,
    ),
    (
        ('{"cmd":"version"}\udfff',),
        {},
        UnicodeEncodeError,
        "'utf-8' codec can't encode character '\\udfff' in position 17: surrogates not allowed",
        True,
    ),
]


@pytest.mark.parametrize(
    ("args", "kwargs", "error", "message", "noted"),
    ARGUMENT_ERRORS,
    ids=[
        "missing",
        "two-positional",
        "three-positional",
        "unknown-keyword",
        "unknown-keyword-beside-positional",
        "echo-belongs-to-diagnose",
        "positional-and-keyword",
        "bytes",
        "bytes-by-keyword",
        "none",
        "int",
        "bytearray",
        "nested-class-qualname",
        "unreadable-type-name",
        "non-str-type-name",
        "lone-surrogate",
        "trailing-lone-surrogate",
    ],
)
def test_argument_errors(compiler, args, kwargs, error, message, noted):
    with pytest.raises(error) as info:
        compiler.command(*args, **kwargs)
    assert type(info.value) is error
    assert str(info.value) == message
    expected_notes = [NOTE] if noted and HAS_NOTES else None
    assert getattr(info.value, "__notes__", None) == expected_notes
    # A refused call leaves the handle free for the next one.
    assert compiler.command(VERSION_CMD) == VERSION_RESPONSE
    # The traceback holds this frame, and so the handle: a cycle that a later test's worker
    # thread could collect, dropping the handle on a stranger.
    del info


def test_one_handle_survives_every_argument_error_in_a_row(compiler):
    for args, kwargs, error, _message, _noted in ARGUMENT_ERRORS:
        with pytest.raises(error):
            compiler.command(*args, **kwargs)
    assert compiler.command(VERSION_CMD) == VERSION_RESPONSE


def test_surrogate_error_names_the_offending_character(compiler):
    with pytest.raises(UnicodeEncodeError) as info:
        compiler.command('{"cmd":"\ud83d"}')
    assert (info.value.encoding, info.value.start, info.value.end, info.value.reason) == (
        "utf-8",
        8,
        9,
        "surrogates not allowed",
    )


def test_reentrant_call_is_refused_as_already_borrowed():
    """A type-name lookup runs Python code while the handle is taken; a call
    back into the same handle from there must be refused, not served."""
    compiler = Compiler()
    seen = []

    class Reenter(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                try:
                    compiler.command(VERSION_CMD)
                except RuntimeError as exc:
                    seen.append(str(exc))
                return "Reentered"
            return super().__getattribute__(name)

    class Arg(metaclass=Reenter):
        pass

    with pytest.raises(TypeError) as info:
        compiler.command(Arg())
    assert str(info.value) == "'Reentered' object is not an instance of 'str'"
    assert seen == ["Already borrowed"]
    # The outer call gave the handle back when it failed.
    assert compiler.command(VERSION_CMD) == VERSION_RESPONSE
    del compiler  # the class closes over it: a cycle another thread's collection could free


def test_reentrant_call_on_another_handle_is_served():
    outer = Compiler()
    other = Compiler()
    seen = []

    class UseOther(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                seen.append(other.command(VERSION_CMD))
                return "UsedOther"
            return super().__getattribute__(name)

    class Arg(metaclass=UseOther):
        pass

    with pytest.raises(TypeError, match="'UsedOther' object is not an instance of 'str'"):
        outer.command(Arg())
    assert seen == [VERSION_RESPONSE]
    del other  # the class closes over it: a cycle another thread's collection could free


def test_large_request_is_answered(compiler, big_version_cmd):
    assert compiler.command(big_version_cmd) == VERSION_RESPONSE


# The compiler's description of its vocabulary agrees with what it answers and does.
def test_vocabulary_is_what_the_compiler_does(compiler):
    from typing import get_args

    from orvane_compile import _orvane_compile, api

    words = json.loads(_orvane_compile.vocabulary_json())
    version, targets = json.loads(compiler.command('{"cmd":"version"}')), json.loads(compiler.command('{"cmd":"targets"}'))
    projects = {}
    for kind in words["targets"]:
        target = {"kind": kind, **({"mcu": words["mcus"][0]} if kind == "no_std" else {})}
        for level in words["opt_levels"]:
            answer = json.loads(compiler.command(compile_request(MIN_STRATEGY, json.dumps(target), opt_level=f'"{level}"')))
            projects.setdefault(kind, set()).add(tuple(f["path"] for f in answer["manifest"]["files"]))
    assert (words["version"], words["backtest_dep"], words["targets"], words["mcus"]) == (
        version["version"], version["backtest_dep"], targets["targets"], targets["mcus"])
    assert projects == {kind: {tuple(paths)} for kind, paths in words["project_paths"].items()}
    assert set(words["error_kinds"]) | {"request"} == set(get_args(api.ErrorKind))
    assert set().union(*words["project_paths"].values(), ["src/candles.csv", "src/candles.json"]) == set(
        words["owned_paths"])
    assert (words["wasm_triple"], words["lock_file"], words["record_file"]) == (
        "wasm32-unknown-unknown", ".orvane-compile.lock", ".orvane-compile.files")
