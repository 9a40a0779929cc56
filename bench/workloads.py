"""Deterministic workloads for the benchmarks.

Everything here is a pure function of its arguments (and of the seed), so two
runs, two machines or the harness and its tests see the same request texts.

- ``strategy()``: the ~2 KB strategy document kept in ``bench/strategy.json``
  (indicators on several feeds, nested all/any/not conditions, operand
  expressions, vol-target sizing, costs with slippage, risk, execution and an
  unknown ``meta`` section that has to survive into ``src/spec.json``).
- ``small_request()``: the compile dry run of that strategy alone.
- ``inline_request(n_bytes)``: the same dry run carrying an inline candle
  dataset, padded with candles until the request text reaches ``n_bytes``.
  The whole request is written by ``json.dumps`` with its default separators.
- ``write_csv(path, n_bytes)`` and ``csv_request(path)``: a CSV dataset file
  (header ``t,o,h,l,c,v``) and the dry run that embeds it.
- ``write_blob(path, n_bytes)``: a large file for ``artifact_bytes``.
- ``Scratch``: a temporary directory for the files, removed on exit.

Run as a script to write the workloads into a directory for inspection or for
the C++ micro-benchmarks::

    python bench/workloads.py --out /tmp/orvane-workloads --sizes 1,10
"""

from __future__ import annotations

import argparse
import json
import os
import random
import shutil
import tempfile
from pathlib import Path
from typing import Iterator

HERE = Path(__file__).resolve().parent
STRATEGY_PATH = HERE / "strategy.json"

MB = 1_000_000
SEED = 20240611
START_MS = 1_700_000_000_000
STEP_MS = 60_000
START_PRICE = 42000.0

_PLACEHOLDER = '"candles": []'


def strategy() -> dict:
    """The benchmark strategy document, as a fresh dict."""
    with open(STRATEGY_PATH, encoding="utf-8") as f:
        return json.load(f)


def compile_request(
    strat: object,
    target: dict | None = None,
    opt_level: str | None = "release",
    embed_data: dict | None = None,
    crate_name: str | None = None,
) -> dict:
    """A compile dry-run request as a dict (the caller serialises it)."""
    spec: dict = {"strategy": strat, "target": target or {"kind": "wasm"}}
    if opt_level is not None:
        spec["opt_level"] = opt_level
    if embed_data is not None:
        spec["embed_data"] = embed_data
    if crate_name is not None:
        spec["crate_name"] = crate_name
    return {"cmd": "compile", "spec": spec, "dry_run": True}


def small_request(target: dict | None = None, opt_level: str | None = "release") -> str:
    """The ~2 KB dry run: the strategy and a target, nothing else."""
    return json.dumps(compile_request(strategy(), target, opt_level))


# ---------------------------------------------------------------------------
# Candles: a seeded random walk of one-minute bars.


def iter_candles(seed: int = SEED) -> Iterator[tuple[int, float, float, float, float, float]]:
    """Endless (t, o, h, l, c, v) bars; prices to 2 decimals, volume to 4."""
    rng = random.Random(seed)
    rnd = rng.random
    t = START_MS
    price = START_PRICE
    while True:
        o = price
        c = round(o * (1.0 + (rnd() - 0.5) * 0.004), 2)
        h = round(max(o, c) * (1.0 + rnd() * 0.0015), 2)
        lo = round(min(o, c) * (1.0 - rnd() * 0.0015), 2)
        v = round(0.05 + rnd() * 24.0, 4)
        yield t, o, h, lo, c, v
        price = c
        t += STEP_MS


def candle_json(bar: tuple) -> str:
    """One bar as ``json.dumps`` writes the dict {"t","o","h","l","c","v"}."""
    t, o, h, lo, c, v = bar
    # json.dumps writes a finite float as its repr, an int in decimal.
    return f'{{"t": {t}, "o": {o!r}, "h": {h!r}, "l": {lo!r}, "c": {c!r}, "v": {v!r}}}'


def candles(n: int, seed: int = SEED) -> list[dict]:
    """The first ``n`` bars as dicts."""
    out = []
    for _, (t, o, h, lo, c, v) in zip(range(n), iter_candles(seed)):
        out.append({"t": t, "o": o, "h": h, "l": lo, "c": c, "v": v})
    return out


