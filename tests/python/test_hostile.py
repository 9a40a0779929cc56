"""Hostile input: every request here is answered in-band, and the handle keeps
working afterwards.

Nesting is counted the way the reader counts it: the outermost object of the
request text is level 1, and the array or object that would open level 128
fails. A syntax or nesting fault anywhere in the text is an envelope fault.

Builds here never reach a real cargo: either the project writer fails before
it, or a stand-in cargo script comes first on the PATH.
"""

import hashlib
import json
import os
import shutil
import stat
import subprocess
import threading

import pytest

from orvane_compile import Compiler

from _requests import (
    ENVELOPE_ERROR,
    MIN_STRATEGY,
    VERSION_ANSWER,
    canonical,
    compact,
    compile_request,
    error_response,
    expected_dry_run,
    project_files,
    strategy,
)

VERSION_CMD = '{"cmd":"version"}'
VERSION = VERSION_ANSWER
ENVELOPE = error_response(ENVELOPE_ERROR)
WASM = {"kind": "wasm"}


def depth(text):
    """The deepest nesting of arrays and objects in a JSON text."""
    deepest = level = 0
    in_string = escaped = False
    for ch in text:
        if in_string:
            if escaped:
                escaped = False
            elif ch == "\\":
                escaped = True
            elif ch == '"':
                in_string = False
        elif ch == '"':
            in_string = True
        elif ch in "[{":
            level += 1
            deepest = max(deepest, level)
        elif ch in "]}":
            level -= 1
    return deepest


def still_usable(compiler):
    assert compiler.command(VERSION_CMD) == VERSION


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


def stand_in_cargo(tmp_path, monkeypatch, body):
    """Puts a cargo shell script with `body` first on the PATH."""
    bin_dir = tmp_path / "stand-in-bin"
    bin_dir.mkdir()
    script = bin_dir / "cargo"
    script.write_text("#!/bin/sh\n" + body)
    script.chmod(script.stat().st_mode | stat.S_IXUSR)
    monkeypatch.setenv("PATH", str(bin_dir) + os.pathsep + os.environ.get("PATH", ""))
    return bin_dir


LOCK = ".orvane-compile.lock"
RECORD = ".orvane-compile.files"


def written(files):
    """``files`` with the lock and the record of the files the compiler wrote beside them."""
    return {**files, LOCK: b"", RECORD: "".join(f"{p}\n" for p in sorted(files)).encode()}


def files_on_disk(project_dir, skip=("target",)):
    """The files of a project folder and their bytes, leaving out cargo's target/."""
    out = {}
    for dirpath, dirnames, filenames in os.walk(project_dir):
        dirnames[:] = [d for d in dirnames if os.path.join(dirpath, d) != os.path.join(project_dir, *skip)]
        for name in filenames:
            full = os.path.join(dirpath, name)
            with open(full, "rb") as f:
                out[os.path.relpath(full, project_dir).replace(os.sep, "/")] = f.read()
    return out


def model_files(strategy_text, target=WASM, crate="btc_usdt", level="release"):
    value = json.loads(strategy_text)
    files = project_files(target, crate, level, canonical(value))
    return {path: text.encode("utf-8") for path, text in files.items()}


# ---------------------------------------------------------------------------
# Nesting: 127 levels in all is read, 128 is an envelope fault.


def nested_arrays(n, inner="0"):
    return "[" * n + inner + "]" * n


def in_strategy_unknown_key(n):
    # request 1, spec 2, strategy 3, then n arrays.
    return compile_request(strategy(deep=nested_arrays(n)))


def in_strategy_condition(n):
    # request 1, spec 2, strategy 3, entry 4; each `not` opens one object, and the
    # innermost comparison one object and one array.
    cond = '{"gt":["a",1]}'
    for _ in range(n):
        cond = '{"not":' + cond + "}"
    return compile_request(strategy(entry=cond))


def in_candles(n):
    # request 1, spec 2, embed_data 3, candles 4, then n arrays inside.
    embed = '{"kind":"inline","candles":[' + nested_arrays(n) + "]}"
    return compile_request(MIN_STRATEGY, embed_data=embed)


def in_request_unknown_key(n):
    # request 1, then n arrays.
    return '{"cmd":"version","deep":' + nested_arrays(n) + "}"


