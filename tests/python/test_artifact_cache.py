"""artifact_bytes and reset: the handle's numbered cache of file bytes."""

import hashlib
import json

import pytest

from orvane_compile import Compiler

from _requests import MIN_STRATEGY, compile_request, compact, error_response

RESET = '{"ok":true}'
EMPTY_SHA = hashlib.sha256(b"").hexdigest()


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


def read(compiler, path):
    return compiler.command(compact({"cmd": "artifact_bytes", "path": path}))


def answer(handle, data):
    # Built by hand to pin the key order: handle, len, sha256.
    return '{"handle":%d,"len":%d,"sha256":"%s"}' % (handle, len(data), hashlib.sha256(data).hexdigest())


def not_found(path):
    return error_response(f"reading {path}: No such file or directory (os error 2)")


CONTENTS = [
    ("empty", b""),
    ("one-byte", b"\x00"),
    ("text", b"hello\n"),
    ("every-byte", bytes(range(256))),
    ("invalid-utf8", b"\xff\xfe\xc3("),
    ("block-boundary-55", b"a" * 55),
    ("block-boundary-56", b"a" * 56),
    ("block-boundary-64", b"a" * 64),
    ("large", bytes(i % 251 for i in range(1 << 20))),
]


@pytest.mark.parametrize("data", [c[1] for c in CONTENTS], ids=[c[0] for c in CONTENTS])
def test_reports_length_and_digest(compiler, workdir, data):
    (workdir / "artifact.bin").write_bytes(data)
    assert read(compiler, "artifact.bin") == answer(0, data)


def test_empty_file_is_digest_of_empty_input(compiler, workdir):
    (workdir / "empty").write_bytes(b"")
    assert read(compiler, "empty") == '{"handle":0,"len":0,"sha256":"%s"}' % EMPTY_SHA


def test_handles_count_up_and_reset_restarts_them(compiler, workdir):
    (workdir / "a").write_bytes(b"first")
    (workdir / "b").write_bytes(b"second file")
    steps = [
        (read, "a", answer(0, b"first")),
        (read, "b", answer(1, b"second file")),
        (read, "a", answer(2, b"first")),
        (None, '{"cmd":"reset"}', RESET),
        (read, "b", answer(0, b"second file")),
        (read, "b", answer(1, b"second file")),
        (None, '{"cmd":"reset","path":"a","x":[1]}', RESET),
        (None, '{"cmd":"reset"}', RESET),
        (read, "a", answer(0, b"first")),
    ]
    for how, arg, expected in steps:
        response = how(compiler, arg) if how else compiler.command(arg)
        assert response == expected


def test_reset_on_new_handle(compiler, workdir):
    (workdir / "a").write_bytes(b"x")
    assert compiler.command('{"cmd":"reset"}') == RESET
    assert read(compiler, "a") == answer(0, b"x")


def test_failures_consume_no_number(compiler, workdir):
    (workdir / "a").write_bytes(b"abc")
    (workdir / "dir").mkdir()
    steps = [
        (compact({"cmd": "artifact_bytes", "path": "missing"}), not_found("missing")),
        ('{"cmd":"artifact_bytes"}',
         error_response("bad artifact_bytes request: missing field `path` at line 1 column 24")),
        (compact({"cmd": "artifact_bytes", "path": "a"}), answer(0, b"abc")),
        (compact({"cmd": "artifact_bytes", "path": "dir"}),
         error_response("reading dir: Is a directory (os error 21)")),
        ('{"cmd":"artifact_bytes","path":1}',
         error_response("bad artifact_bytes request: invalid type: integer `1`, expected a string at line 1 column 32")),
        (compact({"cmd": "artifact_bytes", "path": "a"}), answer(1, b"abc")),
    ]
    for text, expected in steps:
        assert compiler.command(text) == expected


def test_compile_leaves_the_cache_alone(compiler, workdir):
    (workdir / "a").write_bytes(b"abc")
    assert read(compiler, "a") == answer(0, b"abc")
    assert "manifest" in json.loads(compiler.command(compile_request(MIN_STRATEGY)))
    assert compiler.command(compile_request("5")).startswith('{"ok":false,')
    assert read(compiler, "a") == answer(1, b"abc")


def test_handles_share_nothing(workdir):
    (workdir / "a").write_bytes(b"abc")
    first, second = Compiler(), Compiler()
    assert read(first, "a") == answer(0, b"abc")
    assert read(first, "a") == answer(1, b"abc")
    assert read(second, "a") == answer(0, b"abc")
    assert second.command('{"cmd":"reset"}') == RESET
    assert read(first, "a") == answer(2, b"abc")


def test_file_changes_between_reads(compiler, workdir):
    path = workdir / "a"
    path.write_bytes(b"one")
    assert read(compiler, "a") == answer(0, b"one")
    path.write_bytes(b"two two")
    assert read(compiler, "a") == answer(1, b"two two")


