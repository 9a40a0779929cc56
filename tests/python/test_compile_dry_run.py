"""Compile requests run as dry runs, and the pipeline that they exercise.

Dry runs run in an empty working directory that must stay exactly as the test
left it. Builds appear here only to show which requests are builds and what a
build answers: either the working directory holds a regular file where the
output directory has to go, so the project writer stops at once, or a
stand-in cargo that only logs its call comes first on the PATH.
"""

import hashlib
import json
import os
import stat
import subprocess

import pytest

from _requests import (
    CRATE_RULE,
    MIN_STRATEGY,
    STRATEGY_ERROR,
    canonical,
    compact,
    compile_request,
    error_response,
    expected_dry_run,
    expected_manifest,
    params,
    project_files,
    strategy,
)

S = MIN_STRATEGY
WASM = '{"kind":"wasm"}'
BINARY = '{"kind":"binary"}'


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.fixture
def fake_cargo(tmp_path_factory, monkeypatch):
    """A stand-in cargo first on the PATH: it logs its directory and arguments and succeeds."""
    bin_dir = tmp_path_factory.mktemp("fake-bin")
    log = bin_dir / "calls.log"
    script = bin_dir / "cargo"
    # It leaves an artifact wherever cargo would put one for these arguments.
    script.write_text('#!/bin/sh\nPATH=/usr/bin:/bin\ncase "$1" in -V) echo "cargo 1.80.0"; exit 0 ;; esac\n'
                      'printf "%s" "$(pwd -P)" >> "$FAKE_CARGO_LOG"\n'
                      'for a in "$@"; do printf " %s" "$a" >> "$FAKE_CARGO_LOG"; done\n'
                      'printf "\\n" >> "$FAKE_CARGO_LOG"\n'
                      'crate=${PWD##*/} profile=debug triple=\n'
                      'while [ $# -gt 0 ]; do case $1 in --release) profile=release;; '
                      '--target) triple=$2/; shift;; esac; shift; done\n'
                      'if [ -n "$triple" ]; then artifact=target/${triple}$profile/lib$crate.a; '
                      'else artifact=target/$profile/$crate; fi\n'
                      'mkdir -p "${artifact%/*}" && : > "$artifact"\n')
    script.chmod(script.stat().st_mode | stat.S_IXUSR)
    monkeypatch.setenv("FAKE_CARGO_LOG", str(log))
    monkeypatch.setenv("PATH", str(bin_dir) + os.pathsep + os.environ.get("PATH", ""))
    return log


def snapshot(root):
    """Every path under root with the bytes of each file (None for directories)."""
    out = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for name in dirnames:
            out[os.path.relpath(os.path.join(dirpath, name), root)] = None
        for name in filenames:
            full = os.path.join(dirpath, name)
            with open(full, "rb") as f:
                out[os.path.relpath(full, root)] = f.read()
    return out


def crate_error(quoted):
    return error_response("bad spec: crate name " + quoted + CRATE_RULE)


def mcu_error(quoted):
    return error_response("bad target: mcu " + quoted + " is not in the allowlist")


# ---------------------------------------------------------------------------
# A dry run answers as the case files say (tests/cases/dry_run.jsonl, test_cases.py) and
# writes nothing; a refused strategy answers alike for a build.

@pytest.mark.parametrize(("strategy_text", "message"), [
    (strategy(drop=("symbol",)), "missing field `symbol`"),
    (strategy(sizing="null"), "invalid type: null, expected internally tagged enum Sizing"),
    ("[]", "invalid length 1, expected struct StrategySpec with 14 elements"),
], ids=["missing-symbol", "sizing-null", "empty-positional"])
@pytest.mark.parametrize("dry_run", ["true", "false", None], ids=["dry", "build", "default"])
def test_invalid_strategy_answers_alike_for_dry_run_and_build(compiler, workdir, strategy_text, message, dry_run):
    response = compiler.command(compile_request(strategy_text, dry_run=dry_run))
    assert response == error_response(STRATEGY_ERROR + message)
    assert snapshot(workdir) == {}


# ---------------------------------------------------------------------------
# Which requests are builds. A regular file stands where the project
# directory's parent has to be created.

