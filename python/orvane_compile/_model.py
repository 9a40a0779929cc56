"""The values the typed API takes and hands out: targets, manifests, results, diagnostics and
its one exception, and the compiler's vocabulary. Plain data, so that every module of the
package can use them."""

from __future__ import annotations

import dataclasses
import json
import math
import os
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Literal

from ._orvane_compile import vocabulary_json

#: What requests and answers are made of, as the compiler describes it (``vocabulary_json``):
#: "targets", "opt_levels", "mcus", "wasm_triple", "error_kinds", "project_paths"...
VOCABULARY: dict[str, Any] = json.loads(vocabulary_json())

TargetKind = Literal["wasm", "binary", "no_std"]
OptLevel = Literal["debug", "release", "size"]
ErrorKind = Literal["parse", "bad spec", "bad target", "codegen", "build", "io", "request"]


@dataclass(frozen=True)
class Diagnostic:
    """One fault or warning, as data.

    ``severity`` is "error" or "warning". ``kind`` is an error kind (see
    CompileError). ``path`` names the member it is about, from the compile
    spec down, such as "strategy.sizing.fraction" or "strategy.entry.all[1]"
    ("" for the whole document). ``line`` and ``column`` (from 1; columns
    count bytes) place it in ``source``, the name of the text the caller gave
    (a file name, "strategy text"); all three are None when the fault lies in
    no text the caller wrote. ``line_text`` is that line. ``hint`` is the
    compiler's advice, when it gives some (``message`` then ends before it).
    """

    severity: Literal["error", "warning"]
    kind: ErrorKind
    message: str
    path: str = ""
    line: int | None = None
    column: int | None = None
    source: str | None = None
    line_text: str | None = dataclasses.field(default=None, repr=False, compare=False)
    hint: str | None = None

    def __str__(self) -> str:
        text = KIND_PREFIXES.get(self.kind, "") + self.message
        if self.hint:
            text += "; " + self.hint
        if self.path:
            text += f" (at {self.path})"
        if self.source is not None:
            text += f" at line {self.line} column {self.column} of {self.source}"
        return text


# How the compiler's messages start for each kind of error (the CLI shows them so too).
KIND_PREFIXES: dict[str, str] = {
    "parse": "parse: ",
    "bad spec": "bad spec: ",
    "bad target": "bad target: ",
    "codegen": "codegen: ",
    "build": "build: ",
    "io": "io: ",
}


class CompileError(Exception):
    """A failure answered by the compiler, with what is known about where it lies.

    ``kind`` is "request" when the request itself was refused (text that is
    not JSON, an unknown target or optimisation level, a malformed member),
    "bad spec" for a strategy or compile spec the compiler refuses, or "bad
    target", "codegen", "build", "io". ``message`` says what is wrong, without
    a place; ``path``, ``line``, ``column`` and ``source`` say where (see
    Diagnostic), and ``diagnostics`` holds every fault found, the first of
    which this error describes. ``str(error)`` puts it all in one line.
    """

    def __init__(self, kind: ErrorKind, message: str, path: str = "", line: int | None = None,
                 column: int | None = None, source: str | None = None,
                 diagnostics: Sequence[Diagnostic] = ()) -> None:
        super().__init__(kind, message)
        self.kind: ErrorKind = kind
        self.message = message
        self.path = path
        self.line = line
        self.column = column
        self.source = source
        self.diagnostics: tuple[Diagnostic, ...] = tuple(diagnostics) or (
            Diagnostic("error", kind, message, path, line, column, source),)

    @classmethod
    def from_diagnostics(cls, diagnostics: Sequence[Diagnostic]) -> CompileError:
        """The error for the first of ``diagnostics`` (errors only), carrying them all."""
        first = diagnostics[0]
        return cls(first.kind, first.message, first.path, first.line, first.column, first.source, diagnostics)

    def __str__(self) -> str:
        return str(self.diagnostics[0]) if self.diagnostics[0].message == self.message else (
            KIND_PREFIXES.get(self.kind, "") + self.message)

    def __reduce__(self) -> tuple[Any, ...]:
        return (CompileError, (self.kind, self.message, self.path, self.line, self.column, self.source,
                               self.diagnostics))


@dataclass(frozen=True)
class Target:
    """A build target: ``kind``, and for "no_std" the ``mcu`` target triple."""

    kind: TargetKind
    mcu: str | None = None


@dataclass(frozen=True)
class ManifestFile:
    """One generated file: relative path, SHA-256 of its bytes, its length."""

    path: str
    sha256: str
    bytes_len: int


@dataclass(frozen=True)
class Manifest:
    """The description of a generated project."""

    compiler_version: str
    target: Target
    opt_level: OptLevel
    crate_name: str
    spec_hash: str
    backtest_dep: str
    files: tuple[ManifestFile, ...]
    project_hash: str


@dataclass(frozen=True)
class CompileResult:
    """The answer to a compile.

    ``path`` is the artifact's path after a build and None after a dry run;
    ``built`` tells which of the two happened. ``artifact_sha256`` (hex) and
    ``artifact_size`` (bytes) describe the built artifact in a result of
    ``compile_many``, read where the build ran; they are None otherwise.
    After a build through a store, ``store_key`` is the artifact's key there
    and ``store_hit`` whether the store held it already (no cargo ran); they
    are None otherwise.
    """

    target: Target
    manifest: Manifest
    path: str | None
    built: bool
    artifact_sha256: str | None = None
    artifact_size: int | None = None
    warnings: tuple[Diagnostic, ...] = ()
    store_key: str | None = None
    store_hit: bool | None = None


@dataclass(frozen=True)
class CsvData:
    """A CSV dataset file to embed; read by the compiler, relative paths from the cwd."""

    path: str | os.PathLike[str]


@dataclass(frozen=True)
class InlineData:
    """Candles to embed as they are (any JSON values)."""

    candles: Sequence[Any]


def checked_timeout(timeout: float | None) -> float | None:
    """``timeout`` when it is None or a positive, finite number of seconds; ValueError otherwise."""
    if timeout is None:
        return None
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError(f"timeout must be a number of seconds, not {type(timeout).__name__}")
    if not math.isfinite(timeout) or timeout <= 0:
        raise ValueError(f"timeout must be a positive number of seconds, not {timeout!r}")
    return timeout


def checked_mcu(target: str | None, mcu: str | None) -> None:
    """ValueError for an ``mcu`` given with a target other than "no_std" (None: no target named):
    the compiler would only warn of it and build for the target without it."""
    if mcu is not None and target not in (None, "no_std"):
        raise ValueError(f"mcu applies only to target 'no_std', not {target!r}")


def is_compile_spec(document: Any) -> bool:
    """Whether a parsed document is a whole compile spec (an object with a ``strategy`` member)
    rather than a bare strategy; a compile spec needs no ``target`` to be one."""
    return isinstance(document, Mapping) and "strategy" in document
