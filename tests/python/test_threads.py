"""Thread binding of handles, and the interpreter lock during a command."""

import gc
import sys
import threading
import time

import pytest

import orvane_compile
from orvane_compile import Compiler
from _requests import VERSION, VERSION_ANSWER

VERSION_CMD = '{"cmd":"version"}'
VERSION_RESPONSE = VERSION_ANSWER
SENT = "_orvane_compile::PyCompiler is unsendable, but sent to another thread"
DROPPED = "_orvane_compile::PyCompiler is unsendable, but is being dropped on another thread"


def run_in_thread(fn):
    """Runs fn on a fresh thread; returns its result or re-raises its exception."""
    outcome = {}

    def body():
        try:
            outcome["value"] = fn()
        except BaseException as exc:  # handed back to the test thread
            outcome["error"] = exc

    thread = threading.Thread(target=body)
    thread.start()
    thread.join()
    if "error" in outcome:
        # Popped so that the dict, held by the worker's frame in the traceback,
        # does not form a cycle with the exception: garbage cycles are
        # collected on whichever thread happens to run the collector, and a
        # handle caught in one would be dropped on a stranger.
        raise outcome.pop("error")
    return outcome["value"]


@pytest.fixture(autouse=True)
def collector_stays_on_the_test_thread():
    """Handles caught in garbage cycles (earlier tests' tracebacks, classes
    closing over a handle) are freed wherever the cyclic collector runs; if
    it ran on one of these tests' worker threads, those handles would be
    dropped on a stranger. Collect on the test thread first, then pause the
    collector while the test runs."""
    gc.collect()
    gc.disable()
    yield
    gc.enable()


@pytest.fixture
def unraisable(monkeypatch):
    events = []
    monkeypatch.setattr(
        sys,
        "unraisablehook",
        lambda event: events.append((event.exc_type, str(event.exc_value), event.object)),
    )
    return events


@pytest.fixture
def no_voluntary_switching():
    """Stops the interpreter from handing the lock to another thread on its own
    schedule, so other threads run only where the lock is explicitly released."""
    before = sys.getswitchinterval()
    sys.setswitchinterval(100.0)
    yield
    sys.setswitchinterval(before)


@pytest.mark.parametrize(
    "call",
    [
        lambda c: c.command(VERSION_CMD),
        lambda c: c.command(cmd_json=VERSION_CMD),
        # The thread check comes before the argument's type is looked at...
        lambda c: c.command(b"{}"),
        lambda c: c.command("\ud800"),
    ],
    ids=["positional", "keyword", "bytes", "surrogate"],
)
def test_command_from_a_foreign_thread_is_refused(call):
    compiler = Compiler()
    with pytest.raises(RuntimeError) as info:
        run_in_thread(lambda: call(compiler))
    assert SENT in str(info.value)
    # ...and the refusal leaves the handle as it was, usable by its creator.
    assert compiler.command(VERSION_CMD) == VERSION_RESPONSE


def test_argument_binding_comes_before_the_thread_check():
    compiler = Compiler()
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'cmd_json'"):
        run_in_thread(lambda: compiler.command())


def test_handle_is_bound_to_the_thread_that_created_it(unraisable):
    compiler = run_in_thread(Compiler)
    with pytest.raises(RuntimeError) as info:
        compiler.command(VERSION_CMD)
    assert SENT in str(info.value)
    del compiler
    assert unraisable == [(RuntimeError, DROPPED, None)]


def test_version_and_constructor_work_on_any_thread():
    assert run_in_thread(Compiler.version) == VERSION
    assert run_in_thread(lambda: Compiler().command(VERSION_CMD)) == VERSION_RESPONSE


def test_drop_on_the_creating_thread_is_silent(unraisable):
    def create_use_drop():
        compiler = Compiler()
        response = compiler.command(VERSION_CMD)
        del compiler
        return response

    assert create_use_drop() == VERSION_RESPONSE
    assert run_in_thread(create_use_drop) == VERSION_RESPONSE
    assert unraisable == []


@pytest.mark.parametrize("create_on_main", [True, False], ids=["main-to-worker", "worker-to-main"])
def test_drop_on_a_foreign_thread_is_reported_not_raised(unraisable, create_on_main):
    box = []

    def create():
        box.append(Compiler())

    def drop():
        box.clear()
        return "dropped without an exception"

    if create_on_main:
        create()
        result = run_in_thread(drop)
    else:
        run_in_thread(create)
        result = drop()
    assert result == "dropped without an exception"
    assert unraisable == [(RuntimeError, DROPPED, None)]


def test_a_later_thread_never_passes_for_a_finished_creator(unraisable):
    """Operating systems recycle the ids of finished threads; a thread started
    after the creator has gone must still be a stranger to the handle."""
    compiler = run_in_thread(Compiler)
    for _ in range(3):
        with pytest.raises(RuntimeError) as info:
            run_in_thread(lambda: compiler.command(VERSION_CMD))
        assert SENT in str(info.value)
    box = [compiler]
    del compiler
    run_in_thread(box.clear)
    assert unraisable == [(RuntimeError, DROPPED, None)]


def test_lock_is_released_while_a_command_runs(compiler, big_version_cmd, no_voluntary_switching):
    counter = [0]
    stop = threading.Event()

    def count():
        while not stop.is_set():
            counter[0] += 1
            time.sleep(0.0005)

    worker = threading.Thread(target=count)
    worker.start()
    try:
        while counter[0] == 0:
            time.sleep(0.001)
        before = counter[0]
        response = compiler.command(big_version_cmd)
        after = counter[0]
    finally:
        stop.set()
        worker.join()
    assert response == VERSION_RESPONSE
    assert after > before


def test_two_handles_on_two_threads_run_at_the_same_time(big_version_cmd, no_voluntary_switching):
    ready = threading.Barrier(2)
    spans = {}
    responses = {}

    def work(name):
        compiler = Compiler()
        ready.wait()
        start = time.perf_counter()
        response = compiler.command(big_version_cmd)
        spans[name] = (start, time.perf_counter())
        responses[name] = response

    threads = [threading.Thread(target=work, args=(name,)) for name in ("a", "b")]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert responses == {"a": VERSION_RESPONSE, "b": VERSION_RESPONSE}
    # Each span is measured while holding the lock; they can only overlap if
    # each command let the other thread in while it ran.
    (a_start, a_end), (b_start, b_end) = spans["a"], spans["b"]
    assert max(a_start, b_start) < min(a_end, b_end)


@pytest.mark.parametrize(
    "call",
    [
        lambda: orvane_compile.check("{"),
        lambda: orvane_compile.check('{"symbol": "X"} trailing'),
        lambda: orvane_compile.compile('{"symbol": "X"} trailing', dry_run=True),
        lambda: orvane_compile.check({"symbol": float("nan")}),
    ],
    ids=["check-bad-text", "check-text-going-on", "compile-text-going-on", "check-nan"],
)
def test_api_failures_leave_no_handle_to_the_collector(unraisable, call):
    """The API makes a handle per call; the CompileError it raises, with its traceback, may
    sit in a garbage cycle that another thread collects, and the handle must not be in it."""
    def fail_and_drop():
        with pytest.raises(orvane_compile.CompileError):
            call()

    run_in_thread(fail_and_drop)
    gc.collect()
    assert unraisable == []
