"""A tool's output passed on with ``echo``: seconds and memory per size of output without a newline.

A stand-in cargo writes N MB of one endless line to its standard error (and
then the artifact); the build's echo goes to /dev/null. The echo keeps at most
a piece of a line, so time grows with the output and memory does not
(goal: 200 MB in about a second, with RSS growing by far less than the output).

    python bench/echo_stream.py [--sizes 50 100 200 400]
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import tempfile
import time
from pathlib import Path

from orvane_compile import Compiler

CARGO = """#!/bin/sh
head -c {size} /dev/zero | tr '\\0' x >&2
mkdir -p target/debug && : > target/debug/echo_bench
"""


def request(out_dir: Path) -> str:
    spec = {"strategy": json.loads((Path(__file__).parent / "strategy.json").read_text()), "target": {"kind": "binary"},
            "crate_name": "echo_bench", "opt_level": "debug"}
    return json.dumps({"cmd": "compile", "spec": spec, "out_dir": str(out_dir)})


def run(size_mb: int, root: Path) -> tuple[float, float]:
    bin_dir = root / f"bin-{size_mb}"
    bin_dir.mkdir()
    cargo = bin_dir / "cargo"
    cargo.write_text(CARGO.format(size=size_mb * 1024 * 1024))
    cargo.chmod(0o755)
    old_path = os.environ["PATH"]
    os.environ["PATH"] = f"{bin_dir}:/usr/bin:/bin"
    try:
        rss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        with open(os.devnull, "w") as sink:
            start = time.perf_counter()
            answer = json.loads(Compiler().diagnose(request(root / f"out-{size_mb}"), echo=sink)[0])
            elapsed = time.perf_counter() - start
        rss_after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    finally:
        os.environ["PATH"] = old_path
    assert answer.get("built"), answer
    return elapsed, (rss_after - rss_before) / 1024


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[50, 100, 200, 400])
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        root = Path(tmp)
        os.chmod(root, 0o755)
        for size in args.sizes:
            seconds, grown = run(size, root)
            print(f"{size:5} MB without a newline: {seconds:6.2f} s, peak RSS grew {grown:6.1f} MB")


if __name__ == "__main__":
    main()
