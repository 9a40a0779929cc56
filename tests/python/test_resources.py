"""Memory and handles under sustained use.

Resident memory is read from /proc/self/statm. Bounds are generous: they are
there to catch a leak that grows with the number of calls (a few bytes a call
over hundreds of thousands of calls), not to measure the allocator.
"""

import gc
import hashlib
import os
import sys
import threading

import pytest

from orvane_compile import Compiler

from _requests import MIN_STRATEGY, VERSION_ANSWER, compact, compile_request, error_response

VERSION = VERSION_ANSWER
DROPPED = "_orvane_compile::PyCompiler is unsendable, but is being dropped on another thread"
PAGE = os.sysconf("SC_PAGE_SIZE")
MB = 1024 * 1024


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


@pytest.fixture(autouse=True)
def collector_stays_on_the_test_thread():
    # A handle caught in a garbage cycle would be freed wherever the collector happens to
    # run; keep the collector off while worker threads run.
    gc.collect()
    gc.disable()
    yield
    gc.enable()


@pytest.fixture
def files(tmp_path):
    data = bytes(range(256)) * 16
    (tmp_path / "artifact.bin").write_bytes(data)
    (tmp_path / "candles.csv").write_text("ts,open,high,low,close,volume\n1,1,2,0.5,1.5,10\n")
    (tmp_path / "dir").mkdir()
    return tmp_path, data


def mixed_commands(tmp_path, data):
    """(request, check) pairs covering every command and the usual errors."""
    artifact = str(tmp_path / "artifact.bin")
    digest = hashlib.sha256(data).hexdigest()
    dry_run = compile_request(MIN_STRATEGY)
    dry_answer = Compiler().command(dry_run)
    assert dry_answer.startswith('{"target":{"kind":"wasm"},"manifest":')
    csv = compile_request(MIN_STRATEGY, embed_data=compact(
        {"kind": "csv", "path": str(tmp_path / "candles.csv")}))
    csv_answer = Compiler().command(csv)
    assert csv_answer.startswith('{"target":{"kind":"wasm"},"manifest":')
    missing = str(tmp_path / "missing")
    return [
        ('{"cmd":"version"}', VERSION),
        ('{"cmd":"targets"}', None),
        ("not json", error_response('invalid command envelope: expected {"cmd":...}')),
        ('{"cmd":"nope"}', error_response("unknown cmd: nope")),
        (compact({"cmd": "artifact_bytes", "path": artifact}), ("artifact", len(data), digest)),
        (compact({"cmd": "artifact_bytes", "path": missing}),
         error_response(f"reading {missing}: No such file or directory (os error 2)")),
        (compact({"cmd": "artifact_bytes", "path": str(tmp_path / "dir")}),
         error_response(f"reading {tmp_path / 'dir'}: Is a directory (os error 21)")),
        ('{"cmd":"artifact_bytes"}',
         error_response("bad artifact_bytes request: missing field `path` at line 1 column 24")),
        (dry_run, dry_answer),
        (csv, csv_answer),
        ('{"cmd":"compile","spec":{}}',
         error_response("bad compile request: missing field `strategy` at line 1 column 26")),
        ('{"cmd":"reset"}', '{"ok":true}'),
    ]


def drive(compiler, commands, calls):
    """Sends `calls` commands round-robin and checks every answer."""
    targets = compiler.command('{"cmd":"targets"}')
    handle = None
    n = len(commands)
    for i in range(calls):
        request, expected = commands[i % n]
        answer = compiler.command(request)
        if expected is None:
            expected = targets
        elif isinstance(expected, tuple):
            if handle is None:
                handle = 0
            expected = '{"handle":%d,"len":%d,"sha256":"%s"}' % (handle, expected[1], expected[2])
            handle += 1
        elif request == '{"cmd":"reset"}':
            handle = 0
        if answer != expected:
            raise AssertionError(f"call {i}: {request!r} answered {answer!r}, expected {expected!r}")


def test_resident_memory_is_flat_over_a_million_calls(files):
    tmp_path, data = files
    commands = mixed_commands(tmp_path, data)
    compiler = Compiler()
    drive(compiler, commands, 100_020)  # warm-up: allocator pools and caches settle
    before = rss()
    drive(compiler, commands, 900_000)
    grown = rss() - before
    # A leak of even 16 bytes a call would add more than 14 MB here.
    assert grown < 8 * MB, f"resident memory grew by {grown / MB:.1f} MB over 900,000 calls"


def test_cached_artifacts_are_released_by_reset_and_by_dropping_the_handle(tmp_path):
    big = tmp_path / "big.bin"
    big.write_bytes(os.urandom(4 * MB))
    read = compact({"cmd": "artifact_bytes", "path": str(big)})

    def fill(compiler):
        for _ in range(25):  # 100 MB cached
            assert compiler.command(read).startswith('{"handle":')

    compiler = Compiler()
    fill(compiler)
    compiler.command('{"cmd":"reset"}')
    base = rss()
    for _ in range(5):
        fill(compiler)
        assert rss() - base > 80 * MB
        assert compiler.command('{"cmd":"reset"}') == '{"ok":true}'
        assert rss() - base < 20 * MB
    for _ in range(5):
        other = Compiler()
        fill(other)
        del other
        assert rss() - base < 20 * MB


# ---------------------------------------------------------------------------
# Many handles on many threads.

THREADS = 8


def run_threads(body, count=THREADS):
    failures = []
    start = threading.Barrier(count)

    def wrapped(i):
        try:
            start.wait()
            body(i)
        except BaseException as exc:  # reported on the test thread
            failures.append(f"thread {i}: {exc!r}")

    threads = [threading.Thread(target=wrapped, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return failures


@pytest.fixture
def unraisable(monkeypatch):
    events = []
    monkeypatch.setattr(
        sys, "unraisablehook",
        lambda event: events.append((event.exc_type, str(event.exc_value), event.object)))
    return events


def test_many_handles_on_many_threads_at_once(files, unraisable):
    tmp_path, data = files
    commands = mixed_commands(tmp_path, data)

    def body(i):
        for _ in range(40):
            compiler = Compiler()
            drive(compiler, commands, 30)
            del compiler  # dropped at home

    assert run_threads(body) == []  # warm-up
    before = rss()
    for _ in range(3):
        assert run_threads(body) == []
    grown = rss() - before
    assert unraisable == []
    assert grown < 16 * MB, f"resident memory grew by {grown / MB:.1f} MB"


def test_drops_on_foreign_threads_are_reported_once_each_and_nothing_else(files, unraisable):
    """Handles made on one thread and dropped on another: each such drop is reported
    through the unraisable hook (its state is deliberately leaked); drops at home,
    on the same threads at the same time, report nothing."""
    tmp_path, data = files
    commands = mixed_commands(tmp_path, data)
    per_thread = 25
    made = [[] for _ in range(THREADS)]
    ready = threading.Barrier(THREADS)

    def body(i):
        for _ in range(per_thread):
            compiler = Compiler()
            drive(compiler, commands, 12)
            made[i].append(compiler)
            del compiler
        ready.wait()
        # Drop the neighbour's handles (foreign) while making and dropping our own (home).
        theirs = made[(i + 1) % THREADS]
        while theirs:
            theirs.pop()
            home = Compiler()
            assert home.command('{"cmd":"version"}') == VERSION
            del home

    assert run_threads(body) == []
    assert len(unraisable) == THREADS * per_thread
    assert set(unraisable) == {(RuntimeError, DROPPED, None)}
