"""Batches of builds on threads: one project folder each, the cores shared, and stopping together.

A build on the main thread stops for Ctrl-C by itself: the extension runs
Python's signal handlers while it waits, and a handler that raises stops the
build. A build on any other thread is asked nothing (signal handlers run on the
main thread only), so a batch interrupted while its threads build stops them
from the waiting thread: jobs that have not started are cancelled, tool-chain
probes see the batch's stop event and kill their tool (``doctor._ask``), and
the builds see it too (the extension's ``cancel``, asked every 100 ms), kill
everything they started and come back.

What a job on a batch thread needs to know of its batch travels in context
variables: the stop event, and the share of the cores each cargo gets (the
request's ``build.jobs``), so that ``compile`` runs unchanged on those threads.

``run_batch`` runs a batch in its steps, for ``compile_many`` and the command
line's several files alike: every job previewed (a dry run, which names its
project folder), then admitted in the order of the jobs, then built.
"""

from __future__ import annotations

import os
import threading
from collections.abc import Callable
from concurrent.futures import Future, ThreadPoolExecutor, as_completed
from contextvars import ContextVar
from types import TracebackType
from typing import Any, Generic, TypeVar

__all__ = ["BatchThreads", "FolderClaims", "Stopped", "build_jobs", "cores_per_build", "done", "folder_identity",
           "refusal", "run_batch", "stop_event"]

T = TypeVar("T")
P = TypeVar("P")

_stop: ContextVar[threading.Event | None] = ContextVar("orvane_compile_stop", default=None)
_build_jobs: ContextVar[int | None] = ContextVar("orvane_compile_build_jobs", default=None)


class Stopped(Exception):
    """A job given up because its batch is stopping."""


def stop_event() -> threading.Event | None:
    """The stop event of the batch whose job runs on this thread; None outside a batch."""
    return _stop.get()


def build_jobs() -> int | None:
    """The cargo jobs for each build of the batch whose job runs on this thread; None: cargo's own default."""
    return _build_jobs.get()


def cores_per_build(workers: int) -> int | None:
    """The cargo jobs for each of ``workers`` builds at once: ``max(1, cpu_count // workers)``, or None
    when the environment sets CARGO_BUILD_JOBS (cargo then reads that)."""
    if "CARGO_BUILD_JOBS" in os.environ:
        return None
    return max(1, (os.cpu_count() or 1) // max(1, workers))


def folder_identity(folder: str) -> tuple[Any, ...]:
    """Equal for two paths of one folder however they are spelt (relative or absolute, through links,
    mount points or "..", existing yet or not): the device and inode of the nearest folder that exists,
    and the names below it."""
    real = os.path.realpath(folder)
    below: list[str] = []
    path = real
    while True:
        try:
            st = os.stat(path)
        except OSError:
            parent = os.path.dirname(path)
            if parent == path:
                return (real,)
            below.append(os.path.basename(path))
            path = parent
            continue
        return (st.st_dev, st.st_ino, *reversed(below))


class FolderClaims:
    """The project folders of a batch: the first job to claim one builds there, a later one is refused."""

    def __init__(self) -> None:
        self.folders: list[str] = []
        self._owners: dict[tuple[Any, ...], int] = {}

    def claim(self, folder: str, job: int) -> int | None:
        """None when ``job`` may build in ``folder``; otherwise the job that claimed it first."""
        owner = self._owners.setdefault(folder_identity(folder), job)
        if owner != job:
            return owner
        self.folders.append(folder)
        return None


def refusal(folder: str, owner: str) -> str:
    """The message refusing a job whose project folder ``owner`` builds in already."""
    return f"refusing to build into {folder}: {owner} builds there too"


def done(fn: Callable[..., T], *args: Any) -> Future[T]:
    """``fn(*args)`` run here and now, as a future that has its result: a ``submit`` for jobs run on
    the calling thread (what it raises is raised here)."""
    future: Future[T] = Future()
    future.set_result(fn(*args))
    return future


class Steps(Generic[P, T]):
    """How ``run_batch`` runs one job: ``preview(index)`` starts what is done for every job first (a
    dry run, which names the job's project folder); ``settled(index, preview)`` is the job's outcome
    when the preview decides it already (reported as soon as known), else None; ``admit(index,
    preview)``, asked in the order of the jobs once every preview is in, is the outcome refusing its
    build (its folder claimed by an earlier job, say), else None; ``build(index)`` starts the build."""

    def __init__(self, preview: Callable[[int], Future[P]], settled: Callable[[int, P], T | None],
                 admit: Callable[[int, P], T | None], build: Callable[[int], Future[T]]) -> None:
        self.preview, self.settled, self.admit, self.build = preview, settled, admit, build


def run_batch(count: int, steps: Steps[P, T], finished: Callable[[int, T], None]) -> None:
    """Run ``count`` jobs in two steps (see ``Steps``): no build starts before every job is previewed and
    admitted. ``finished(index, outcome)`` is called on this thread as each outcome is known: the
    previews and builds run on this thread (see ``done``) in the order of the jobs, the others as they
    end. What is raised here cancels the futures that have not started, and goes on."""
    futures: list[Future[Any]] = []
    try:
        futures = [steps.preview(index) for index in range(count)]
        previews: dict[int, P] = {}

        def previewed(index: int, preview: P) -> None:
            outcome = steps.settled(index, preview)
            if outcome is None:
                previews[index] = preview
            else:
                finished(index, outcome)

        # Previews made on this thread are settled in the order of the jobs, the others as they end.
        waiting = {}
        for index, future in enumerate(futures):
            if future.done():
                previewed(index, future.result())
            else:
                waiting[future] = index
        for future in as_completed(waiting):
            previewed(waiting[future], future.result())
        admitted = []
        for index in sorted(previews):
            outcome = steps.admit(index, previews[index])
            if outcome is None:
                admitted.append(index)
            else:
                finished(index, outcome)
        running: dict[Future[T], int] = {}
        futures = []
        for index in admitted:
            build = steps.build(index)
            if build.done():
                finished(index, build.result())
            else:
                running[build] = index
                futures.append(build)
        for build in as_completed(running):
            finished(running[build], build.result())
    except BaseException:
        for future in futures:
            future.cancel()
        raise


class BatchThreads:
    """A thread pool for a batch's jobs, stopped as a whole when the batch is interrupted.

    Leaving the block with an exception cancels the jobs that have not
    started and sets the stop event the running ones see, which stops their
    builds; the running jobs are then waited for.
    """

    def __init__(self, workers: int, cargo_jobs: int | None = None) -> None:
        self._cargo_jobs = cargo_jobs
        self._stop = threading.Event()
        self._futures: list[Future[Any]] = []
        self._pool = ThreadPoolExecutor(workers, thread_name_prefix="orvane-compile")

    def submit(self, fn: Callable[..., T], *args: Any) -> Future[T]:
        future = self._pool.submit(self._run, fn, *args)
        self._futures.append(future)
        return future

    def _run(self, fn: Callable[..., T], *args: Any) -> T:
        if self._stop.is_set():
            raise Stopped
        stop, jobs = _stop.set(self._stop), _build_jobs.set(self._cargo_jobs)
        try:
            return fn(*args)
        finally:
            _build_jobs.reset(jobs)
            _stop.reset(stop)

    def __enter__(self) -> BatchThreads:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        if kind is not None:
            self._stop.set()
            for future in self._futures:
                future.cancel()
        while True:
            try:
                self._pool.shutdown(wait=True)
                return
            except KeyboardInterrupt:  # pressed again: this is stopping already
                self._stop.set()
