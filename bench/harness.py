"""Side-by-side timings of the extension and its two Python peers.

Runs the compile dry runs of bench/workloads.py through the extension
("ours") and the peers of bench/peers.py ("json", "orjson") in one process,
interleaved round by round (ours, json, orjson, ours, ...), and prints the
median time per call and the ratios. Also measured:

- SHA-256 (hashlib) over twice the bytes of the largest inline request, and
  over the largest CSV file once, as the floor the dry runs are held to;
- ``artifact_bytes`` on a large file against hashlib over the same bytes;
- two handles on two threads against one handle on one thread;
- the peak RSS of each large dry run, each in a fresh subprocess, above that
  of a subprocess that only reads the request into a str;
- the page faults (minor and major) of one call of each inline dry run.

With ``--busy`` another process spins on one core while the inline section
runs, as on a machine where only one core is free: the 100 MB goal against
the orjson peer is set for that case.

The goals at the end are printed as PASS or FAIL (SKIP when their workload
did not run). Every response is compared with the peers' before timing; a
difference is reported as MISMATCH and makes the exit status 1.

    python bench/harness.py            # everything (100 MB requests, 1 GB file)
    python bench/harness.py --quick    # no 100 MB workloads, a 128 MB file
    python bench/harness.py --only small,threads
    python bench/harness.py --only inline,rss --busy

The garbage collector is off while a sample is timed (as timeit does), for
every implementation alike.
"""

from __future__ import annotations

import argparse
import gc
import hashlib
import json
import os
import platform
import resource
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Callable

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import peers as peers_mod  # noqa: E402
import workloads as wl  # noqa: E402
from orvane_compile import Compiler  # noqa: E402

MB = wl.MB
GB = 1_000_000_000
SECTIONS = ("small", "inline", "csv", "artifact", "threads", "rss")

# Goals, as (key, text).
GOALS = {
    "small": "2 KB dry run >= 8x faster than the orjson peer",
    "inline_peer": "100 MB inline dry run >= 4x faster than the orjson peer, one core held busy",
    "inline_sha": "100 MB inline dry run <= 2.5x SHA-256 over twice the request bytes",
    "rss": "100 MB inline peak RSS above baseline <= 1.5x the request size",
    "csv_sha": "CSV 100 MB dry run <= 1.5x one SHA-256 over the file",
    "artifact": "artifact_bytes rate >= 80% of hashlib's rate on the same bytes",
    "threads": "two handles on two threads >= 1.7x the throughput of one",
}


# ---------------------------------------------------------------------------
# Formatting.


def fmt_time(s: float) -> str:
    if s < 1e-3:
        return f"{s * 1e6:.1f} us"
    if s < 1.0:
        return f"{s * 1e3:.2f} ms"
    return f"{s:.3f} s"


def fmt_bytes(n: float) -> str:
    if abs(n) >= GB:
        return f"{n / GB:.2f} GB"
    if abs(n) >= MB:
        return f"{n / MB:.1f} MB"
    return f"{n / 1e3:.1f} KB"


def say(*args) -> None:
    print(*args, flush=True)


# ---------------------------------------------------------------------------
# Timing.


def time_calls(fn: Callable[[], object], calls: int) -> float:
    """Seconds per call over ``calls`` calls, with the collector off."""
    gc.collect()
    gc.disable()
    try:
        t0 = time.perf_counter()
        for _ in range(calls):
            fn()
        t1 = time.perf_counter()
    finally:
        gc.enable()
    return (t1 - t0) / calls


def interleaved(
    fns: dict[str, Callable[[], object]], rounds: int, sample_s: float, estimate: dict[str, float]
) -> dict[str, float]:
    """Median seconds per call of each function, timed in turn, round by round.

    Each sample runs enough calls to last about ``sample_s`` (from the
    ``estimate`` of one call), at least one.
    """
    calls = {k: max(1, min(100_000, round(sample_s / max(estimate[k], 1e-9)))) for k in fns}
    samples: dict[str, list[float]] = {k: [] for k in fns}
    for _ in range(rounds):
        for k, fn in fns.items():
            samples[k].append(time_calls(fn, calls[k]))
    return {k: statistics.median(v) for k, v in samples.items()}


