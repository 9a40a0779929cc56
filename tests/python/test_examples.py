"""The example strategies compile (as dry runs) from the shell and from Python, to the same manifest.

The pinned digests cover only the strategy: ``spec_hash`` (the request in
canonical form) and the digest of the embedded src/spec.json (the strategy's
canonical text). They change only if the examples or the canonical form do.
"""

import json
import subprocess
import sys
from pathlib import Path

import pytest

from orvane_compile import check, compile

ROOT = Path(__file__).resolve().parent.parent.parent
LIB_FILES = [".cargo/config.toml", "Cargo.toml", "src/lib.rs", "src/spec.json"]

# (file, crate, target, opt_level, files, spec_hash, sha256 of src/spec.json)
EXAMPLES = [
    ("ema_cross_trend.json", "btc_usdt", {"kind": "wasm"}, "release", LIB_FILES,
     "f43ca72012fea5fdee0718017564b2ba90f005c50b6ee855be8f971759a4cae1",
     "a25a535118d8362f8569e202d84161b3e799c74b0765911f3f0dece86c29feab"),
    ("rsi_mean_reversion.json", "eth_usdt", {"kind": "wasm"}, "release", LIB_FILES,
     "ab4861c0b27abc830c30b5360e234a96e1a380bfea7e3e4ff13ef9f0a5321e24",
     "6ce97c8b9142427eae1bf7f0aaaf8af51cf92409f5feac16e678a63e38cf80b8"),
    ("vol_target_long_short.json", "sol_perp", {"kind": "wasm"}, "release", LIB_FILES,
     "8626ce3d5c04ab44e5900e576322c1a08dcf059fcdaf23287c7ce3a64b48d9ba",
     "b6a0c11138ae21f9eea8303923c31ccf351ef8b05055d7bcc2dd5988673e24a5"),
    ("mcu_no_std.json", "eurusd_ema_mcu", {"kind": "no_std", "mcu": "thumbv7em-none-eabihf"}, "size", LIB_FILES,
     "c608768f6c4e4933d9217d88cf2d63814c7962db92c333ed07ba11ad99017eb5",
     "7642a0866c1d81b2bd824f5f908935ebbdbe088c3b207ceffbd1420e5a67254b"),
]
NAMES = [e[0] for e in EXAMPLES]


def summary(answer):
    """The pinned parts of a dry-run answer."""
    manifest = answer["manifest"]
    spec_json = [f["sha256"] for f in manifest["files"] if f["path"] == "src/spec.json"]
    return (manifest["crate_name"], answer["target"], manifest["opt_level"],
            [f["path"] for f in manifest["files"]], manifest["spec_hash"], spec_json[0], answer["built"])


def cli(*args):
    return subprocess.run([sys.executable, "-m", "orvane_compile", *args], cwd=ROOT, capture_output=True, text=True)


def api_compile(name):
    """compile() as a Python program would call it for the example file."""
    text = (ROOT / "examples" / name).read_text()
    document = json.loads(text)
    if "strategy" in document and "target" in document:
        target = document["target"]
        return compile(document["strategy"], target=target["kind"], mcu=target.get("mcu"),
                       opt_level=document.get("opt_level"), crate_name=document.get("crate_name"), dry_run=True)
    return compile(text, dry_run=True)


def as_answer(result):
    def target(value):
        return {"kind": value.kind, **({} if value.mcu is None else {"mcu": value.mcu})}

    m = result.manifest
    return {
        "target": target(result.target),
        "manifest": {
            "compiler_version": m.compiler_version, "target": target(m.target), "opt_level": m.opt_level,
            "crate_name": m.crate_name, "spec_hash": m.spec_hash, "backtest_dep": m.backtest_dep,
            "files": [{"path": f.path, "sha256": f.sha256, "bytes_len": f.bytes_len} for f in m.files],
            "project_hash": m.project_hash,
        },
        "built": result.built,
    }


@pytest.mark.parametrize(("name", "crate", "target", "opt_level", "files", "spec_hash", "spec_json"), EXAMPLES,
                         ids=NAMES)
def test_cli_dry_run(name, crate, target, opt_level, files, spec_hash, spec_json):
    done = cli("compile", f"examples/{name}", "--dry-run")
    assert (done.returncode, done.stderr) == (0, "")
    assert summary(json.loads(done.stdout)) == (crate, target, opt_level, files, spec_hash, spec_json, False)


@pytest.mark.parametrize(("name", "crate", "target", "opt_level", "files", "spec_hash", "spec_json"), EXAMPLES,
                         ids=NAMES)
def test_api_dry_run(name, crate, target, opt_level, files, spec_hash, spec_json):
    answer = as_answer(api_compile(name))
    assert summary(answer) == (crate, target, opt_level, files, spec_hash, spec_json, False)


@pytest.mark.parametrize("name", NAMES)
def test_cli_and_api_agree(name):
    done = cli("compile", f"examples/{name}", "--dry-run")
    assert json.loads(done.stdout) == as_answer(api_compile(name))


@pytest.mark.parametrize("name", NAMES)
def test_examples_check(name):
    document = json.loads((ROOT / "examples" / name).read_text())
    assert check(document.get("strategy", document)) == []  # valid, and not a warning
    done = cli("check", f"examples/{name}")
    assert (done.returncode, done.stdout, done.stderr) == (0, "ok\n", "")