def in_spec_unknown_key(n):
    # request 1, spec 2, then n arrays.
    return ('{"cmd":"compile","spec":{"strategy":' + MIN_STRATEGY + ',"target":{"kind":"wasm"},'
            '"deep":' + nested_arrays(n) + '},"dry_run":true}')


# (name, builder, n at 127 levels in all)
NESTING = [
    ("strategy-unknown-key", in_strategy_unknown_key, 124),
    ("strategy-condition", in_strategy_condition, 122),
    ("candles", in_candles, 123),
    ("request-unknown-key", in_request_unknown_key, 126),
    ("spec-unknown-key", in_spec_unknown_key, 125),
]


@pytest.mark.parametrize(("build", "n"), [c[1:] for c in NESTING], ids=[c[0] for c in NESTING])
def test_nesting_127_is_read_and_128_is_an_envelope_fault(compiler, workdir, build, n):
    at_limit, over = build(n), build(n + 1)
    assert (depth(at_limit), depth(over)) == (127, 128)

    answer = compiler.command(at_limit)
    assert not answer.startswith('{"ok":false'), answer
    assert compiler.command(over) == ENVELOPE
    still_usable(compiler)
    assert os.listdir(workdir) == []


def test_nesting_at_the_limit_gives_the_exact_dry_run(compiler, workdir):
    deep = strategy(deep=nested_arrays(124))
    assert compiler.command(compile_request(deep)) == expected_dry_run(deep, crate="btc_usdt")
    cond = '{"gt":["a",1]}'
    for _ in range(122):
        cond = '{"not":' + cond + "}"
    deep_rule = strategy(entry=cond)
    assert compiler.command(compile_request(deep_rule)) == expected_dry_run(deep_rule, crate="btc_usdt")


def test_very_deep_nesting_is_an_envelope_fault(compiler):
    # Far past the limit: the reader stops at level 128 and never recurses further.
    assert compiler.command("[" * 1_000_000) == ENVELOPE
    assert compiler.command('{"cmd":"version","x":' + "{\"a\":" * 200_000 + "1" + "}" * 200_001) == ENVELOPE
    still_usable(compiler)


# ---------------------------------------------------------------------------
# Size: strings of 100 MB, numbers of 10,000 digits.

HUNDRED_MB = 100 * 1024 * 1024


def test_string_of_100_mb_in_an_unknown_key(compiler):
    big = "x" * HUNDRED_MB
    assert compiler.command('{"cmd":"version","pad":"' + big + '"}') == VERSION
    still_usable(compiler)


def test_string_of_100_mb_as_the_command_name(compiler):
    big = "q" * HUNDRED_MB
    answer = compiler.command('{"cmd":"' + big + '"}')
    assert answer == error_response("unknown cmd: " + big)
    still_usable(compiler)


def test_string_of_100_mb_as_an_artifact_path(compiler):
    big = "p" * HUNDRED_MB
    answer = compiler.command('{"cmd":"artifact_bytes","path":"' + big + '"}')
    assert answer == error_response("reading " + big + ": File name too long (os error 36)")
    still_usable(compiler)


def test_string_of_100_mb_in_the_strategy(compiler, workdir):
    doc = strategy(note='"' + "n" * HUNDRED_MB + '"')
    answer = compiler.command(compile_request(doc, crate_name='"big"'))
    assert answer == expected_dry_run(doc, crate="big", crate_name="big")
    still_usable(compiler)


DIGITS = 10_000
NUMBERS = [
    # (name, literal, accepted)
    ("integer", "1" + "0" * (DIGITS - 1), False),
    ("negative-integer", "-9" + "9" * (DIGITS - 1), False),
    ("fraction", "0." + "3" * DIGITS, True),
    ("long-integer-part-with-fraction", "1" + "0" * 307 + "." + "5" * DIGITS, True),
    ("tiny", "0." + "0" * DIGITS + "1", True),
    ("huge-exponent", "1e" + "9" * DIGITS, False),
    ("huge-negative-exponent", "1e-" + "9" * DIGITS, True),
]


@pytest.mark.parametrize(("literal", "accepted"), [c[1:] for c in NUMBERS], ids=[c[0] for c in NUMBERS])
def test_numbers_of_10000_digits(compiler, literal, accepted):
    answer = compiler.command('{"cmd":"version","n":' + literal + "}")
    assert answer == (VERSION if accepted else ENVELOPE)
    still_usable(compiler)


