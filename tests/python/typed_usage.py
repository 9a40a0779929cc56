"""Typed use of the package, as an application would write it.

Never run; test_stubs.py checks it with ``mypy --strict`` against the
installed package, so every name and signature used here must be typed.
"""

from __future__ import annotations

import json
from typing import Any

from orvane_compile import (
    CompileError,
    CompileResult,
    Compiler,
    CsvData,
    Diagnostic,
    DoctorReport,
    InlineData,
    Manifest,
    ManifestFile,
    Target,
    TargetStatus,
    ToolProblem,
    ToolStatus,
    __version__,
    check,
    compile,
    doctor,
    strategy_schema,
)
from orvane_compile._orvane_compile import Compiler as NativeCompiler


def versions() -> tuple[str, str, str]:
    handle = Compiler()
    answer: str = handle.command('{"cmd":"version"}')
    return json.loads(answer)["version"], Compiler.version(), __version__


def build(strategy: dict[str, Any], candles: list[dict[str, float]]) -> list[tuple[str, int]]:
    result: CompileResult = compile(strategy, target="no_std", mcu="thumbv6m-none-eabi", opt_level="size",
                                    crate_name="demo", embed_data=InlineData(candles), dry_run=True)
    manifest: Manifest = result.manifest
    target: Target = manifest.target
    files: tuple[ManifestFile, ...] = manifest.files
    path: str | None = result.path
    built: bool = result.built
    print(target.kind, target.mcu, path, built, manifest.spec_hash, manifest.project_hash)
    return [(f.path, f.bytes_len) for f in files]


def validate(text: str) -> str | None:
    try:
        check(text)
    except CompileError as error:
        kind: str = error.kind
        return f"{kind}: {error.message}"
    return None


def lint(text: str) -> list[str]:
    """Every warning and fault of a strategy text, as "LINE:COLUMN: message (at PATH)"."""
    warnings: list[Diagnostic] = check(text)
    try:
        check(text, strict=True)
    except CompileError as error:
        path: str = error.path
        line: int | None = error.line
        faults: tuple[Diagnostic, ...] = error.diagnostics
        print(path, line, error.column, error.source)
        return [f"{d.line}:{d.column}: {d.message} (at {d.path})" for d in faults if d.severity == "error"]
    result: CompileResult = compile(text, dry_run=True)
    more: tuple[Diagnostic, ...] = result.warnings
    return [str(w) for w in (*warnings, *more)]


def from_csv(path: str) -> str:
    return compile('{"symbol": "X"}', target="binary", embed_data=CsvData(path), out_dir="out").manifest.crate_name


def schema_title() -> Any:
    schema: dict[str, Any] = strategy_schema()
    return schema["title"]


def native() -> str:
    return NativeCompiler().command('{"cmd":"targets"}')


def tool_chain(mcu: str) -> list[str]:
    report: DoctorReport = doctor("no_std", mcu)
    statuses: tuple[TargetStatus, ...] = report.targets
    tools: tuple[ToolStatus, ...] = report.tools
    problems: list[ToolProblem] = [p for s in statuses for p in s.problems]
    ready: bool = report.ready and all(s.ready for s in statuses)
    sysroot: str | None = report.sysroot
    as_json: dict[str, Any] = report.to_json()
    print(ready, sysroot, as_json["ready"], [s.triple for s in statuses], [s.target.mcu for s in statuses])
    return [f"{p.message}; fix: {p.fix}" for p in problems] + [t.name for t in tools if t.path is None]
