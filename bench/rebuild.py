"""Cold build against the identical request again, with the real cargo, offline.

Dependencies come from Debian's packaged crate sources (librust-serde-json-dev
puts them in /usr/share/cargo/registry) and orvane-backtest from a stand-in
made here, both served through a .cargo/config.toml in a parent folder of the
output directory. Each level gets a fresh folder for its cold build; the
identical request is then sent again, and should find every file already right
and leave cargo nothing to do.

    python bench/rebuild.py [--levels debug release] [--repeat 3]

Prints the times and the ratio rebuild / cold per level. Goal: at most 0.1.
"""

from __future__ import annotations

import argparse
import json
import shutil
import statistics
import tempfile
import time
from pathlib import Path

from orvane_compile import compile

REGISTRY = Path("/usr/share/cargo/registry")
STRATEGY = json.loads((Path(__file__).parent / "strategy.json").read_text())


def offline_root(root: Path) -> None:
    (root / ".cargo").mkdir(parents=True)
    (root / ".cargo/config.toml").write_text(
        f'[source.crates-io]\nreplace-with = "packaged"\n\n[source.packaged]\ndirectory = "{REGISTRY}"\n\n'
        f'[patch.crates-io]\norvane-backtest = {{ path = "{root / "backtest"}" }}\n\n[net]\noffline = true\n')
    (root / "backtest/src").mkdir(parents=True)
    (root / "backtest/Cargo.toml").write_text(
        '[package]\nname = "orvane-backtest"\nversion = "0.1.5"\nedition = "2021"\n\n[workspace]\n')
    (root / "backtest/src/lib.rs").write_text("")


def timed(**kwargs) -> float:
    start = time.perf_counter()
    result = compile(STRATEGY, target="binary", **kwargs)
    elapsed = time.perf_counter() - start
    assert result.built and result.path and Path(result.path).is_file()
    return elapsed


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--levels", nargs="+", default=["debug", "release"])
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    if not shutil.which("cargo") or not any(REGISTRY.glob("serde_json-*")):
        raise SystemExit("needs cargo on the PATH and librust-serde-json-dev")
    with tempfile.TemporaryDirectory(prefix="orvane-rebuild-") as tmp:
        root = Path(tmp)
        offline_root(root)
        for level in args.levels:
            cold, again = [], []
            for i in range(args.repeat):
                out = root / f"out-{level}-{i}"
                cold.append(timed(opt_level=level, out_dir=out, crate_name="bench_strat"))
                again.append(timed(opt_level=level, out_dir=out, crate_name="bench_strat"))
            c, a = statistics.median(cold), statistics.median(again)
            print(f"{level:8} cold {c:7.2f} s (runs {', '.join(f'{x:.2f}' for x in cold)})   "
                  f"identical again {a:6.3f} s (runs {', '.join(f'{x:.3f}' for x in again)})   "
                  f"ratio {a / c:.3f}  {'PASS' if a / c <= 0.1 else 'FAIL'} (goal <= 0.1)")


if __name__ == "__main__":
    main()