def test_fraction_of_10000_digits_in_the_strategy(compiler, workdir):
    # 0.1000...0001 is the double nearest 0.1, and src/spec.json holds it as 0.1.
    fraction = "0.1" + "0" * (DIGITS - 2) + "1"
    doc = strategy(sizing='{"type":"fixed_fraction","fraction":' + fraction + "}")
    answer = compiler.command(compile_request(doc))
    assert answer == expected_dry_run(doc, crate="btc_usdt")
    assert '"fraction":0.1' in canonical(json.loads(doc))
    still_usable(compiler)


def test_integer_of_10000_digits_in_the_strategy_is_an_envelope_fault(compiler):
    doc = strategy(warmup="7" * DIGITS)
    assert compiler.command(compile_request(doc)) == ENVELOPE
    still_usable(compiler)


# ---------------------------------------------------------------------------
# NUL characters.


def test_nul_in_keys(compiler, workdir):
    assert compiler.command('{"cmd":"version","a\\u0000b":1,"\\u0000":2}') == VERSION
    # "cmd\u0000" is not "cmd".
    assert compiler.command('{"cmd\\u0000":"version"}') == ENVELOPE
    assert compiler.command('{"cmd":"version\\u0000"}') == error_response("unknown cmd: version\x00")
    doc = strategy(**{"x\\u0000y": '"\\u0000"'})
    assert compiler.command(compile_request(doc)) == expected_dry_run(doc, crate="btc_usdt")
    still_usable(compiler)


def test_nul_in_crate_name(compiler, workdir):
    answer = compiler.command(compile_request(MIN_STRATEGY, crate_name='"ab\\u0000c"'))
    assert answer == error_response(
        'bad spec: crate name "ab\\0c" is not a valid identifier (^[a-z][a-z0-9_]*$); set `crate_name`')
    # A symbol with NUL derives a crate name with an underscore in its place.
    doc = strategy(symbol='"btc\\u0000usdt"')
    assert compiler.command(compile_request(doc)) == expected_dry_run(doc, crate="btc_usdt")
    still_usable(compiler)


def test_nul_in_mcu(compiler, workdir):
    target = '{"kind":"no_std","mcu":"thumbv6m-none-eabi\\u0000"}'
    answer = compiler.command(compile_request(MIN_STRATEGY, target))
    assert answer == error_response('bad target: mcu "thumbv6m-none-eabi\\0" is not in the allowlist')
    still_usable(compiler)


def test_nul_in_a_missing_artifact_path(compiler, workdir):
    answer = json.loads(compiler.command(compact({"cmd": "artifact_bytes", "path": "missing\x00.bin"})))
    assert list(answer) == ["ok", "error"] and answer["ok"] is False
    assert answer["error"].startswith("reading missing\x00.bin: ") and answer["error"].endswith(")")
    still_usable(compiler)


# The system reads a path up to its first NUL; a path holding one is refused whole.
def test_nul_in_an_artifact_path_does_not_read_a_shorter_name(compiler, workdir):
    (workdir / "real").write_bytes(b"secret")
    answer = json.loads(compiler.command(compact({"cmd": "artifact_bytes", "path": "real\x00.wasm"})))
    assert answer == {"ok": False, "error": "reading real\x00.wasm: Invalid argument (os error 22)"}
    still_usable(compiler)


def test_nul_in_out_dir_creates_nothing_under_a_shorter_name(compiler, workdir, tmp_path, monkeypatch):
    stand_in_cargo(tmp_path, monkeypatch, "exit 0\n")
    answer = json.loads(compiler.command(compile_request(MIN_STRATEGY, dry_run=None, out_dir='"outA\\u0000B"')))
    assert answer == {"ok": False, "error": "io: creating outA\x00B/btc_usdt/.cargo: Invalid argument (os error 22)"}
    assert not (workdir / "outA").exists()


def test_nul_in_a_csv_path(compiler, workdir):
    embed = compact({"kind": "csv", "path": "nope\x00.csv"})
    answer = json.loads(compiler.command(compile_request(MIN_STRATEGY, embed_data=embed)))
    assert answer["ok"] is False and answer["error"].startswith("io: reading nope\x00.csv: ")
    still_usable(compiler)


# ---------------------------------------------------------------------------
# Files that are not what they should be.


