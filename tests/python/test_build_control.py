"""Stopping a build: its time limit, the host's signals, and the host's death.

A stand-in cargo comes first on the PATH. It notes its own process id and that
of a child it leaves sleeping (both in its process group) before it does what
the case asks, so a test can tell that no process of the build outlives it.
The host is a fresh interpreter whenever the case is about the host itself
(a signal to it, its exit).
"""

import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from orvane_compile import CompileError, Compiler, compile

from _requests import MIN_STRATEGY
from _toolchain import alive

STRATEGY = json.loads(MIN_STRATEGY)

# Notes the stand-in's pid and its sleeping child's, then runs the case's body.
PRELUDE = """#!/bin/sh
PATH=/usr/bin:/bin
sleep 600 &
echo "$$ $!" > "$PIDS_FILE"
"""


@pytest.fixture
def stand_in(tmp_path, monkeypatch):
    """Writes a stand-in cargo with the given body; returns the file its pids go to."""
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    pids = tmp_path / "pids"
    monkeypatch.setenv("PIDS_FILE", str(pids))
    monkeypatch.setenv("PATH", f"{bin_dir}{os.pathsep}{os.environ['PATH']}")
    # No rustc to ask before a build (the check then refuses nothing), so that the machine's own,
    # however slow, takes none of a build's time limit.
    monkeypatch.setenv("RUSTC", str(bin_dir / "rustc"))
    monkeypatch.chdir(tmp_path)

    def write(body):
        script = bin_dir / "cargo"
        script.write_text(PRELUDE + textwrap.dedent(body))
        script.chmod(0o755)
        return pids

    return write


def pids_in(path):
    return [int(p) for p in path.read_text().split()]


def wait_for(predicate, seconds=20.0):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.02)
    return False


TIMEOUTS = [
    # (cargo body, timeout, the message after "build: ")
    ("sleep 600\n", 0.5, "timed out after 0.5 s"),
    ("exec sleep 600\n", 1, "timed out after 1 s"),
    ("trap '' TERM INT\nsleep 600\n", 0.25, "timed out after 0.25 s"),
]


@pytest.mark.parametrize(("body", "timeout", "message"), TIMEOUTS)
def test_timeout_kills_the_whole_build(stand_in, body, timeout, message):
    pids = stand_in(body)
    with pytest.raises(CompileError) as caught:
        compile(STRATEGY, target="binary", out_dir="out", timeout=timeout)
    assert (caught.value.kind, caught.value.message) == ("build", message)
    # SIGKILL is sent before the call returns; the processes are gone a moment later.
    assert wait_for(lambda: not any(alive(pid) for pid in pids_in(pids)), 5)


@pytest.mark.parametrize(("timeout", "error"), [
    (0, ValueError), (-1.5, ValueError), (float("nan"), ValueError), (float("inf"), ValueError),
    ("5", TypeError), (True, TypeError),
])
def test_timeout_must_be_a_positive_number(stand_in, timeout, error):
    stand_in("exit 0\n")
    with pytest.raises(error):
        compile(STRATEGY, target="binary", out_dir="out", timeout=timeout)


# The option decodes like the rest of the request, whether or not it builds. The column is
# counted from the start of the member.
BAD_OPTIONS = [
    ('"build":{"timeout_s":0}', 22,
     "bad compile request: invalid value: integer `0`, expected a positive number of seconds"),
    ('"build":{"timeout_s":-2.5}', 25,
     "bad compile request: invalid value: floating point `-2.5`, expected a positive number of seconds"),
    ('"build":{"timeout_s":"5"}', 24,
     'bad compile request: invalid type: string "5", expected a positive number of seconds'),
    ('"build":{"timeout_s":{}}', 23, "bad compile request: invalid type: map, expected a positive number of seconds"),
    ('"build":5', 9, "bad compile request: invalid type: integer `5`, expected struct BuildOptions"),
    ('"build":{"timeout_s":1,"timeout_s":2}', 34, "bad compile request: duplicate field `timeout_s`"),
    ('"build":{},"build":{}', 18, "bad compile request: duplicate field `build`"),
    ('"build":{"cache_dir":5}', 22, "bad compile request: invalid type: integer `5`, expected a string"),
    ('"build":{"cache_dir":["c"]}', 21, "bad compile request: invalid type: sequence, expected a string"),
    ('"build":{"cache_dir":"a","cache_dir":"b"}', 36, "bad compile request: duplicate field `cache_dir`"),
]


@pytest.mark.parametrize(("member", "column", "error"), BAD_OPTIONS)
@pytest.mark.parametrize("dry_run", ["true", "false"])
def test_build_options_decode_with_the_request(tmp_path, monkeypatch, member, column, error, dry_run):
    monkeypatch.chdir(tmp_path)
    before = '{"cmd":"compile","dry_run":' + dry_run + ','
    text = before + member + ',"spec":{"target":{"kind":"binary"},"strategy":' + MIN_STRATEGY + '}}'
    expected = f"{error} at line 1 column {len(before) + column}"
    assert Compiler().command(text) == json.dumps({"ok": False, "error": expected}, separators=(",", ":"))
    assert list(tmp_path.iterdir()) == []


