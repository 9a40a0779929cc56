"""Whether the Rust tool chain can build each target, and how to get what it lacks.

A build runs ``cargo build``, with ``--target <triple>`` for wasm
(wasm32-unknown-unknown) and no_std (the MCU triple), and for wasm then
``wasm-bindgen`` (``core/src/builder/target_table.cpp``, ``run_cargo.cpp``).
So a target needs:

- ``cargo`` on the PATH, found the way the build finds it: the first
  executable file of that name in an absolute PATH entry;
- the standard library of its triple in rustc's sysroot,
  ``<sysroot>/lib/rustlib/<triple>`` (``rustc --print sysroot``), the
  host's for binary; ``rustc`` is what cargo runs, ``$RUSTC`` when set;
- for wasm, ``wasm-bindgen`` on the PATH, of the version of the wasm-bindgen
  crate that cargo resolved for the project (the project's ``Cargo.lock``).

``doctor()`` reports on every tool and target. ``require_ready()`` is the
check ``compile()`` and the command line run before a build. It refuses only
what it is sure of: when ``rustc`` cannot be found, cargo may still find one
of its own, so the standard library is not checked (a note in the report);
wasm-bindgen's version is compared only with a Cargo.lock that names the
crate's.

Every tool is asked in a session of its own, with only the PATH's absolute
entries, and is killed with whatever it started when it does not answer in
time. The check before a build asks from the output folder (the project
folder's parent, or its nearest existing ancestor), never from inside the
project folder, whose files the tools could obey (rustup's toolchain file).
"""

from __future__ import annotations

import json
import os
import re
import signal
import socket
import subprocess
import threading
import time
from collections.abc import Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import Any, NamedTuple

from . import _batch
from ._model import VOCABULARY, CompileError, Target, TargetKind, checked_mcu, checked_timeout
from ._orvane_compile import Compiler

__all__ = [
    "DoctorReport",
    "TargetStatus",
    "ToolProblem",
    "ToolStatus",
    "doctor",
    "project_folder",
    "require_ready",
    "tool_chain_problem",
]

#: The triple a wasm build passes to cargo.
WASM_TRIPLE: str = VOCABULARY["wasm_triple"]
#: The compiler's ``out_dir`` when a request gives none.
DEFAULT_OUT_DIR = "_out"

# A tool asked for its version or sysroot is given this long to answer, unless told otherwise.
_PROBE_TIMEOUT_S = 60.0
# How often a tool that has not answered yet is looked at, when something else may stop it.
_PROBE_POLL_S = 0.1
_INSTALL_RUST = "install Rust with rustup: https://rustup.rs"
_WASM_BINDGEN_MATCH = ("its version must match the wasm-bindgen crate's in the project's Cargo.lock; "
                       "a new project resolves the latest")


@dataclass(frozen=True)
class ToolProblem:
    """Something a build needs that is missing or broken, and how to get it right."""

    message: str
    fix: str

    def __str__(self) -> str:
        return f"{self.message}; fix: {self.fix}"


@dataclass(frozen=True)
class ToolStatus:
    """A tool: where it was found (None: not on the PATH), the first line of its version, its problem."""

    name: str
    path: str | None
    version: str | None
    problem: ToolProblem | None = None


@dataclass(frozen=True)
class TargetStatus:
    """Whether a target can be built: the triple it builds for, what is missing, and notes.

    ``triple`` is None for binary when the host is not known (rustc did not answer).
    """

    target: Target
    triple: str | None
    problems: tuple[ToolProblem, ...] = ()
    notes: tuple[str, ...] = ()

    @property
    def ready(self) -> bool:
        return not self.problems

    @property
    def label(self) -> str:
        """The target as the report shows it: its kind and the triple it builds for."""
        return self.target.kind if self.triple is None else f"{self.target.kind} {self.triple}"


