"""verify(): an artifact against the provenance record beside it, and against a strategy."""

import hashlib
import json
import os
from pathlib import Path

import pytest

from orvane_compile import compile, verify

from _requests import MIN_STRATEGY
from _toolchain import CARGO_BUILD, tool_chain, use_tool_chain

STRATEGY = json.loads(MIN_STRATEGY)
OTHER = {**STRATEGY, "symbol": "ETHUSDT"}
# The stand-in's artifact embeds the strategy, as a real one does.
CARGO = CARGO_BUILD + 'cat src/spec.json > "$artifact"\n'


def sha(data):
    return hashlib.sha256(data).hexdigest()


def spec_digest(strategy):
    result = compile(strategy, target="binary", crate_name="x", dry_run=True)
    return next(f.sha256 for f in result.manifest.files if f.path == "src/spec.json")


def forge(path):
    """The artifact made to hold nothing, and its record to name it."""
    record_path = Path(path + ".provenance.json")
    record = json.loads(record_path.read_bytes())
    record["subject"][0]["digest"]["sha256"] = sha(b"nothing")
    Path(path).write_bytes(b"nothing")
    record_path.write_text(json.dumps(record))


# (id, what is done to the built artifact, the strategy given, the verdict)
CASES = [
    ("as-built", None, None, "ok"),
    ("with-its-strategy", None, STRATEGY, "ok"),
    ("with-its-strategy-as-text", None, MIN_STRATEGY, "ok"),
    ("another-strategy", None, OTHER, "the artifact was built from another strategy: it embeds src/spec.json "
     "with SHA-256 {spec}, the strategy given {other}"),
    ("a-changed-byte", lambda p: Path(p).write_bytes(b"[" + Path(p).read_bytes()[1:]), None,
     "the artifact's SHA-256 is {now}; its record names {built}"),
    ("another-strategys-artifact", "swap", None, "the artifact's SHA-256 is {now}; its record names {built}"),
    ("a-record-forged-to-match", forge, None,
     "the artifact does not embed the strategy its record names (src/spec.json, SHA-256 {spec})"),
    ("no-record", lambda p: os.unlink(p + ".provenance.json"), None,
     "no provenance record: {path}.provenance.json does not exist"),
    ("a-record-of-something-else", lambda p: Path(p + ".provenance.json").write_text('{"_type": 1}'), None,
     "the provenance record {path}.provenance.json is not one this compiler writes"),
]


@pytest.mark.parametrize(("change", "strategy", "verdict"), [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_verify(tmp_path, monkeypatch, change, strategy, verdict):
    use_tool_chain(monkeypatch, tool_chain(tmp_path, cargo=CARGO))
    monkeypatch.chdir(tmp_path)
    path = compile(STRATEGY, target="binary", out_dir="out").path
    built = sha(Path(path).read_bytes())
    if change == "swap":
        os.replace(compile(OTHER, target="binary", out_dir="other").path, path)
    elif change is not None:
        change(path)
    expected = verdict.format(spec=spec_digest(STRATEGY), other=spec_digest(OTHER), built=built,
                              now=sha(Path(path).read_bytes()), path=path)
    assert verify(path, strategy) == expected


def test_verify_on_the_command_line(tmp_path, monkeypatch, capsys):
    from orvane_compile.cli import main

    use_tool_chain(monkeypatch, tool_chain(tmp_path, cargo=CARGO))
    monkeypatch.chdir(tmp_path)
    path = compile(STRATEGY, target="binary", out_dir="out").path
    (tmp_path / "spec.json").write_text(json.dumps({"target": {"kind": "binary"}, "strategy": OTHER}))
    got = [(main(["verify", path, *more]), capsys.readouterr().out) for more in ([], ["--strategy", "spec.json"])]
    assert got == [(0, "ok\n"), (1, verify(path, OTHER) + "\n")]
