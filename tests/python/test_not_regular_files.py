"""Only regular files are read: artifact_bytes, a CSV dataset and the command line's own files
(FILE, --inline candles) refuse a FIFO, a device, a socket or a directory at once.

Each command runs in a child process that is killed after 30 s, so a read
that blocks (a FIFO without a writer) or never ends (/dev/zero) fails the
case instead of stopping the run.
"""

import hashlib
import json
import os
import socket
import subprocess
import sys

import pytest

from _requests import MIN_STRATEGY, compact, compile_request, error_response, expected_dry_run

CHILD = "import sys; from orvane_compile import Compiler; sys.stdout.write(Compiler().command(sys.argv[1]))"
CSV = b"ts,close\n1,2\n"


def answer_in_child(request, cwd):
    try:
        done = subprocess.run([sys.executable, "-c", CHILD, request], cwd=cwd, capture_output=True,
                              text=True, timeout=30)
    except subprocess.TimeoutExpired:
        pytest.fail("the command was still running after 30 s")
    assert (done.returncode, done.stderr) == (0, "")
    return done.stdout


@pytest.fixture
def files(tmp_path):
    """The path to give for each kind of file: relative to tmp_path, or absolute."""
    (tmp_path / "data.csv").write_bytes(CSV)
    (tmp_path / "dir").mkdir()
    os.mkfifo(tmp_path / "fifo")
    os.symlink("fifo", tmp_path / "link-to-fifo")
    server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    server.bind(str(tmp_path / "sock"))
    yield {"regular": "data.csv", "directory": "dir", "fifo": "fifo", "link": "link-to-fifo",
           "socket": "sock", "null": "/dev/null", "zero": "/dev/zero"}
    server.close()


FIFO = "not a regular file (a FIFO)"
CHARACTER_DEVICE = "not a regular file (a character device)"

# (id, file, the reason after "reading <path>: ", or None for the file's bytes)
KINDS = [
    ("regular-file", "regular", None),
    ("directory", "directory", "Is a directory (os error 21)"),
    ("fifo-without-writer", "fifo", FIFO),
    ("link-to-fifo", "link", FIFO),
    ("unix-socket", "socket", "not a regular file (a socket)"),
    ("dev-null", "null", CHARACTER_DEVICE),
    ("dev-zero", "zero", CHARACTER_DEVICE),
]


@pytest.mark.parametrize(("kind", "reason"), [c[1:] for c in KINDS], ids=[c[0] for c in KINDS])
def test_artifact_bytes(tmp_path, files, kind, reason):
    path = files[kind]
    expected = (error_response(f"reading {path}: {reason}") if reason else
                '{"handle":0,"len":%d,"sha256":"%s"}' % (len(CSV), hashlib.sha256(CSV).hexdigest()))
    assert answer_in_child(compact({"cmd": "artifact_bytes", "path": path}), tmp_path) == expected


@pytest.mark.parametrize(("kind", "reason"), [c[1:] for c in KINDS], ids=[c[0] for c in KINDS])
def test_csv_dataset_in_a_dry_run(tmp_path, files, kind, reason):
    path = files[kind]
    embed = {"kind": "csv", "path": path}
    expected = (error_response(f"io: reading {path}: {reason}") if reason else
                expected_dry_run(MIN_STRATEGY, crate="btc_usdt", embed=embed, csv_bytes=CSV))
    request = compile_request(MIN_STRATEGY, embed_data=json.dumps(embed))
    assert answer_in_child(request, tmp_path) == expected


# (id, file, the reason after "orvane-compile: cannot read <path>: ")
COMMAND_LINE_KINDS = [
    ("directory", "directory", "Is a directory"),
    ("fifo-without-writer", "fifo", FIFO),
    ("link-to-fifo", "link", FIFO),
    ("unix-socket", "socket", "not a regular file (a socket)"),
    ("dev-null", "null", CHARACTER_DEVICE),
    ("dev-zero", "zero", CHARACTER_DEVICE),
]


@pytest.mark.parametrize("role", ["FILE", "--inline"])
@pytest.mark.parametrize(("kind", "reason"), [c[1:] for c in COMMAND_LINE_KINDS],
                         ids=[c[0] for c in COMMAND_LINE_KINDS])
def test_command_line_files(tmp_path, files, role, kind, reason):
    path = files[kind]
    (tmp_path / "s.json").write_text(MIN_STRATEGY)
    argv = ["check", path] if role == "FILE" else ["check", "s.json", "--inline", path]
    try:
        done = subprocess.run([sys.executable, "-m", "orvane_compile", *argv], cwd=tmp_path, capture_output=True,
                              text=True, timeout=30)
    except subprocess.TimeoutExpired:
        pytest.fail("the command was still running after 30 s")
    assert (done.returncode, done.stdout, done.stderr) == (1, "", f"orvane-compile: cannot read {path}: {reason}\n")