def test_invalid_utf8_in_a_csv_file(compiler, workdir):
    (workdir / "candles.csv").write_bytes(b"ts,open\n1,\xff\xfe\n")
    embed = '{"kind":"csv","path":"candles.csv"}'
    assert compiler.command(compile_request(MIN_STRATEGY, embed_data=embed)) == error_response(
        "io: reading candles.csv: stream did not contain valid UTF-8")
    still_usable(compiler)


@pytest.mark.parametrize("bad", [b"\xc0\x80", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"abc\xe2\x82"],
                         ids=["overlong-nul", "surrogate", "past-10ffff", "cut-short"])
def test_other_invalid_utf8_in_a_csv_file(compiler, workdir, bad):
    (workdir / "c.csv").write_bytes(b"ts\n" + bad)
    embed = '{"kind":"csv","path":"c.csv"}'
    assert compiler.command(compile_request(MIN_STRATEGY, embed_data=embed)) == error_response(
        "io: reading c.csv: stream did not contain valid UTF-8")


def test_directory_as_csv_path(compiler, workdir):
    (workdir / "data").mkdir()
    embed = '{"kind":"csv","path":"data"}'
    assert compiler.command(compile_request(MIN_STRATEGY, embed_data=embed)) == error_response(
        "io: reading data: Is a directory (os error 21)")
    still_usable(compiler)


def test_directory_as_artifact_path(compiler, workdir):
    (workdir / "pkg").mkdir()
    assert compiler.command('{"cmd":"artifact_bytes","path":"pkg"}') == error_response(
        "reading pkg: Is a directory (os error 21)")
    # The failure consumed no handle number.
    (workdir / "a.bin").write_bytes(b"ab")
    assert json.loads(compiler.command('{"cmd":"artifact_bytes","path":"a.bin"}'))["handle"] == 0


# ---------------------------------------------------------------------------
# Output directories that cannot take the project.


def mount_tmpfs(where, options):
    where.mkdir()
    try:
        done = subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", str(where)],
                              capture_output=True, text=True)
    except OSError as exc:
        pytest.skip(f"mount is not available here: {exc}")
    if done.returncode != 0:
        pytest.skip(f"mounting a tmpfs is not permitted here: {done.stderr.strip()}")


@pytest.fixture
def small_fs(tmp_path):
    where = tmp_path / "small"
    mount_tmpfs(where, "size=64k")
    yield where
    subprocess.run(["umount", str(where)], check=False)


@pytest.fixture
def readonly_fs(tmp_path):
    where = tmp_path / "ro"
    mount_tmpfs(where, "ro,size=64k")
    yield where
    subprocess.run(["umount", str(where)], check=False)


def test_out_dir_on_a_full_filesystem(compiler, small_fs, tmp_path, monkeypatch):
    cargo_ran = tmp_path / "cargo-ran"
    stand_in_cargo(tmp_path, monkeypatch, f'touch "{cargo_ran}"\n')
    # Leave three pages free: enough for the three small files that sort first, not for the
    # 40 KB spec text.
    page = os.sysconf("SC_PAGE_SIZE")
    free = os.statvfs(small_fs).f_bavail * os.statvfs(small_fs).f_frsize
    (small_fs / "filler").write_bytes(b"\0" * (free - 3 * page))
    assert os.statvfs(small_fs).f_bavail * os.statvfs(small_fs).f_frsize == 3 * page

    doc = strategy(note='"' + "n" * 40_000 + '"')
    out_dir = str(small_fs / "out")
    answer = compiler.command(compile_request(doc, dry_run=None, out_dir=json.dumps(out_dir)))
    project = os.path.join(out_dir, "btc_usdt")
    assert answer == error_response(
        f"io: writing {project}/src/spec.json: No space left on device (os error 28)")
    # The files that fitted were written beside their places and removed again: nothing of
    # the project is in place, and no temporary file is left.
    assert files_on_disk(project) == {LOCK: b""}
    assert sorted(os.listdir(project)) == [".cargo", LOCK, "src"]
    assert not cargo_ran.exists()
    still_usable(compiler)