READ_FAILURES = [
    ("missing", "nope.txt", "No such file or directory (os error 2)"),
    ("missing-dot-slash", "./nope/../nope.txt", "No such file or directory (os error 2)"),
    ("missing-non-ascii", "d\u00e9j\u00e0.bin", "No such file or directory (os error 2)"),
    ("missing-with-quote", 'a"b\\c', "No such file or directory (os error 2)"),
    ("empty-path", "", "No such file or directory (os error 2)"),
    ("directory", "somedir", "Is a directory (os error 21)"),
    ("directory-trailing-slash", "somedir/", "Is a directory (os error 21)"),
    ("current-directory", ".", "Is a directory (os error 21)"),
    ("file-as-directory", "plain/x", "Not a directory (os error 20)"),
]


@pytest.mark.parametrize(("path", "system_error"), [c[1:] for c in READ_FAILURES], ids=[c[0] for c in READ_FAILURES])
def test_read_failures(compiler, workdir, path, system_error):
    (workdir / "somedir").mkdir()
    (workdir / "plain").write_bytes(b"p")
    assert read(compiler, path) == error_response(f"reading {path}: {system_error}")
    assert read(compiler, "plain") == answer(0, b"p")


def test_absolute_path_and_directory(compiler, workdir):
    (workdir / "f.bin").write_bytes(b"\x01\x02")
    assert read(compiler, str(workdir / "f.bin")) == answer(0, b"\x01\x02")
    assert read(compiler, str(workdir)) == error_response(f"reading {workdir}: Is a directory (os error 21)")
    missing = str(workdir / "gone" / "f.bin")
    assert read(compiler, missing) == not_found(missing)


def test_path_message_escaping_is_exact(compiler, workdir):
    # The path appears as given inside the message; the response escapes it as JSON.
    assert read(compiler, 'q"\\\t\u00e9') == '{"ok":false,"error":"reading q\\"\\\\\\t\u00e9: No such file or directory (os error 2)"}'


REQUEST_FAULTS = [
    ("missing-path", '{"cmd":"artifact_bytes"}', "missing field `path`", 1, 24),
    ("missing-path-with-extras", '{"cmd":"artifact_bytes","x":"a","p":[1]}', "missing field `path`", 1, 40),
    ("path-number", '{"cmd":"artifact_bytes","path":5}', "invalid type: integer `5`, expected a string", 1, 32),
    ("path-null", '{"cmd":"artifact_bytes","path":null}', "invalid type: null, expected a string", 1, 35),
    ("path-bool", '{"cmd":"artifact_bytes","path":true}', "invalid type: boolean `true`, expected a string", 1, 35),
    ("path-float", '{"cmd":"artifact_bytes","path":0.5}', "invalid type: floating point `0.5`, expected a string",
     1, 34),
    ("path-twice", '{"cmd":"artifact_bytes","path":"a","path":"a"}', "duplicate field `path`", 1, 41),
    ("path-error-first", '{"path":7,"cmd":"artifact_bytes"}', "invalid type: integer `7`, expected a string", 1, 9),
    ("multi-line", '{"cmd":"artifact_bytes",\n  "path":\n  -3\n}', "invalid type: integer `-3`, expected a string", 3, 4),
    ("missing-path-crlf", '{"cmd":"artifact_bytes"\r\n}', "missing field `path`", 2, 1),
]


@pytest.mark.parametrize(("text", "message", "line", "column"), [c[1:] for c in REQUEST_FAULTS],
                         ids=[c[0] for c in REQUEST_FAULTS])
def test_request_faults(compiler, workdir, text, message, line, column):
    expected = error_response(f"bad artifact_bytes request: {message} at line {line} column {column}")
    assert compiler.command(text) == expected
    (workdir / "f").write_bytes(b"f")
    assert read(compiler, "f") == answer(0, b"f")


def test_positional_request(compiler, workdir):
    # A one-element array is the envelope; the body reads that element as `path`.
    assert compiler.command('["artifact_bytes"]') == not_found("artifact_bytes")
    (workdir / "artifact_bytes").write_bytes(b"named after the command")
    assert compiler.command('["artifact_bytes"]') == answer(0, b"named after the command")


def test_unknown_keys_are_ignored(compiler, workdir):
    (workdir / "f").write_bytes(b"data")
    text = '{"x":{"path":5},"cmd":"artifact_bytes","spec":[],"path":"f","dry_run":"no"}'
    assert compiler.command(text) == answer(0, b"data")


def test_escaped_path(compiler, workdir):
    (workdir / "\u00e9.bin").write_bytes(b"e")
    assert compiler.command('{"cmd":"artifact_bytes","path":"\\u00e9.bin"}') == answer(0, b"e")