@dataclass(frozen=True)
class DoctorReport:
    """The tools (cargo, rustc, wasm-bindgen, rustup) and the state of each target checked;
    ``network``, when set, says why builds that fetch crates will stall and fail here."""

    tools: tuple[ToolStatus, ...]
    host: str | None
    sysroot: str | None
    targets: tuple[TargetStatus, ...]
    network: str | None = None

    @property
    def ready(self) -> bool:
        """Every target checked can be built."""
        return all(status.ready for status in self.targets)

    def to_json(self) -> dict[str, Any]:
        """The report as JSON values (what ``orvane-compile doctor --json`` prints)."""

        def problem(p: ToolProblem | None) -> dict[str, str] | None:
            return None if p is None else {"message": p.message, "fix": p.fix}

        def target(t: Target) -> dict[str, str]:
            return {"kind": t.kind} if t.mcu is None else {"kind": t.kind, "mcu": t.mcu}

        return {
            "ready": self.ready,
            "tools": [{"name": t.name, "path": t.path, "version": t.version, "problem": problem(t.problem)}
                      for t in self.tools],
            "host": self.host,
            "sysroot": self.sysroot,
            "targets": [{"target": target(s.target), "triple": s.triple, "ready": s.ready,
                         "problems": [problem(p) for p in s.problems], "notes": list(s.notes)}
                        for s in self.targets],
            "network": self.network,
        }

    def text(self) -> str:
        """The report as ``orvane-compile doctor`` prints it."""
        lines = []
        for tool in self.tools:
            head = f"{tool.name:<13} "
            if tool.path is None:
                lines.append(head + ("not found (optional: it installs targets)" if tool.name == "rustup"
                                     else "not found"))
            elif tool.problem is not None:
                lines.append(head + str(tool.problem))
            else:
                lines.append(head + f"{tool.version} at {tool.path}")
            if tool.name == "rustc" and self.sysroot is not None:
                lines.append(" " * 14 + f"host {self.host}, sysroot {self.sysroot}")
        lines.append("")
        width = max((len(s.label) for s in self.targets), default=0) + 2
        for status in self.targets:
            lines.append(f"{status.label:<{width}}{'ready' if status.ready else 'not ready'}")
            for p in status.problems:
                lines.append(f"  - {p.message}")
                lines.append(f"    fix: {p.fix}")
            lines.extend(f"  note: {note}" for note in status.notes)
        ready = sum(status.ready for status in self.targets)
        lines.append("")
        if self.network is not None:
            lines.append(f"note: {self.network}")
        lines.append(f"{ready} of {len(self.targets)} target{'' if len(self.targets) == 1 else 's'} ready")
        return "\n".join(lines) + "\n"


# ---------------------------------------------------------------- finding and asking tools

# Where cargo fetches the projects' crates from, unless its configuration replaces the registry.
_REGISTRY = ("index.crates.io", 443)


def _network_problem(seconds: float) -> str | None:
    """Why builds that fetch crates will stall here: the registry cannot be reached and cargo is
    not told to stay offline (then each fetch is retried, ``net.retry``, before it fails). None
    when it can be reached or cargo is offline."""
    if os.environ.get("CARGO_NET_OFFLINE", "").lower() == "true":
        return None
    try:
        socket.create_connection(_REGISTRY, timeout=min(seconds, 5.0)).close()
        return None
    except OSError as error:
        why = error.strerror or str(error) or type(error).__name__
    return (f"the crate registry {_REGISTRY[0]} cannot be reached ({why}): a build that fetches crates "
            "retries the network for some seconds before it fails, unless cargo's configuration replaces "
            "the registry with a local one or vendored crates (`cargo vendor`); CARGO_NET_OFFLINE=true "
            "makes cargo fail at once instead")



def find_program(name: str) -> str | None:
    """``name`` as the build finds it: the first executable regular file of that name in an
    absolute PATH entry (an unset PATH counts as /bin:/usr/bin); a name with a slash as it is."""
    if "/" in name:
        return name if _is_executable(name) else None
    path = os.environ.get("PATH")
    for entry in ("/bin:/usr/bin" if path is None else path).split(":"):
        # A relative entry would find programs in whatever the working folder is.
        if entry.startswith("/"):
            candidate = os.path.join(entry, name)
            if _is_executable(candidate):
                return candidate
    return None


