"""The artifact store (``build.store``): a build it holds is a copy, with the stand-in tool chain."""

import hashlib
import json
import os

import pytest

from orvane_compile import CompileError, Compiler, compile

from _requests import MIN_STRATEGY
from _toolchain import CARGO_BUILD, CARGO_VERSION, HOST, LOCK, RUSTC_VERSION, cargo_calls, tool_chain, use_tool_chain

STRATEGY = json.loads(MIN_STRATEGY)
# The stand-in's artifacts say what they are, so a copy can be told from a corrupt one.
CARGO = CARGO_BUILD + 'echo "built $crate $profile" > "$artifact"\n'
FLAG_VARIABLES = ("CARGO_BUILD_RUSTFLAGS", "CARGO_ENCODED_RUSTFLAGS", "RUSTFLAGS")


@pytest.fixture
def stand_in(tmp_path, monkeypatch):
    use_tool_chain(monkeypatch, tool_chain(tmp_path, cargo=CARGO))
    for name in ("ORVANE_STORE", *FLAG_VARIABLES):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.chdir(tmp_path)
    return tmp_path


def request(out_dir, store, opt_level="release"):
    return json.dumps({"cmd": "compile", "out_dir": out_dir, "build": {"store": store},
                       "spec": {"target": {"kind": "binary"}, "opt_level": opt_level, "crate_name": "stored",
                                "strategy": STRATEGY}})


def entries(store):
    return sorted(str(p.relative_to(store)) for p in store.glob("*/*"))


# One store, builds one after another: what cargo is asked, what the artifact holds, and how many
# entries the store has after each.
STEPS = [
    # (out_dir, opt_level, RUSTFLAGS, corrupt the stored artifacts first, cargo's calls, artifact, entries)
    ("a", "release", None, False, ["generate-lockfile", "build --release"], "built stored release\n", 1),
    ("b", "release", None, False, ["generate-lockfile"], "built stored release\n", 1),
    ("c", "release", None, True, ["generate-lockfile", "build --release"], "built stored release\n", 1),
    ("d", "release", None, False, ["generate-lockfile"], "built stored release\n", 1),
    ("e", "debug", None, False, ["generate-lockfile", "build"], "built stored debug\n", 2),
    ("f", "release", "-C target-cpu=native", False, ["generate-lockfile", "build --release"],
     "built stored release\n", 3),
    ("g", "release", "-C target-cpu=native", False, ["generate-lockfile"], "built stored release\n", 3),
    ("h", "release", "", False, ["generate-lockfile", "build --release"], "built stored release\n", 4),
]


@pytest.fixture(scope="module")
def s3_server():
    """A local S3 server on 127.0.0.1 for the test's own bucket, stopped at the end."""
    try:
        import fsspec  # noqa: F401
        import s3fs  # noqa: F401
        from moto.server import ThreadedMotoServer
    except ImportError:
        if os.environ.get("ORVANE_REQUIRE_FARM"):
            pytest.fail("the S3 store's test needs fsspec, s3fs and moto[server]")
        pytest.skip("needs fsspec, s3fs and moto[server]")
    server = ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
    server.start()
    try:
        host, port = server.get_host_and_port()
        yield f"http://{host}:{port}"
    finally:
        server.stop()


@pytest.fixture(params=["folder", "s3"])
def store(request, stand_in, monkeypatch):
    """(the store's URL, its stored artifacts as (read, write) pairs) for each kind of store."""
    if request.param == "folder":
        root = stand_in / "store"
        return str(root), lambda: [(p.read_bytes, p.write_bytes) for p in root.glob("*/*/artifact")]
    endpoint = request.getfixturevalue("s3_server")
    for name, value in (("AWS_ENDPOINT_URL", endpoint), ("AWS_ACCESS_KEY_ID", "test"),
                        ("AWS_SECRET_ACCESS_KEY", "test"), ("AWS_DEFAULT_REGION", "us-east-1")):
        monkeypatch.setenv(name, value)
    import fsspec

    fs = fsspec.filesystem("s3", skip_instance_cache=True)
    bucket = f"builds-{os.getpid()}-{len(fs.ls(''))}"
    fs.mkdir(bucket)

    def stored():
        fs.invalidate_cache()
        return [(lambda k=k: fs.cat_file(k), lambda data, k=k: fs.pipe_file(k, data))
                for k in fs.glob(f"{bucket}/p/*/*/artifact")]

    return f"s3://{bucket}/p", stored