def inline_request(
    n_bytes: int,
    seed: int = SEED,
    target: dict | None = None,
    opt_level: str | None = "release",
) -> str:
    """The dry run with inline candles, padded to at least ``n_bytes`` of text.

    Equal to ``json.dumps`` of the request dict with the candles in it; bars
    are added until the text is at least ``n_bytes`` long (it overshoots by
    less than one bar).
    """
    req = compile_request(
        strategy(), target, opt_level, embed_data={"kind": "inline", "candles": []}
    )
    text = json.dumps(req)
    head, tail = text.split(_PLACEHOLDER)
    budget = n_bytes - len(head) - len(tail) - len(_PLACEHOLDER)
    parts = []
    size = 0
    for bar in iter_candles(seed):
        if size >= budget:
            break
        s = candle_json(bar)
        size += len(s) + (2 if parts else 0)
        parts.append(s)
    return head + '"candles": [' + ", ".join(parts) + "]" + tail


def csv_lines(n_bytes: int, seed: int = SEED) -> Iterator[str]:
    """The CSV dataset's lines (header first), about ``n_bytes`` in all."""
    header = "t,o,h,l,c,v\n"
    yield header
    size = len(header)
    for t, o, h, lo, c, v in iter_candles(seed):
        if size >= n_bytes:
            return
        line = f"{t},{o!r},{h!r},{lo!r},{c!r},{v!r}\n"
        size += len(line)
        yield line


def write_csv(path: str | os.PathLike, n_bytes: int, seed: int = SEED) -> int:
    """Writes the CSV dataset to ``path``; returns its size in bytes."""
    chunk: list[str] = []
    with open(path, "w", encoding="ascii", newline="") as f:
        for line in csv_lines(n_bytes, seed):
            chunk.append(line)
            if len(chunk) >= 65536:
                f.write("".join(chunk))
                chunk.clear()
        f.write("".join(chunk))
    return os.path.getsize(path)


def csv_request(
    path: str | os.PathLike,
    target: dict | None = None,
    opt_level: str | None = "release",
) -> str:
    """The dry run that embeds the CSV file at ``path``."""
    if target is None:
        target = {"kind": "no_std", "mcu": "thumbv7em-none-eabihf"}
    req = compile_request(
        strategy(), target, opt_level, embed_data={"kind": "csv", "path": os.fspath(path)}
    )
    return json.dumps(req)


def write_blob(path: str | os.PathLike, n_bytes: int, seed: int = SEED) -> int:
    """Writes ``n_bytes`` of pseudo-random bytes to ``path`` (for artifact_bytes)."""
    rng = random.Random(seed)
    block = rng.randbytes(1 << 20)
    written = 0
    with open(path, "wb") as f:
        i = 0
        while written < n_bytes:
            # Vary each block so the file is not one repeated MiB.
            piece = i.to_bytes(8, "little") + block[8:]
            piece = piece[: n_bytes - written]
            f.write(piece)
            written += len(piece)
            i += 1
    return written


class Scratch:
    """A temporary directory for workload files; removed when the block ends."""

    def __init__(self, keep: bool = False, parent: str | None = None):
        self.keep = keep
        self.path = Path(tempfile.mkdtemp(prefix="orvane-bench-", dir=parent))

    def __enter__(self) -> "Scratch":
        return self

    def __exit__(self, *exc) -> None:
        self.cleanup()

    def file(self, name: str) -> Path:
        return self.path / name

    def cleanup(self) -> None:
        if not self.keep:
            shutil.rmtree(self.path, ignore_errors=True)


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--out", required=True, help="directory to write the workloads into")
    ap.add_argument(
        "--sizes", default="1,10", help="inline request sizes in MB, comma separated (default 1,10)"
    )
    ap.add_argument("--csv", default="10", help="CSV sizes in MB, comma separated (default 10)")
    args = ap.parse_args(argv)
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    (out / "small_request.json").write_text(small_request(), encoding="utf-8")
    (out / "strategy.json").write_text(json.dumps(strategy()), encoding="utf-8")
    for mb in filter(None, args.sizes.split(",")):
        (out / f"inline_{mb}mb.json").write_text(inline_request(int(mb) * MB), encoding="utf-8")
    for mb in filter(None, args.csv.split(",")):
        csv_path = out / f"candles_{mb}mb.csv"
        write_csv(csv_path, int(mb) * MB)
        (out / f"csv_{mb}mb.json").write_text(csv_request(csv_path.resolve()), encoding="utf-8")
    for p in sorted(out.iterdir()):
        print(f"{p.stat().st_size:>12}  {p}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