BUILDS = [
    ("dry-run-absent", "_out", compile_request(S, dry_run=None), "_out/btc_usdt/.cargo"),
    ("dry-run-false", "_out", compile_request(S, dry_run="false"), "_out/btc_usdt/.cargo"),
    ("out-dir-null", "_out", compile_request(S, dry_run="false", out_dir="null"), "_out/btc_usdt/.cargo"),
    ("flags-inside-spec-are-ignored", "_out",
     '{"cmd":"compile","spec":{"strategy":' + S + ',"target":{"kind":"wasm"},"dry_run":true,"out_dir":"x"}}',
     "_out/btc_usdt/.cargo"),
    ("out-dir-given", "dist", compile_request(S, dry_run=None, out_dir='"dist"'), "dist/btc_usdt/.cargo"),
    ("out-dir-empty", "btc_usdt", compile_request(S, dry_run=None, out_dir='""'), "btc_usdt/.cargo"),
    ("binary-first-file-is-top-level", "_out",
     compile_request(S, BINARY, dry_run=None, crate_name='"my_strat"'), "_out/my_strat"),
]


@pytest.mark.parametrize(("blocker", "request_text", "directory"), [c[1:] for c in BUILDS],
                         ids=[c[0] for c in BUILDS])
def test_requests_that_build(compiler, workdir, blocker, request_text, directory):
    (workdir / blocker).write_bytes(b"")
    expected = error_response(f"io: creating {directory}: Not a directory (os error 20)")
    assert compiler.command(request_text) == expected
    assert snapshot(workdir) == {blocker: b""}


# With a stand-in cargo that succeeds, a build answers the artifact path: the
# project directory joined with the artifact's relative path.

BUILT = [
    ("binary-release", compile_request(S, BINARY, dry_run=None, crate_name='"my_strat"'), {"kind": "binary"},
     {"crate": "my_strat", "crate_name": "my_strat"}, "_out/my_strat", "target/release/my_strat", "build --release"),
    ("binary-empty-out-dir", compile_request(S, BINARY, dry_run="false", out_dir='""', crate_name='"my_strat"'),
     {"kind": "binary"}, {"crate": "my_strat", "crate_name": "my_strat"}, "my_strat", "target/release/my_strat",
     "build --release"),
    ("binary-debug", compile_request(S, BINARY, dry_run=None, opt_level='"debug"', out_dir="null"),
     {"kind": "binary"}, {"crate": "btc_usdt", "opt_level": "debug"}, "_out/btc_usdt", "target/debug/btc_usdt",
     "build"),
    ("no-std-size-nested-out-dir",
     compile_request(S, '{"kind":"no_std","mcu":"thumbv7em-none-eabihf"}', dry_run=None, opt_level='"size"',
                     out_dir='"dist/x"'),
     {"kind": "no_std", "mcu": "thumbv7em-none-eabihf"}, {"crate": "btc_usdt", "opt_level": "size"},
     "dist/x/btc_usdt", "target/thumbv7em-none-eabihf/release/libbtc_usdt.a",
     "build --target thumbv7em-none-eabihf --release"),
]


@pytest.mark.parametrize(("request_text", "target", "options", "project", "artifact", "arguments"),
                         params(BUILT))