def _is_executable(path: str) -> bool:
    return os.path.isfile(path) and os.access(path, os.X_OK)


def _seconds(value: float) -> str:
    """A number of seconds as the compiler writes it in "timed out after N s": 2, 0.5, 1e-09."""
    text = repr(float(value))
    return text[:-2] if text.endswith(".0") else text


@dataclass(frozen=True)
class _Limit:
    """How long a tool may take to answer: ``seconds`` from its start; or, under a build's own time
    limit, until ``until`` (time.monotonic()), when the build times out. ``cancel`` set stops it early."""

    seconds: float = _PROBE_TIMEOUT_S
    until: float | None = None
    cancel: threading.Event | None = None


class _TimedOut(Exception):
    """A tool did not answer within the build's own time limit."""

    def __init__(self, command: str) -> None:
        super().__init__(command)
        self.command = command


class _Answer(NamedTuple):
    """A tool's standard output, or None and why it gave none (``hung``: it did not answer in time)."""

    out: str | None
    why: str = ""
    hung: bool = False


def _probe_environment() -> dict[str, str]:
    """This process's environment with only the PATH's absolute entries: an empty or relative entry
    would find programs in whatever folder the tool works in."""
    env = dict(os.environ)
    if "PATH" in env:
        kept = [entry for entry in env["PATH"].split(":") if entry.startswith("/")]
        if kept:
            env["PATH"] = ":".join(kept)
        else:
            del env["PATH"]
    return env


def _kill(process: subprocess.Popen[bytes]) -> None:
    """Kill a tool's session (it leads it, so it is there until reaped), and reap it."""
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except OSError:
        pass
    for pipe in (process.stdout, process.stderr):
        if pipe is not None:
            pipe.close()  # what it started may hold the other ends, if it left the session
    process.wait()


def _ask(argv: Sequence[str], cwd: str | None, limit: _Limit) -> _Answer:
    """Run a tool from ``cwd`` and take its answer, within ``limit``; the stop of the batch that runs
    this (see ``_batch``) or ``limit.cancel`` raises ``_batch.Stopped``, and a build's own limit
    running out ``_TimedOut``."""
    command = " ".join(argv)
    until = limit.until if limit.until is not None else time.monotonic() + limit.seconds
    stop = limit.cancel or _batch.stop_event()
    try:
        process = subprocess.Popen([os.path.abspath(argv[0]), *argv[1:]], cwd=cwd, env=_probe_environment(),
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   start_new_session=True)
    except OSError as error:
        return _Answer(None, error.strerror or str(error))
    try:
        while True:
            left = max(0.0, until - time.monotonic())
            try:
                out, err = process.communicate(timeout=left if stop is None else min(left, _PROBE_POLL_S))
                break
            except subprocess.TimeoutExpired:
                if stop is not None and stop.is_set():
                    raise _batch.Stopped from None
                if time.monotonic() >= until:
                    if limit.until is not None:
                        raise _TimedOut(command) from None
                    return _Answer(None, f"did not answer within {_seconds(limit.seconds)} s", hung=True)
    finally:
        if process.returncode is None:
            _kill(process)
    if process.returncode != 0:
        said = err.decode("utf-8", "replace").strip().splitlines()
        why = (f"exit status {process.returncode}" if process.returncode > 0
               else f"killed by signal {-process.returncode}")
        return _Answer(None, why + (f": {said[-1].strip()}" if said else ""))
    return _Answer(out.decode("utf-8", "replace"))


def _failed(command: str, answer: _Answer) -> str:
    """What went wrong with a tool that gave no answer: "`cmd` failed (why)", or that it hung."""
    return f"`{command}` {answer.why}" if answer.hung else f"`{command}` failed ({answer.why or 'no answer'})"


def _first_line(text: str) -> str:
    lines = text.strip().splitlines()
    return lines[0].strip() if lines else ""


