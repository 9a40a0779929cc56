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
    InlineData,
    Manifest,
    ManifestFile,
    Target,
    __version__,
    check,
    compile,
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


def from_csv(path: str) -> str:
    return compile('{"symbol": "X"}', target="binary", embed_data=CsvData(path), out_dir="out").manifest.crate_name


def schema_title() -> Any:
    schema: dict[str, Any] = strategy_schema()
    return schema["title"]


def native() -> str:
    return NativeCompiler().command('{"cmd":"targets"}')