def test_build_answers_artifact_path(compiler, workdir, fake_cargo, request_text, target, options, project,
                                     artifact, arguments):
    response = compiler.command(request_text)
    manifest = expected_manifest(S, target, **options)
    assert response == compact({"target": target, "path": project + "/" + artifact, "manifest": manifest,
                                "built": True})
    spec_text = canonical(json.loads(S))
    files = project_files(target, options["crate"], options.get("opt_level") or "release", spec_text)
    written = {os.path.join(project, *path.split("/")): text.encode() for path, text in files.items()}
    written[os.path.join(project, ".orvane-compile.lock")] = b""
    # The record of what the compiler wrote, the only files it will ever remove.
    written[os.path.join(project, ".orvane-compile.files")] = "".join(f"{p}\n" for p in sorted(files)).encode()
    written[os.path.join(project, *artifact.split("/"))] = b""  # the stand-in's
    got = {k: v for k, v in snapshot(workdir).items() if v is not None}
    # The wrapper through which cargo remaps the project folder in its own crate (it is the
    # builder's, and cargo runs it from the target folder).
    wrapper = got.pop(os.path.join(project, "target", ".orvane-wrapper", "orvane-compile-remap-wrapper"), b"")
    # Beside the artifact, what made it: the empty file the stand-in left.
    record = json.loads(got.pop(os.path.join(project, *artifact.split("/")) + ".provenance.json", b"null"))
    assert (got, wrapper.startswith(b"#!/bin/sh\n")) == (written, True)
    assert (record["subject"], record["predicate"]["manifest"]["spec_hash"]) == (
        [{"digest": {"sha256": hashlib.sha256(b"").hexdigest()}, "name": artifact}], manifest["spec_hash"])
    assert fake_cargo.read_text() == f"{os.path.realpath(workdir / project)} {arguments}\n"


# ---------------------------------------------------------------------------
# Crate names.


def test_quoted_crate_name_with_a_quote_is_six_characters(compiler):
    response = json.loads(compiler.command(compile_request(S, crate_name='"a\\"b"')))
    assert response["error"] == 'bad spec: crate name "a\\"b"' + CRATE_RULE
    assert response["error"][len("bad spec: crate name "):].split(" ")[0] == '"a\\"b"'


# ---------------------------------------------------------------------------
# A build whose dataset is missing fails before it writes anything, as a dry run does.

def test_missing_csv_fails_a_build_before_it_writes(compiler, workdir):
    request = compile_request(S, embed_data='{"kind":"csv","path":"missing.csv"}', dry_run=None)
    missing = "io: reading missing.csv: No such file or directory (os error 2)"
    assert compiler.command(request) == error_response(missing)
    assert snapshot(workdir) == {}


# ---------------------------------------------------------------------------
# CSV datasets: read whole, kept byte for byte.

CSV_CONTENTS = [
    ("lf", b"ts,open,high,low,close,volume\n1,2,3,1,2,10\n"),
    ("crlf", b"ts,close\r\n1,2\r\n2,3\r\n"),
    ("bom", b"\xef\xbb\xbfts,close\n1,2\n"),
    ("no-final-newline", b"ts,close\n1,2"),
    ("empty", b""),
    ("cr-only", b"a\rb\r"),
    ("non-ascii", "t,ccy\n1,\u20ac\n2,\U0001f600\n".encode()),
    ("quotes-tabs-backslash", b'"a,b"\t"c\\"\n'),
    ("nul-and-controls", b"a\x00b\x1f\x7f\n"),
]


@pytest.mark.parametrize("target_text, target", [
    pytest.param(WASM, {"kind": "wasm"}, id="wasm"),
    pytest.param(BINARY, {"kind": "binary"}, id="binary"),
    pytest.param('{"kind":"no_std","mcu":"thumbv8m.main-none-eabi"}',
                 {"kind": "no_std", "mcu": "thumbv8m.main-none-eabi"}, id="no-std"),
])
@pytest.mark.parametrize("contents", [c[1] for c in CSV_CONTENTS], ids=[c[0] for c in CSV_CONTENTS])
def test_csv_dataset(compiler, workdir, target_text, target, contents):
    (workdir / "data.csv").write_bytes(contents)
    request = compile_request(S, target_text, embed_data='{"kind":"csv","path":"data.csv"}')
    response = compiler.command(request)
    embed = {"kind": "csv", "path": "data.csv"}
    assert response == expected_dry_run(S, target, crate="btc_usdt", embed=embed, csv_bytes=contents)
    entry = [f for f in json.loads(response)["manifest"]["files"] if f["path"] == "src/candles.csv"]
    assert entry == [{"path": "src/candles.csv", "sha256": hashlib.sha256(contents).hexdigest(),
                      "bytes_len": len(contents)}]
    assert snapshot(workdir) == {"data.csv": contents}


@pytest.mark.parametrize("path", ["./data.csv", "sub/../data.csv", "sub/d.csv", "d\u00e4ten.csv", "ABSOLUTE"],
                         ids=["dot-slash", "dot-dot", "subdirectory", "non-ascii-name", "absolute"])