def _versioned(name: str, missing: ToolProblem | None, limit: _Limit, cwd: str | None = None) -> ToolStatus:
    """A tool found on the PATH and asked for ``--version`` from ``cwd``."""
    path = find_program(name)
    if path is None:
        return ToolStatus(name, None, None, missing)
    answer = _ask([path, "--version"], cwd, limit)
    if answer.out is None:
        return ToolStatus(name, path, None, ToolProblem(_failed(f"{path} --version", answer),
                                                        f"repair or reinstall {name}"))
    return ToolStatus(name, path, _first_line(answer.out) or None)


@dataclass(frozen=True)
class _Rustc:
    """What rustc says of itself: its status, the host triple and the sysroot."""

    tool: ToolStatus
    host: str | None = None
    sysroot: str | None = None


# rustc's answers, by what decides them: its file, the working folder (rustup picks a tool
# chain by folder) and rustup's environment. Only answers are kept, never failures, and only
# this many before they are forgotten.
_RUSTC_ANSWERS_KEPT = 256
_rustc_answers: dict[tuple[Any, ...], _Rustc] = {}
_rustc_lock = threading.Lock()


def _ask_rustc(cwd: str | None, fresh: bool, limit: _Limit) -> _Rustc:
    name = os.environ.get("RUSTC") or "rustc"
    path = find_program(name)
    if path is None:
        where = "is not on the PATH" if "/" not in name else "(named by RUSTC) is not an executable file"
        return _Rustc(ToolStatus("rustc", None, None, ToolProblem(f"{name} {where}", _INSTALL_RUST)))
    try:
        st = os.stat(path)
    except OSError:
        fresh = True
        st = None
    key = (path, st and (st.st_ino, st.st_mtime_ns), os.path.abspath(cwd or "."),
           os.environ.get("RUSTUP_TOOLCHAIN"), os.environ.get("RUSTUP_HOME"))
    if not fresh:
        with _rustc_lock:
            known = _rustc_answers.get(key)
        if known is not None:
            return known
    fix = f"make `{name} -vV` and `{name} --print sysroot` work ({_INSTALL_RUST})"
    version = _ask([path, "-vV"], cwd, limit)
    if version.out is None:
        return _Rustc(ToolStatus("rustc", path, None, ToolProblem(_failed(f"{path} -vV", version), fix)))
    out = version.out
    fields = dict(line.split(": ", 1) for line in out.splitlines()[1:] if ": " in line)
    sysroot = _ask([path, "--print", "sysroot"], cwd, limit)
    if sysroot.out is None or not sysroot.out.strip():
        return _Rustc(ToolStatus("rustc", path, None, ToolProblem(_failed(f"{path} --print sysroot", sysroot), fix)))
    answer = _Rustc(ToolStatus("rustc", path, _first_line(out) or None), fields.get("host", "").strip() or None,
                    sysroot.out.strip())
    with _rustc_lock:
        if len(_rustc_answers) >= _RUSTC_ANSWERS_KEPT:
            _rustc_answers.clear()
        _rustc_answers[key] = answer
    return answer


def _has_std(sysroot: str, triple: str) -> bool:
    return os.path.isdir(os.path.join(sysroot, "lib", "rustlib", triple))


def _std_problem(triple: str, sysroot: str) -> ToolProblem:
    add = f"rustup target add {triple}"
    fix = add if find_program("rustup") else f"{add} (rustup is not on the PATH: https://rustup.rs)"
    return ToolProblem(f"the Rust standard library for {triple} is not installed (rustc sysroot {sysroot})", fix)


_LOCKED_WASM_BINDGEN = re.compile(r'^name = "wasm-bindgen"\r?\nversion = "([^"\r\n]+)"', re.MULTILINE)


def _locked_wasm_bindgen(project_dir: str | None) -> str | None:
    """The wasm-bindgen crate's version in the project's Cargo.lock, once cargo has written one."""
    if project_dir is None:
        return None
    try:
        with open(os.path.join(project_dir, "Cargo.lock"), encoding="utf-8") as handle:
            found = _LOCKED_WASM_BINDGEN.search(handle.read())
    except (OSError, UnicodeDecodeError):
        return None
    return found.group(1) if found else None


