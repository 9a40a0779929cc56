"""A farm through an S3 store, with the real cargo, offline: 8 strategies on a Dask LocalCluster of
2 worker processes, each in a working folder and a cargo home of its own, and a local S3 server.

    python bench/farm_store.py              # needs dask[distributed], fsspec, s3fs, moto[server],
                                            # cargo and librust-serde-json-dev

Prints, for a first run and a second run of the same 8 jobs: the wall time, how many were store
hits, and whether every artifact is at its reported path here with the digest its worker reported.
Goal: every artifact home with its worker's digest; the second run all store hits.
"""

from __future__ import annotations

import argparse
import hashlib
import os
import shutil
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from rebuild import REGISTRY, STRATEGY, offline_root  # noqa: E402


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--jobs", type=int, default=8)
    parser.add_argument("--opt-level", default="release")
    args = parser.parse_args()
    if not shutil.which("cargo") or not any(REGISTRY.glob("serde_json-*")):
        raise SystemExit("needs cargo on the PATH and librust-serde-json-dev")
    import fsspec
    from dask.distributed import Client, LocalCluster
    from moto.server import ThreadedMotoServer

    from orvane_compile import CompileResult, compile_many

    root = Path(tempfile.mkdtemp(prefix="orvane-farm-store-"))
    offline_root(root)
    os.chdir(root)
    server = ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
    server.start()
    host, port = server.get_host_and_port()
    os.environ.update(AWS_ENDPOINT_URL=f"http://{host}:{port}", AWS_ACCESS_KEY_ID="bench",
                      AWS_SECRET_ACCESS_KEY="bench", AWS_DEFAULT_REGION="us-east-1")
    fsspec.filesystem("s3").mkdir("farm")
    cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)
    client = Client(cluster)
    ok = True
    try:
        def own_folder(base: str = str(root)) -> None:
            folder = os.path.join(base, f"worker-{os.getpid()}")
            os.makedirs(folder, exist_ok=True)
            os.chdir(folder)
            os.environ["CARGO_HOME"] = os.path.join(folder, "cargo-home")

        client.run(own_folder)
        jobs = [{"strategy": {**STRATEGY, "name": f"farm {n}"}, "target": "binary", "opt_level": args.opt_level,
                 "crate_name": f"farm_{n}", "out_dir": "out", "store": "s3://farm/artifacts"}
                for n in range(args.jobs)]
        for run in (1, 2):
            shutil.rmtree(root / "out", ignore_errors=True)
            start = time.perf_counter()
            results = compile_many(jobs, executor=client.get_executor())
            seconds = time.perf_counter() - start
            built = [r for r in results if isinstance(r, CompileResult)]
            home = sum(1 for r in built
                       if r.path and hashlib.sha256((root / r.path).read_bytes()).hexdigest() == r.artifact_sha256)
            hits = sum(1 for r in built if r.store_hit)
            print(f"run {run}: {seconds:6.1f} s   {len(built)}/{len(jobs)} built, {hits} store hits, "
                  f"{home} home with their worker's digest")
            ok = ok and home == len(jobs) and (run == 1 or hits == len(jobs))
            for r in results:
                if not isinstance(r, CompileResult):
                    print("  ", r)
    finally:
        client.close()
        cluster.close()
        server.stop()
        shutil.rmtree(root, ignore_errors=True)
    print("PASS" if ok else "FAIL")
    return 0 if ok else 1


if __name__ == "__main__":
    raise SystemExit(main())
