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
"""

from __future__ import annotations

import os
import threading
from collections.abc import Callable
from concurrent.futures import Future, ThreadPoolExecutor
from contextvars import ContextVar
from types import TracebackType
from typing import Any, TypeVar

__all__ = ["BatchThreads", "FolderClaims", "Stopped", "build_jobs", "cores_per_build", "folder_identity",
           "refusal", "stop_event"]

T = TypeVar("T")

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