def _install_wasm_bindgen(locked: str | None) -> str:
    if locked is not None:
        return f"cargo install wasm-bindgen-cli --version {locked}"
    return f"cargo install wasm-bindgen-cli ({_WASM_BINDGEN_MATCH})"


_MISSING_CARGO = ToolProblem("cargo is not on the PATH", _INSTALL_RUST)


# ---------------------------------------------------------------- one target


def _target_status(target: Target, cargo: ToolProblem | None, rustc: _Rustc, wasm_bindgen: ToolStatus | None,
                   project_dir: str | None, strict: bool, limit: _Limit = _Limit(),
                   cwd: str | None = None) -> TargetStatus:
    """What ``target`` lacks, given cargo's problem and rustc's answers.

    ``strict`` (the report) counts what cannot be checked as a problem: no
    rustc, a wasm-bindgen that does not tell its version. Otherwise (before a
    build) those are notes. ``wasm_bindgen`` None: look for it here, and ask
    its version (from ``cwd``, within ``limit``) only when the project's Cargo.lock has one to
    compare with.
    """
    problems: list[ToolProblem] = [] if cargo is None else [cargo]
    notes: list[str] = []
    triple = WASM_TRIPLE if target.kind == "wasm" else target.mcu if target.kind == "no_std" else rustc.host
    if rustc.tool.problem is not None and (strict or rustc.tool.path is not None):
        problems.append(rustc.tool.problem)
    elif rustc.tool.path is None:
        notes.append(f"rustc is not on the PATH: the standard library for {triple or 'the host'} was not checked")
    elif triple is not None and rustc.sysroot is not None and not _has_std(rustc.sysroot, triple):
        problems.append(_std_problem(triple, rustc.sysroot))
    if target.kind == "wasm":
        locked = _locked_wasm_bindgen(project_dir)
        if wasm_bindgen is None:
            path = find_program("wasm-bindgen")
            wasm_bindgen = ToolStatus("wasm-bindgen", path, None) if path is None or locked is None \
                else _versioned("wasm-bindgen", None, limit, cwd)
        version = (wasm_bindgen.version or "").split()[-1:]
        if wasm_bindgen.path is None:
            problems.append(ToolProblem("wasm-bindgen is not on the PATH", _install_wasm_bindgen(locked)))
        elif wasm_bindgen.problem is not None and strict:
            problems.append(wasm_bindgen.problem)
        elif locked is None:
            notes.append("wasm-bindgen's version must match the wasm-bindgen crate's in the project's Cargo.lock")
        elif not version:
            notes.append(f"wasm-bindgen did not tell its version; the project's Cargo.lock has {locked}")
        elif version[0] != locked:
            problems.append(ToolProblem(
                f"wasm-bindgen {version[0]} does not match the wasm-bindgen crate {locked} in "
                f"{os.path.join(project_dir or '', 'Cargo.lock')}", _install_wasm_bindgen(locked)))
    return TargetStatus(target, triple, tuple(problems), tuple(notes))


def project_folder(out_dir: str | os.PathLike[str] | None, crate_name: str) -> str:
    """The folder a build of ``crate_name`` writes: ``<out_dir>/<crate_name>``."""
    return os.path.join(DEFAULT_OUT_DIR if out_dir is None else os.fspath(out_dir), crate_name)


def _nearest_folder(path: str) -> str:
    """``path``, or its nearest ancestor that is a folder: where cargo's rustup picks its tool chain."""
    path = os.path.abspath(path)
    while not os.path.isdir(path) and os.path.dirname(path) != path:
        path = os.path.dirname(path)
    return path


