"""Builds with the real cargo, offline: cold, no-op, and a new strategy with a warm cache.

Dependencies come from Debian's packaged crate sources (librust-serde-json-dev
puts them in /usr/share/cargo/registry) and orvane-backtest from a stand-in
made here, both served through a .cargo/config.toml in a parent folder of the
output directories (see bench/rebuild.py, which this extends).

    python bench/builds.py [--levels debug release] [--batch 8]

Per level, in one run:
- cold: a new strategy into a new folder, no cache;
- no-op: the identical request again;
- warm cache: a second new strategy into a new folder, with a cache that one
  build has filled (goals: at most 0.35 of cold in debug, 0.7 in release);
- store hit: a strategy another folder built into an artifact store, into a
  new folder with that store (goal: at most 0.02 of cold);
and batches of new strategies, each job into its own folder, sharing a cache,
first empty and then warm: one at a time, two at a time on the default executor
(which shares the cores among the cargos), and through Dask's executor on two
worker processes when dask.distributed is installed.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import tempfile
import time
from pathlib import Path
from typing import Any

import orvane_compile
from orvane_compile import compile

from rebuild import REGISTRY, STRATEGY, offline_root

GOALS = {"debug": 0.35, "release": 0.7}
STORE_GOAL = 0.02


def strategy(n: int) -> dict[str, Any]:
    return {**STRATEGY, "name": f"bench strategy {n}"}


def timed(**kwargs: Any) -> float:
    start = time.perf_counter()
    result = compile(target="binary", crate_name="bench_strat", **kwargs)
    elapsed = time.perf_counter() - start
    assert result.built and result.path and Path(result.path).is_file(), result
    return elapsed


def single_builds(root: Path, level: str) -> None:
    cache = root / f"cache-{level}"
    cold = timed(strategy=strategy(1), opt_level=level, out_dir=root / f"cold-{level}")
    noop = timed(strategy=strategy(1), opt_level=level, out_dir=root / f"cold-{level}")
    timed(strategy=strategy(2), opt_level=level, out_dir=root / f"fill-{level}", cache_dir=cache)
    warm = timed(strategy=strategy(3), opt_level=level, out_dir=root / f"warm-{level}", cache_dir=cache)
    ratio = warm / cold
    print(f"{level:8} cold {cold:6.2f} s   no-op {noop:6.3f} s ({noop / cold:.3f})   "
          f"warm cache {warm:6.2f} s ({ratio:.2f}, goal <= {GOALS[level]}: "
          f"{'PASS' if ratio <= GOALS[level] else 'FAIL'})")
    store = root / f"store-{level}"
    stored = timed(strategy=strategy(4), opt_level=level, out_dir=root / f"store-miss-{level}", store=store)
    hit = timed(strategy=strategy(4), opt_level=level, out_dir=root / f"store-hit-{level}", store=store)
    print(f"{level:8} store miss {stored:6.2f} s   store hit {hit:6.3f} s ({hit / cold:.3f}, goal <= {STORE_GOAL}: "
          f"{'PASS' if hit / cold <= STORE_GOAL else 'FAIL'})")


def batches(root: Path, level: str, size: int) -> None:
    many = getattr(orvane_compile, "compile_many", None)
    if many is None:
        print("batch: compile_many is not in this version")
        return

    def jobs(tag: str, first: int) -> list[dict[str, Any]]:
        return [{"strategy": strategy(first + n), "target": "binary", "opt_level": level,
                 "crate_name": f"batch_{n}", "out_dir": str(root / f"batch-{tag}-{first}-{level}"),
                 "cache_dir": str(root / f"batch-cache-{tag}-{level}")} for n in range(size)]

    def run(tag: str, **kwargs: Any) -> None:
        # A batch into an empty cache, then a batch of other strategies into the warm one.
        times = []
        for first in (100, 200):
            start = time.perf_counter()
            results = many(jobs(tag, first), **kwargs)
            times.append(time.perf_counter() - start)
            failed = [r for r in results if isinstance(r, Exception)]
            assert not failed, failed[0]
        print(f"{level:8} batch of {size}, {tag:26} empty cache {times[0]:6.2f} s   warm cache {times[1]:6.2f} s")

    from concurrent.futures import ThreadPoolExecutor
    with ThreadPoolExecutor(1) as pool:
        run("1 job", executor=pool)
    run("2 jobs (default executor)")
    try:
        from dask.distributed import Client, LocalCluster
    except ImportError:
        print("batch through Dask: dask.distributed is not installed")
        return
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        run("dask, 2 worker processes", executor=client.get_executor())


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--levels", nargs="+", default=["debug", "release"])
    parser.add_argument("--batch", type=int, default=8)
    args = parser.parse_args()
    if not shutil.which("cargo") or not any(REGISTRY.glob("serde_json-*")):
        raise SystemExit("needs cargo on the PATH and librust-serde-json-dev")
    print(f"sccache on the PATH: {shutil.which('sccache') or 'no'}; ORVANE_CACHE_DIR: "
          f"{os.environ.get('ORVANE_CACHE_DIR', 'unset')}")
    os.environ.pop("ORVANE_CACHE_DIR", None)
    os.environ.pop("ORVANE_STORE", None)
    with tempfile.TemporaryDirectory(prefix="orvane-builds-") as tmp:
        root = Path(tmp)
        offline_root(root)
        for level in args.levels:
            single_builds(root, level)
        for level in args.levels:
            batches(root, level, args.batch)


if __name__ == "__main__":
    main()