def test_csv_paths_are_used_as_given(compiler, workdir, path):
    contents = b"ts,close\n1,2\n"
    (workdir / "sub").mkdir()
    if path == "ABSOLUTE":
        path = str(workdir / "data.csv")
    (workdir / path).write_bytes(contents)
    before = snapshot(workdir)
    request = compile_request(S, embed_data=json.dumps({"kind": "csv", "path": path}, ensure_ascii=False))
    embed = {"kind": "csv", "path": path}
    assert compiler.command(request) == expected_dry_run(S, crate="btc_usdt", embed=embed, csv_bytes=contents)
    assert snapshot(workdir) == before


INVALID_UTF8 = [
    ("bom-16", b"\xff\xfet\x00s\x00"),
    ("bad-continuation", b"ok\n\xc3(\n"),
    ("overlong", b"\xc0\xaf"),
    ("encoded-surrogate", b"a\xed\xa0\x80b"),
    ("truncated-at-end", b"abc\xe2\x82"),
    ("latin-1", "caf\u00e9\n".encode("latin-1")),
]


@pytest.mark.parametrize("contents", [c[1] for c in INVALID_UTF8], ids=[c[0] for c in INVALID_UTF8])
def test_csv_not_utf8(compiler, workdir, contents):
    (workdir / "bad.csv").write_bytes(contents)
    request = compile_request(S, embed_data='{"kind":"csv","path":"bad.csv"}')
    assert compiler.command(request) == error_response("io: reading bad.csv: stream did not contain valid UTF-8")
    assert snapshot(workdir) == {"bad.csv": contents}


CSV_READ_FAILURES = [
    ("missing", "missing.csv", "No such file or directory (os error 2)"),
    ("missing-dot-slash", "./nope/x.csv", "No such file or directory (os error 2)"),
    ("missing-non-ascii", "\u00fc.csv", "No such file or directory (os error 2)"),
    ("empty-path", "", "No such file or directory (os error 2)"),
    ("directory", "somedir", "Is a directory (os error 21)"),
    ("directory-trailing-slash", "somedir/", "Is a directory (os error 21)"),
    ("through-a-file", "plain.txt/x.csv", "Not a directory (os error 20)"),
]


@pytest.mark.parametrize(("path", "system_error"), [c[1:] for c in CSV_READ_FAILURES],
                         ids=[c[0] for c in CSV_READ_FAILURES])
@pytest.mark.parametrize("dry_run", ["true", None], ids=["dry", "build"])
def test_csv_read_failures(compiler, workdir, path, system_error, dry_run):
    (workdir / "somedir").mkdir()
    (workdir / "plain.txt").write_bytes(b"x")
    before = snapshot(workdir)
    embed = json.dumps({"kind": "csv", "path": path}, ensure_ascii=False)
    request = compile_request(S, embed_data=embed, dry_run=dry_run)
    assert compiler.command(request) == error_response(f"io: reading {path}: {system_error}")
    assert snapshot(workdir) == before


# The wrapper cargo runs the project's own crate through, asked as cargo asks it (rustc first)
# and as a compiler cache in front of it asks it (as rustc itself): what rustc is then given.
WRAPPED = [
    (["/bin/echo", "--crate-name", "x"], "--crate-name x --remap-path-prefix={here}=."),
    (["/bin/echo", "-vV"], "-vV"),
    (["--crate-name", "x"], "--crate-name x --remap-path-prefix={here}=."),
    (["-vV"], "-vV"),
]


def test_the_remap_wrapper_takes_both_callers(compiler, workdir, fake_cargo):
    compiler.command(BUILT[0][1])
    here = os.path.realpath(workdir / "_out" / "my_strat")
    wrapper = os.path.join(here, "target", ".orvane-wrapper", "orvane-compile-remap-wrapper")
    got = [subprocess.run([wrapper, *args], cwd=here, env={"RUSTC": "/bin/echo", "PATH": "/usr/bin:/bin"},
                          capture_output=True, text=True, check=True).stdout for args, _ in WRAPPED]
    assert got == [said.format(here=here) + "\n" for _, said in WRAPPED]