def faults_per_call(fn: Callable[[], object], calls: int = 3) -> float:
    """The median count of page faults (minor and major, every thread) of one call."""
    counts = []
    for _ in range(calls):
        before = resource.getrusage(resource.RUSAGE_SELF)
        fn()
        after = resource.getrusage(resource.RUSAGE_SELF)
        counts.append(after.ru_minflt - before.ru_minflt + after.ru_majflt - before.ru_majflt)
    return statistics.median(counts)


class BusyCore:
    """Another process spinning on one core while the block runs (nothing when ``on`` is false)."""

    def __init__(self, on: bool):
        self.on = on
        self.proc: subprocess.Popen | None = None

    def __enter__(self) -> "BusyCore":
        if self.on:
            self.proc = subprocess.Popen([sys.executable, "-c", "while 1: pass"])
            time.sleep(0.2)  # let it take its core
        return self

    def __exit__(self, *exc) -> None:
        if self.proc is not None:
            self.proc.kill()
            self.proc.wait()


def once(fn: Callable[[], object]) -> tuple[object, float]:
    t0 = time.perf_counter()
    out = fn()
    return out, time.perf_counter() - t0


# ---------------------------------------------------------------------------
# The harness.


class Harness:
    def __init__(self, args: argparse.Namespace, scratch: wl.Scratch):
        self.args = args
        self.quick = args.quick
        self.scratch = scratch
        self.compiler = Compiler()
        self.peers = peers_mod.peers(require_orjson=not args.no_orjson)
        self.results: dict[str, object] = {}
        self.goals: dict[str, tuple[str, float, float, bool, str]] = {}
        self.mismatches: list[str] = []
        self.rounds = args.rounds

    # --- helpers ---

    def impls(self, text: str) -> dict[str, Callable[[], str]]:
        fns: dict[str, Callable[[], str]] = {}
        cmd = self.compiler.command
        fns["ours"] = lambda: cmd(text)
        for p in self.peers:
            fns[p.name] = (lambda c: (lambda: c(text)))(p.command)
        return fns

    def check_and_estimate(self, label: str, fns: dict[str, Callable[[], str]]) -> dict[str, float]:
        """Runs each implementation once: the answers must agree; returns the times."""
        answers = {}
        estimate = {}
        for k, fn in fns.items():
            answers[k], estimate[k] = once(fn)
        ours = answers["ours"]
        if '"ok":false' in ours:
            self.mismatches.append(f"{label}: ours answered an error: {ours[:200]}")
        for k, a in answers.items():
            if a != ours:
                self.mismatches.append(f"{label}: {k} differs from ours")
                say(f"  MISMATCH {label}: {k}\n    ours:  {ours[:160]}\n    {k}: {str(a)[:160]}")
        return estimate

    def goal(self, key: str, value: float, limit: float, higher_is_better: bool, note: str = "") -> None:
        ok = value >= limit if higher_is_better else value <= limit
        self.goals[key] = (GOALS[key], value, limit, ok, note)

    def table_header(self, first: str) -> None:
        names = ["ours"] + [p.name for p in self.peers]
        cols = "".join(f"{n:>12}" for n in names)
        ratios = "".join(f"{n + '/ours':>14}" for n in names[1:])
        say(f"  {first:<24}{cols}{ratios}")

    def table_row(self, label: str, med: dict[str, float]) -> None:
        names = ["ours"] + [p.name for p in self.peers]
        cols = "".join(f"{fmt_time(med[n]):>12}" for n in names)
        ratios = "".join(f"{med[n] / med['ours']:>13.2f}x" for n in names[1:])
        say(f"  {label:<24}{cols}{ratios}")

    # --- sections ---

    def small(self) -> None:
        say("\n== 2 KB dry run (median per call, many calls per sample)")
        text = wl.small_request()
        fns = self.impls(text)
        est = self.check_and_estimate("2 KB", fns)
        # Warm up, then estimate again on a few calls.
        for k, fn in fns.items():
            est[k] = time_calls(fn, 50)
        med = interleaved(fns, self.rounds_for(15), 0.05 if self.quick else 0.1, est)
        self.table_header(f"request {fmt_bytes(len(text))}")
        self.table_row("2 KB strategy", med)
        self.results["small"] = med
        if "orjson" in med:
            self.goal("small", med["orjson"] / med["ours"], 8.0, True, "orjson/ours")

    def inline(self) -> None:
        busy = self.args.busy
        say("\n== inline candles dry run (median per call)"
            + (", another process holding one core" if busy else ""))
        sizes = [1, 10] if self.quick else [1, 10, 100]
        self.table_header("request")
        with BusyCore(busy):
            self._inline(sizes, busy)

    def _inline(self, sizes: list[int], busy: bool) -> None:
        for mb in sizes:
            text = wl.inline_request(mb * MB)
            data = text.encode()
            fns = self.impls(text)
            label = f"inline {mb} MB"
            est = self.check_and_estimate(label, fns)

            def sha_twice(data=data):
                h = hashlib.sha256()
                h.update(data)
                h.update(data)
                return h.hexdigest()

            fns["sha256x2"] = sha_twice
            _, est["sha256x2"] = once(sha_twice)
            rounds = self.rounds_for(9 if mb == 1 else 5 if mb == 10 else 3)
            med = interleaved(fns, rounds, 0.2 if mb == 1 else 0.0, est)
            self.table_row(label, med)
            faults = faults_per_call(fns["ours"])
            say(
                f"  {'':<24}sha256 over 2x request: {fmt_time(med['sha256x2'])}"
                f"   ours/that = {med['ours'] / med['sha256x2']:.2f}"
                f"   ours rate = {len(data) / med['ours'] / MB:.0f} MB/s"
            )
            say(f"  {'':<24}page faults per call of ours: {faults:.0f}")
            self.results[label] = dict(med, ours_faults_per_call=faults)
            largest = mb == sizes[-1]
            if largest:
                note = "" if mb == 100 else f"measured at {mb} MB (quick)"
                if "orjson" in med:
                    peer_note = note if busy else "; ".join(
                        x for x in (note, "no core held busy: run with --busy") if x)
                    self.goal("inline_peer", med["orjson"] / med["ours"], 4.0, True, peer_note)
                self.goal("inline_sha", med["ours"] / med["sha256x2"], 2.5, False, note)
            del fns, text, data

    def csv(self) -> None:
        say("\n== CSV dataset dry run (median per call)")
        sizes = [10] if self.quick else [10, 100]
        self.table_header("file")
        for mb in sizes:
            path = self.scratch.file(f"candles_{mb}mb.csv")
            if not path.exists():
                wl.write_csv(path, mb * MB)
            data = path.read_bytes()
            text = wl.csv_request(path)
            fns = self.impls(text)
            label = f"csv {mb} MB"
            est = self.check_and_estimate(label, fns)

            def sha_once(data=data):
                return hashlib.sha256(data).hexdigest()

            fns["sha256"] = sha_once
            _, est["sha256"] = once(sha_once)
            med = interleaved(fns, self.rounds_for(7 if mb == 10 else 5), 0.0, est)
            self.table_row(label, med)
            say(
                f"  {'':<24}sha256 over the file (in memory): {fmt_time(med['sha256'])}"
                f"   ours/that = {med['ours'] / med['sha256']:.2f}"
            )
            self.results[label] = med
            if mb == sizes[-1]:
                note = "" if mb == 100 else f"measured at {mb} MB (quick)"
                self.goal("csv_sha", med["ours"] / med["sha256"], 1.5, False, note)

    def artifact(self) -> None:
        size = 128 * 2**20 if self.quick else GB
        say(f"\n== artifact_bytes of a {fmt_bytes(size)} file (median per call)")
        path = self.scratch.file("artifact.bin")
        wl.write_blob(path, size)
        data = path.read_bytes()
        want = hashlib.sha256(data).hexdigest()
        cmd = self.compiler.command
        request = json.dumps({"cmd": "artifact_bytes", "path": str(path)})
        answer = json.loads(cmd(request))
        cmd('{"cmd":"reset"}')
        if answer.get("sha256") != want or answer.get("len") != size:
            self.mismatches.append(f"artifact_bytes: {answer} != sha256 {want}, len {size}")
        samples: dict[str, list[float]] = {"ours": [], "hashlib": [], "read+hashlib": []}

        def read_and_hash():
            with open(path, "rb") as f:
                return hashlib.sha256(f.read()).hexdigest()

        for _ in range(self.rounds_for(5)):
            samples["ours"].append(time_calls(lambda: cmd(request), 1))
            cmd('{"cmd":"reset"}')  # drops the cached bytes, outside the timing
            samples["hashlib"].append(time_calls(lambda: hashlib.sha256(data).hexdigest(), 1))
            samples["read+hashlib"].append(time_calls(read_and_hash, 1))
        med = {k: statistics.median(v) for k, v in samples.items()}
        for k, t in med.items():
            say(f"  {k:<24}{fmt_time(t):>12}   {size / t / MB:8.0f} MB/s")
        ratio = med["hashlib"] / med["ours"]
        say(f"  {'':<24}ours rate / hashlib rate = {ratio:.2f}")
        self.results["artifact"] = med
        note = "" if size == GB else "measured on 128 MiB (quick)"
        self.goal("artifact", ratio, 0.8, True, note)
        del data
        path.unlink()

    def threads(self) -> None:
        say("\n== threads: 2 KB dry runs, one handle per thread (throughput)")
        text = wl.small_request()
        calls = 400 if self.quick else 2000

        def run(nthreads: int) -> float:
            start = threading.Barrier(nthreads + 1)

            def worker():
                c = Compiler()  # a handle belongs to the thread that made it
                cmd = c.command
                cmd(text)
                start.wait()
                for _ in range(calls):
                    cmd(text)

            ts = [threading.Thread(target=worker) for _ in range(nthreads)]
            for t in ts:
                t.start()
            gc.disable()
            try:
                start.wait()
                t0 = time.perf_counter()
                for t in ts:
                    t.join()
                elapsed = time.perf_counter() - t0
            finally:
                gc.enable()
            return nthreads * calls / elapsed

        one: list[float] = []
        two: list[float] = []
        for _ in range(self.rounds_for(7)):
            one.append(run(1))
            two.append(run(2))
        r1, r2 = statistics.median(one), statistics.median(two)
        say(f"  one thread   {r1:10.0f} calls/s")
        say(f"  two threads  {r2:10.0f} calls/s   ratio {r2 / r1:.2f}   (cpus: {os.cpu_count()})")
        self.results["threads"] = {"one": r1, "two": r2}
        self.goal("threads", r2 / r1, 1.7, True)

    def rss(self) -> None:
        say("\n== peak RSS above baseline (fresh subprocess per run)")
        names = ["ours"] + [p.name for p in self.peers]
        inline_sizes = [1, 10] if self.quick else [1, 10, 100]
        csv_sizes = [10] if self.quick else [10, 100]
        jobs: list[tuple[str, Path, int, bool]] = []  # label, request, input size, goal
        for mb in inline_sizes:
            path = self.scratch.file(f"inline_{mb}mb.json")
            if not path.exists():
                path.write_text(wl.inline_request(mb * MB), encoding="utf-8")
            jobs.append((f"inline {mb} MB", path, path.stat().st_size, mb == inline_sizes[-1]))
        for mb in csv_sizes:
            csv_path = self.scratch.file(f"candles_{mb}mb.csv")
            if not csv_path.exists():
                wl.write_csv(csv_path, mb * MB)
            path = self.scratch.file(f"csv_{mb}mb.json")
            path.write_text(wl.csv_request(csv_path), encoding="utf-8")
            jobs.append((f"csv {mb} MB", path, csv_path.stat().st_size, False))
        say(f"  {'workload':<18}{'input':>10}" + "".join(f"{n:>22}" for n in names))
        for label, path, input_bytes, is_goal in jobs:
            cells = []
            for name in names:
                base = rss_probe(name, path, run=False)
                peak = rss_probe(name, path, run=True)
                if not peak["ok"]:
                    self.mismatches.append(f"rss {label}: {name} answered an error")
                extra = (peak["peak_kb"] - base["peak_kb"]) * 1024
                ratio = extra / input_bytes
                cells.append(f"{fmt_bytes(extra):>12} {ratio:5.2f}x  ")
                self.results[f"rss {label} {name}"] = {"extra_bytes": extra, "ratio": ratio}
                if name == "ours" and is_goal:
                    mb = inline_sizes[-1]
                    note = "" if mb == 100 else f"measured at {mb} MB (quick)"
                    if not peak["reset"]:
                        note = (note + "; " if note else "") + "peak not reset after reading"
                    self.goal("rss", ratio, 1.5, False, note)
            say(f"  {label:<18}{fmt_bytes(input_bytes):>10}" + "".join(f"{c:>22}" for c in cells))
        say("  (ratio: extra peak RSS over the input: the request for inline, the file for CSV)")

    # --- driver ---

    def rounds_for(self, n: int) -> int:
        if self.rounds:
            return self.rounds
        return max(3, n // 2) if self.quick else n

    def run(self, sections: list[str]) -> int:
        say("orvane-compile benchmark harness" + (" (quick)" if self.quick else ""))
        say(
            f"python {platform.python_version()}, {os.cpu_count()} cpus, load "
            + " ".join(f"{x:.2f}" for x in os.getloadavg())
            + f", peers: {', '.join(p.name for p in self.peers)}"
        )
        for s in sections:
            getattr(self, s)()
        say("\n== goals")
        for key in GOALS:
            if key not in self.goals:
                say(f"  SKIP  {GOALS[key]}")
                continue
            text, value, limit, ok, note = self.goals[key]
            rel = ">=" if key in ("small", "inline_peer", "artifact", "threads") else "<="
            say(
                f"  {'PASS' if ok else 'FAIL'}  {text}: {value:.2f} ({rel} {limit})"
                + (f"  [{note}]" if note else "")
            )
        if self.mismatches:
            say("\n== MISMATCHES")
            for m in self.mismatches:
                say("  " + m)
        if self.args.json:
            out = {
                "quick": self.quick,
                "results": self.results,
                "goals": {k: {"value": v[1], "limit": v[2], "pass": v[3], "note": v[4]}
                          for k, v in self.goals.items()},
                "mismatches": self.mismatches,
            }
            Path(self.args.json).write_text(json.dumps(out, indent=2))
        if self.mismatches:
            return 1
        if self.args.strict and not all(g[3] for g in self.goals.values()):
            return 1
        return 0


# ---------------------------------------------------------------------------
# Peak RSS in a child process.


def rss_probe(name: str, path: Path, run: bool) -> dict:
    """Runs this script as a child that reads ``path`` and, if ``run``, answers it."""
    cmd = [sys.executable, str(Path(__file__).resolve()), "--rss-child", name, str(path)]
    if run:
        cmd.append("--rss-run")
    out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def _reset_peak() -> bool:
    """Resets the process's peak RSS to its current RSS (Linux); False if not possible."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def _peak_kb() -> int:
    """The process's peak RSS in KiB.

    VmHWM where /proc has it: ``ru_maxrss`` also keeps the high-water mark of
    the address space that exec replaced (the parent's, when the child was
    started by vfork), which would hide the child's own peak.
    """
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def rss_child(name: str, path: str, run: bool) -> int:
    with open(path, encoding="utf-8") as f:
        text = f.read()
    if name == "ours":
        fn = Compiler().command
    else:
        fn = {p.name: p for p in peers_mod.peers()}[name].command
    # Reading held the file's bytes and the str at once; only what the command
    # itself adds on top of the str is wanted.
    gc.collect()
    reset = _reset_peak()
    ok = True
    if run:
        ok = '"ok":false' not in fn(text)
    print(json.dumps({"peak_kb": _peak_kb(), "reset": reset, "ok": ok}))
    return 0


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(
        description="Benchmarks the extension against its Python peers.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    ap.add_argument("--quick", action="store_true", help="skip the 100 MB and 1 GB workloads")
    ap.add_argument("--only", default="", help=f"comma-separated sections of: {','.join(SECTIONS)}")
    ap.add_argument("--rounds", type=int, default=0, help="rounds per measurement (default: per section)")
    ap.add_argument("--scratch", default=None, help="parent directory for the temporary files")
    ap.add_argument("--keep", action="store_true", help="keep the temporary files")
    ap.add_argument("--json", default=None, help="also write the results to this JSON file")
    ap.add_argument("--strict", action="store_true", help="exit 1 when a goal fails")
    ap.add_argument("--no-orjson", action="store_true", help="run without the orjson peer")
    ap.add_argument("--busy", action="store_true",
                    help="another process spins on one core while the inline section runs")
    ap.add_argument("--rss-child", nargs=2, metavar=("IMPL", "PATH"), help=argparse.SUPPRESS)
    ap.add_argument("--rss-run", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.rss_child:
        return rss_child(args.rss_child[0], args.rss_child[1], args.rss_run)
    sections = [s for s in args.only.split(",") if s] or list(SECTIONS)
    unknown = set(sections) - set(SECTIONS)
    if unknown:
        ap.error(f"unknown sections: {', '.join(sorted(unknown))}")
    with wl.Scratch(keep=args.keep, parent=args.scratch) as scratch:
        if args.keep:
            say(f"scratch: {scratch.path}")
        return Harness(args, scratch).run(sections)


if __name__ == "__main__":
    raise SystemExit(main())