# Options that decode change nothing a dry run answers.
GOOD_OPTIONS = ['"build":null', '"build":{}', '"build":[]', '"build":{"timeout_s":null}', '"build":{"timeout_s":1e-9}',
                '"build":{"timeout_s":1e300}', '"build":{"timeout_s":5,"later":1}', '"build":[7]',
                '"build":{"cache_dir":null}', '"build":{"cache_dir":"c","timeout_s":2}', '"build":[null,"c"]']


@pytest.mark.parametrize("member", GOOD_OPTIONS)
def test_build_options_leave_dry_runs_unchanged(member):
    spec = '"spec":{"target":{"kind":"binary"},"strategy":' + MIN_STRATEGY + '}'
    plain = Compiler().command('{"cmd":"compile","dry_run":true,' + spec + '}')
    assert Compiler().command('{"cmd":"compile","dry_run":true,' + member + ',' + spec + '}') == plain


HOST = """
import json, os, signal, sys, threading, time
from orvane_compile import compile
strategy = json.loads(sys.argv[1])
"""

HOST_CASES = {
    # KeyboardInterrupt reaches the call while cargo runs, and is what it raises.
    "sigint": HOST + """
try:
    compile(strategy, target="binary", out_dir="out")
except KeyboardInterrupt:
    print("interrupted", flush=True)
""",
    # Any handler that raises stops the build the same way.
    "handler": HOST + """
class Stop(Exception):
    pass
def stop(*_):
    raise Stop("from the handler")
signal.signal(signal.SIGUSR1, stop)
try:
    compile(strategy, target="binary", out_dir="out")
except Stop as e:
    print("stopped:", e, flush=True)
""",
    # The host dies of a signal it does not handle: cargo dies with it.
    "sigterm": HOST + """
compile(strategy, target="binary", out_dir="out")
print("not reached", flush=True)
""",
    # The interpreter ends while a daemon thread still waits for cargo.
    "daemon": HOST + """
threading.Thread(target=compile, args=(strategy,), kwargs={"target": "binary", "out_dir": "out"},
                 daemon=True).start()
while not os.path.exists(os.environ["PIDS_FILE"]):
    time.sleep(0.01)
print("leaving", flush=True)
""",
}

HOST_SIGNALS = {"sigint": signal.SIGINT, "handler": signal.SIGUSR1, "sigterm": signal.SIGTERM, "daemon": None}
HOST_OUTPUT = {"sigint": "interrupted\n", "handler": "stopped: from the handler\n", "sigterm": "", "daemon": "leaving\n"}