def test_out_dir_on_a_filesystem_with_no_room_at_all(compiler, small_fs, tmp_path, monkeypatch):
    stand_in_cargo(tmp_path, monkeypatch, "exit 0\n")
    free = os.statvfs(small_fs).f_bavail * os.statvfs(small_fs).f_frsize
    (small_fs / "filler").write_bytes(b"\0" * free)
    out_dir = str(small_fs)
    answer = compiler.command(compile_request(MIN_STRATEGY, dry_run=None, out_dir=json.dumps(out_dir)))
    assert answer == error_response(
        f"io: writing {out_dir}/btc_usdt/.cargo/config.toml: No space left on device (os error 28)")
    still_usable(compiler)


def test_out_dir_on_a_read_only_filesystem(compiler, readonly_fs, tmp_path, monkeypatch):
    stand_in_cargo(tmp_path, monkeypatch, "exit 0\n")
    out_dir = str(readonly_fs / "out")
    answer = compiler.command(compile_request(MIN_STRATEGY, dry_run=None, out_dir=json.dumps(out_dir)))
    assert answer == error_response(
        f"io: creating {out_dir}/btc_usdt/.cargo: Read-only file system (os error 30)")
    assert os.listdir(readonly_fs) == []
    still_usable(compiler)


# ---------------------------------------------------------------------------
# cargo that cannot be found, or dies.


def test_cargo_missing_from_the_path(compiler, workdir, tmp_path, monkeypatch):
    empty = tmp_path / "empty-bin"
    empty.mkdir()
    monkeypatch.setenv("PATH", str(empty))
    answer = compiler.command(compile_request(MIN_STRATEGY, dry_run=None))
    assert answer == error_response("build: spawning cargo: No such file or directory (os error 2)")
    # The project was written in full before cargo was looked for.
    assert files_on_disk(workdir / "_out" / "btc_usdt") == written(model_files(MIN_STRATEGY))
    still_usable(compiler)


def test_cargo_killed_by_a_signal_mid_build(compiler, workdir, tmp_path, monkeypatch):
    stand_in_cargo(tmp_path, monkeypatch,
                   'printf "   Compiling btc_usdt v0.1.0\\n" >&2\n'
                   'printf "half a line" >&2\n'
                   'kill -KILL $$\n'
                   'echo never >&2\n')
    answer = compiler.command(compile_request(MIN_STRATEGY, dry_run=None))
    assert answer == error_response(
        "build: cargo was killed by signal 9 (SIGKILL)\n   Compiling btc_usdt v0.1.0\nhalf a line")
    assert files_on_disk(workdir / "_out" / "btc_usdt") == written(model_files(MIN_STRATEGY))
    still_usable(compiler)


def test_cargo_that_is_not_executable(compiler, workdir, tmp_path, monkeypatch):
    bin_dir = stand_in_cargo(tmp_path, monkeypatch, "exit 0\n")
    (bin_dir / "cargo").chmod(0o644)
    monkeypatch.setenv("PATH", str(bin_dir))
    answer = compiler.command(compile_request(MIN_STRATEGY, dry_run=None))
    assert answer == error_response("build: spawning cargo: Permission denied (os error 13)")
    still_usable(compiler)


def test_two_handles_build_the_same_crate_into_the_same_out_dir(workdir, tmp_path, monkeypatch):
    """Two builds of one crate into one folder take turns: both succeed every time, and the
    project ends up complete and exact."""
    stand_in_cargo(tmp_path, monkeypatch,
                   "sleep 0.2\nmkdir -p target/release && : > target/release/btc_usdt\n")
    request = compile_request(MIN_STRATEGY, target='{"kind":"binary"}', dry_run=None)
    start = threading.Barrier(2)
    answers = [[], []]
    failures = []

    def build(i):
        try:
            compiler = Compiler()
            start.wait()
            for _ in range(5):
                answers[i].append(compiler.command(request))
            still_usable(compiler)
        except BaseException as exc:  # reported on the test thread
            failures.append(repr(exc))

    threads = [threading.Thread(target=build, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()

    assert failures == []
    assert [len(a) for a in answers] == [5, 5]
    for answer in answers[0] + answers[1]:
        value = json.loads(answer)
        assert list(value) == ["target", "path", "manifest", "built"], answer
        assert value["path"] == os.path.join("_out", "btc_usdt", "target", "release", "btc_usdt")
        assert value["built"] is True
    expected = model_files(MIN_STRATEGY, target={"kind": "binary"})
    assert files_on_disk(workdir / "_out" / "btc_usdt") == written(expected)