def tool_chain_problem(target: Target, project_dir: str, *, timeout: float | None = None) -> str | None:
    """Why the tool chain surely cannot build ``target`` in ``project_dir``, or None.

    One line per problem, each with its fix. rustc's answers are remembered
    between calls; a standard library found missing is looked for again with
    rustc asked afresh, so that a remembered answer never refuses a build.
    The tools are asked from the folder that holds ``project_dir``. With a
    build's ``timeout`` (seconds), a tool that has not answered by then is
    killed and the problem is "timed out after N s: `<tool>` did not answer".
    """
    cwd = _nearest_folder(os.path.dirname(os.path.abspath(project_dir)))
    limit = _Limit()
    if timeout is not None and timeout <= _PROBE_TIMEOUT_S:
        limit = _Limit(timeout, time.monotonic() + timeout)
    cargo = _MISSING_CARGO if find_program("cargo") is None else None
    try:
        rustc = _ask_rustc(cwd, False, limit)
        status = _target_status(target, cargo, rustc, None, project_dir, False, limit, cwd)
        if status.ready:
            return None
        if status.triple is not None and rustc.sysroot is not None and not _has_std(rustc.sysroot, status.triple):
            status = _target_status(target, cargo, _ask_rustc(cwd, True, limit), None, project_dir, False, limit,
                                    cwd)
    except _TimedOut as hung:
        return f"timed out after {_seconds(limit.seconds)} s: `{hung.command}` did not answer"
    return None if status.ready else "\n".join(map(str, status.problems))


def require_ready(target: Target, project_dir: str, *, timeout: float | None = None) -> None:
    """Raise CompileError("build", ...) naming what is missing when the tool chain cannot build ``target``
    (see ``tool_chain_problem``)."""
    problem = tool_chain_problem(target, project_dir, timeout=timeout)
    if problem is not None:
        raise CompileError("build", problem)


# ---------------------------------------------------------------- the report


def _targets(target: TargetKind | None, mcu: str | None) -> list[Target]:
    answer = json.loads(Compiler().command('{"cmd":"targets"}'))
    kinds: list[TargetKind] = answer["targets"]
    mcus: list[str] = answer["mcus"]
    checked_mcu(target, mcu)
    if mcu is not None:
        if mcu not in mcus:
            raise ValueError(f"mcu {mcu!r} is not one of the compiler's: {', '.join(mcus)}")
        return [Target("no_std", mcu)]
    if target is not None and target not in kinds:
        raise ValueError(f"target {target!r} is not one of the compiler's: {', '.join(kinds)}")
    chosen: list[Target] = []
    for kind in kinds if target is None else [target]:
        if kind == "no_std":
            chosen.extend(Target("no_std", triple) for triple in mcus)
        else:
            chosen.append(Target(kind))
    return chosen


def doctor(target: TargetKind | None = None, mcu: str | None = None, *,
           timeout: float | None = None) -> DoctorReport:
    """Whether the Rust tool chain can build each target, and how to get what it lacks.

    Checks every target and every MCU triple the compiler allows, or only
    ``target`` ("no_std" alone: every MCU) or only ``mcu``. The tools are
    looked for and asked here and now, from the current folder, all at once;
    each has ``timeout`` seconds (default 60) to answer, or is reported as
    not answering. Raises ValueError for an unknown target or MCU, an ``mcu``
    with a target other than "no_std", or a ``timeout`` that is not positive.
    """
    chosen = _targets(target, mcu)
    stop = threading.Event()
    limit = _Limit(checked_timeout(timeout) or _PROBE_TIMEOUT_S, cancel=stop)
    missing_wasm_bindgen = ToolProblem("wasm-bindgen is not on the PATH", _install_wasm_bindgen(None))
    with ThreadPoolExecutor(5, thread_name_prefix="orvane-compile doctor") as pool:
        try:
            asked = [pool.submit(_versioned, name, missing, limit)
                     for name, missing in (("cargo", _MISSING_CARGO), ("wasm-bindgen", missing_wasm_bindgen),
                                           ("rustup", None))]
            network = pool.submit(_network_problem, limit.seconds)
            rustc = pool.submit(_ask_rustc, None, True, limit).result()
            cargo, wasm_bindgen, rustup = (future.result() for future in asked)
        except BaseException:
            stop.set()  # the tools still asked are killed, and the pool waits for no answer
            raise
    statuses = tuple(_target_status(t, cargo.problem, rustc, wasm_bindgen, None, strict=True) for t in chosen)
    return DoctorReport((cargo, rustc.tool, wasm_bindgen, rustup), rustc.host, rustc.sysroot, statuses,
                        network.result())