@pytest.mark.parametrize("case", sorted(HOST_CASES))
def test_no_process_of_the_build_outlives_the_host_call(stand_in, tmp_path, case):
    pids = stand_in("sleep 600\n")
    host = subprocess.Popen([sys.executable, "-c", HOST_CASES[case], MIN_STRATEGY], cwd=tmp_path,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert wait_for(pids.exists), "the stand-in cargo never started"
        started = pids_in(pids)
        if HOST_SIGNALS[case] is not None:
            host.send_signal(HOST_SIGNALS[case])
        out, err = host.communicate(timeout=20)
    finally:
        if host.poll() is None:
            host.kill()
        if pids.exists():  # what the host's death cannot reach: cargo's own children
            for pid in pids_in(pids)[1:]:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
    assert out == HOST_OUTPUT[case], err
    if case == "sigterm":
        assert host.returncode == -signal.SIGTERM
    # The stand-in dies with its host's thread; its group is killed by the call or with it.
    assert wait_for(lambda: not alive(started[0]), 5)
    if case != "daemon" and case != "sigterm":
        assert wait_for(lambda: not alive(started[1]), 5)


BATCH_HOST = HOST + """
from orvane_compile import compile_many
os.cpu_count = lambda: 2
try:
    compile_many([{"strategy": strategy, "target": "binary", "crate_name": f"c{i}", "out_dir": "out"}
                  for i in range(3)])
except KeyboardInterrupt:
    print("interrupted", flush=True)
"""

# (id, the host's argv after the interpreter, its exit status, its standard output)
BATCHES = [
    ("compile_many", ["-c", BATCH_HOST, MIN_STRATEGY], 0, "interrupted\n"),
    ("command-line", ["-m", "orvane_compile", "compile", "c0.json", "c1.json", "c2.json", "--target", "binary",
                      "--out-dir", "out", "--jobs", "2", "--json"], 130, ""),
]


@pytest.mark.parametrize(("argv", "status", "stdout"), [c[1:] for c in BATCHES], ids=[c[0] for c in BATCHES])
def test_an_interrupted_batch_stops_at_once(stand_in, tmp_path, argv, status, stdout):
    """Three builds of 25 s, two at a time: Ctrl-C once two run kills them, and the third never starts."""
    pids = stand_in('echo "$$ $!" >> "$PIDS_FILE.batch"\nsleep 25\n').with_suffix(".batch")
    for i in range(3):
        (tmp_path / f"c{i}.json").write_text(json.dumps({"strategy": STRATEGY, "crate_name": f"c{i}"}))
    host = subprocess.Popen([sys.executable, *argv], cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True)
    try:
        assert wait_for(lambda: pids.exists() and len(pids_in(pids)) == 4), "the builds never started"
        interrupted = time.monotonic()
        host.send_signal(signal.SIGINT)
        out, err = host.communicate(timeout=60)
        took = time.monotonic() - interrupted
    finally:
        if host.poll() is None:
            host.kill()
    assert (host.returncode, out, len(pids_in(pids)), took < 10) == (status, stdout, 4, True), err
    assert wait_for(lambda: not any(alive(pid) for pid in pids_in(pids)), 5)


# Builds of one project folder take turns: what cargo sees is what the answer describes.
RECORDING = """
before=$(sha256sum src/spec.json | cut -d' ' -f1)
sleep 0.2
after=$(sha256sum src/spec.json | cut -d' ' -f1)
mkdir -p target/release && : > target/release/shared
echo "$before $after" >> "$SEEN_FILE"
"""

BUILDER = """
import json, sys
from orvane_compile import compile
for name in sys.argv[1:]:
    result = compile({**json.loads(%r), "name": name}, target="binary", crate_name="shared", out_dir="out")
    print(next(f.sha256 for f in result.manifest.files if f.path == "src/spec.json"), flush=True)
""" % MIN_STRATEGY


@pytest.mark.parametrize("how", ["threads", "processes"])
def test_concurrent_builds_of_one_folder_take_turns(stand_in, tmp_path, monkeypatch, how):
    stand_in(RECORDING)
    seen = tmp_path / "seen"
    monkeypatch.setenv("SEEN_FILE", str(seen))
    groups = [[f"{how}-{g}-{i}" for i in range(3)] for g in range(2)]
    answered = []
    if how == "threads":
        import concurrent.futures

        def build(names):
            out = []
            for name in names:
                result = compile({**STRATEGY, "name": name}, target="binary", crate_name="shared", out_dir="out")
                out.append(next(f.sha256 for f in result.manifest.files if f.path == "src/spec.json"))
            return out

        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            for out in pool.map(build, groups):
                answered += out
    else:
        hosts = [subprocess.Popen([sys.executable, "-c", BUILDER, *names], cwd=tmp_path, stdout=subprocess.PIPE,
                                  text=True) for names in groups]
        for host in hosts:
            out, _ = host.communicate(timeout=60)
            assert host.returncode == 0
            answered += out.split()
    lines = [line.split() for line in seen.read_text().splitlines()]
    assert all(before == after for before, after in lines)
    assert sorted(before for before, _ in lines) == sorted(answered)
    assert len(set(answered)) == 6


# The cache folder: from the keyword, else from ORVANE_CACHE_DIR; cargo builds in its target/.
CACHE_CASES = [
    # (keyword, environment, where cargo's target folder is, relative to the working folder)
    (None, None, "out/shared/target"),
    ("kw-cache", None, "kw-cache/target"),
    (None, "env-cache", "env-cache/target"),
    ("kw-cache", "env-cache", "kw-cache/target"),
    (None, "", "out/shared/target"),
]


@pytest.mark.parametrize(("keyword", "environment", "target_dir"), CACHE_CASES)
def test_cache_dir_from_keyword_or_environment(stand_in, tmp_path, monkeypatch, keyword, environment, target_dir):
    # Relative to the project folder cargo starts in, when it is the project's own.
    stand_in('realpath -m "$CARGO_TARGET_DIR" > "$PIDS_FILE.target"\n'
             'mkdir -p "$CARGO_TARGET_DIR/release" && : > "$CARGO_TARGET_DIR/release/shared"\n')
    if environment is None:
        monkeypatch.delenv("ORVANE_CACHE_DIR", raising=False)
    else:
        monkeypatch.setenv("ORVANE_CACHE_DIR", environment)
    result = compile(STRATEGY, target="binary", crate_name="shared", out_dir="out", cache_dir=keyword)
    assert result.path == "out/shared/target/release/shared" and os.path.isfile(result.path)
    assert (tmp_path / "pids.target").read_text() == f"{tmp_path / target_dir}\n"
    # The option changes no digest.
    dry = compile(STRATEGY, target="binary", crate_name="shared", dry_run=True)
    assert result.manifest == dry.manifest


@pytest.mark.parametrize("as_file", [False, True])
def test_echo_receives_cargo_output_as_it_comes(stand_in, tmp_path, as_file):
    stand_in("echo 'warning: unused' >&2\nprintf 'last'\n"
             'mkdir -p target/release && : > "target/release/${PWD##*/}"\n')
    with open(tmp_path / "echo.txt", "w") as sink:
        echo = sink if as_file else sink.fileno()
        compile(STRATEGY, target="binary", crate_name="loud", out_dir="out", echo=echo)
    assert (tmp_path / "echo.txt").read_text() == "loud: warning: unused\nloud: last\n"