def test_a_build_the_store_holds_is_a_copy(stand_in, monkeypatch, store):
    url, stored, first = *store, {}
    for out_dir, opt_level, flags, corrupt, calls, artifact, count in STEPS:
        monkeypatch.setenv("RUSTFLAGS", flags) if flags is not None else monkeypatch.delenv("RUSTFLAGS", raising=False)
        for _, write in stored() if corrupt else ():
            write(b"tampered\n")
        (stand_in / "cargo.log").unlink(missing_ok=True)
        answer = Compiler().command(request(out_dir, url, opt_level))
        path = f"{out_dir}/stored/target/{opt_level}/stored"
        assert (out_dir, cargo_calls(stand_in), (stand_in / path).read_text(), len(stored())) == (
            out_dir, calls, artifact, count)
        # The same answer as a build's, but for the path, and how the store served it.
        parsed = json.loads(answer)
        store_use = parsed.pop("store")
        assert (parsed.pop("path"), store_use["hit"], len(store_use["key"])) == (path, not calls[-1].startswith("build"), 64)
        assert parsed == first.setdefault(opt_level, parsed)


def test_the_record_holds_the_key_and_its_parts(stand_in):
    store = stand_in / "store"
    answer = json.loads(Compiler().command(request("out", f"file://{store}")))
    [entry] = entries(store)
    record = json.loads((store / entry / "record.json").read_text())
    artifact = (store / entry / "artifact").read_bytes()
    parts = {
        "cargo": CARGO_VERSION + "\n",
        "lock": hashlib.sha256(LOCK.encode()).hexdigest(),
        "opt_level": "release",
        "project_hash": answer["manifest"]["project_hash"],
        "remap": "orvane-remap-1",
        "rustc": f"{RUSTC_VERSION}\nbinary: rustc\nhost: {HOST}\nrelease: 1.80.0\n",
        "rustflags": dict.fromkeys(FLAG_VARIABLES),
        "target": {"kind": "binary"},
        "wasm_bindgen": None,
    }
    key = hashlib.sha256(json.dumps(parts, sort_keys=True, separators=(",", ":")).encode()).hexdigest()
    assert entry == f"{key[:2]}/{key}"
    assert {k: v for k, v in record.items() if k != "build_seconds"} == {
        "key": key, "parts": parts, "sha256": hashlib.sha256(artifact).hexdigest(), "size": len(artifact)}
    assert artifact == b"built stored release\n" and record["build_seconds"] >= 0


STORE_FAULTS = [
    # (store, how the folder is made, the answer's error)
    ("nosuch://bucket/builds", None, "io: store nosuch://bucket/builds: {unknown}"),
    ("file://host/builds", None, 'io: the store "file://host/builds" names another host: a file:// URL names a '
                                 "folder on this machine (file:///path)"),
    ("open", 0o777, "io: refusing to write into {here}/open: users other than its owner may write to it (mode 0777)"),
]


@pytest.mark.parametrize(("store", "mode", "error"), STORE_FAULTS)
def test_a_store_that_cannot_be_used_is_refused(stand_in, store, mode, error):
    if mode is not None:
        (stand_in / store).mkdir(mode=mode)
        os.chmod(stand_in / store, mode)
    answer = Compiler().command(request("out", store))
    try:
        import fsspec  # noqa: F401
        unknown = "Protocol not known: nosuch"
    except ImportError:
        unknown = "this store needs fsspec (and s3fs for s3://): pip install 'orvane-compile[store]'"
    assert json.loads(answer) == {"ok": False, "error": error.format(here=stand_in, unknown=unknown)}
    assert cargo_calls(stand_in) is None and not (stand_in / "out").exists()
    # Placed at the request's member.
    with pytest.raises(CompileError) as caught:
        compile(STRATEGY, target="binary", crate_name="stored", out_dir="out", store=store)
    assert [(d.path, d.message) for d in caught.value.diagnostics][0][0] == "build.store"


def test_the_store_comes_from_the_environment(stand_in, monkeypatch):
    monkeypatch.setenv("ORVANE_STORE", str(stand_in / "env-store"))
    paths = [compile(STRATEGY, target="binary", crate_name="stored", out_dir=d).path for d in "ab"]
    assert cargo_calls(stand_in) == ["generate-lockfile", "build --release", "generate-lockfile"]
    assert (paths[1], len(entries(stand_in / "env-store"))) == ("b/stored/target/release/stored", 1)
