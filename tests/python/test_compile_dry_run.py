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

import pytest

from _requests import (
    CRATE_RULE,
    MCUS,
    MIN_STRATEGY,
    NO_SYMBOL,
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
    script.write_text('#!/bin/sh\nPATH=/usr/bin:/bin\nprintf "%s" "$(pwd -P)" >> "$FAKE_CARGO_LOG"\n'
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
# A dry run answers target, manifest and built false, and writes nothing.

TARGET_LEVELS = [
    ("wasm", WASM, {"kind": "wasm"}, None),
    ("wasm-debug", WASM, {"kind": "wasm"}, "debug"),
    ("wasm-size", WASM, {"kind": "wasm"}, "size"),
    ("binary", BINARY, {"kind": "binary"}, None),
    ("binary-debug", BINARY, {"kind": "binary"}, "debug"),
    ("binary-size", BINARY, {"kind": "binary"}, "size"),
    ("no-std", '{"kind":"no_std","mcu":"thumbv7em-none-eabihf"}',
     {"kind": "no_std", "mcu": "thumbv7em-none-eabihf"}, None),
    ("no-std-debug", '{"kind":"no_std","mcu":"thumbv6m-none-eabi"}',
     {"kind": "no_std", "mcu": "thumbv6m-none-eabi"}, "debug"),
    ("no-std-size", '{"mcu":"riscv32imac-unknown-none-elf","kind":"no_std"}',
     {"kind": "no_std", "mcu": "riscv32imac-unknown-none-elf"}, "size"),
]


@pytest.mark.parametrize(("target_text", "target", "level"), params(TARGET_LEVELS))
def test_dry_run_answers_manifest_and_writes_nothing(compiler, workdir, fake_cargo, target_text, target, level):
    request = compile_request(S, target_text, opt_level=None if level is None else f'"{level}"')
    response = compiler.command(request)
    assert response == expected_dry_run(S, target, crate="btc_usdt", opt_level=level)
    assert list(json.loads(response)) == ["target", "manifest", "built"]
    assert snapshot(workdir) == {}
    assert not fake_cargo.exists()


@pytest.mark.parametrize("out_dir", [None, "null", '"elsewhere"', '""', '"/nonexistent/dir"'],
                         ids=["absent", "null", "relative", "empty", "absolute"])
def test_dry_run_ignores_out_dir(compiler, workdir, out_dir):
    response = compiler.command(compile_request(S, out_dir=out_dir))
    assert response == expected_dry_run(S, crate="btc_usdt")
    assert snapshot(workdir) == {}


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
    assert {k: v for k, v in snapshot(workdir).items() if v is not None} == written
    assert fake_cargo.read_text() == f"{os.path.realpath(workdir / project)} {arguments}\n"


# ---------------------------------------------------------------------------
# Crate names: derived from the symbol, or given.

DERIVED = [
    ("slash", '"BTC/USDT"', "btc_usdt"),
    ("hyphen", '"ETH-PERP"', "eth_perp"),
    ("runs-and-trailing-blank", '"SOL__USDT "', "sol__usdt_"),
    ("two-byte-letter", '"btc\u00dc"', "btc_"),
    ("four-byte-char", '"a\U0001f600b"', "a_b"),
    ("escaped-non-ascii", '"eth\\u00e9"', "eth_"),
    ("dot-and-blank", '"eth.usd perp"', "eth_usd_perp"),
    ("digits-kept", '"abc123"', "abc123"),
    ("single-letter", '"X"', "x"),
]


@pytest.mark.parametrize(("symbol", "crate"), [c[1:] for c in DERIVED], ids=[c[0] for c in DERIVED])
def test_derived_crate_names(compiler, symbol, crate):
    strategy_text = strategy(symbol=symbol)
    assert compiler.command(compile_request(strategy_text)) == expected_dry_run(strategy_text, crate=crate)


BAD_DERIVED = [
    ("leading-digits", '"1000PEPE"', '"1000pepe"'),
    ("empty", '""', '""'),
    ("leading-underscore", '"_x"', '"_x"'),
    ("leading-non-ascii", '"\u03a9mega"', '"_mega"'),
    ("only-punctuation", '"-"', '"_"'),
]


@pytest.mark.parametrize(("symbol", "quoted"), [c[1:] for c in BAD_DERIVED], ids=[c[0] for c in BAD_DERIVED])
def test_underivable_crate_names(compiler, symbol, quoted):
    assert compiler.command(compile_request(strategy(symbol=symbol))) == crate_error(quoted)


GIVEN = [
    ("one-letter", "a"),
    ("keyword-fn", "fn"),
    ("keyword-self", "self"),
    ("underscores-digits", "my_strat_2"),
]


@pytest.mark.parametrize("name", [c[1] for c in GIVEN], ids=[c[0] for c in GIVEN])
def test_given_crate_names(compiler, name):
    request = compile_request(S, crate_name=json.dumps(name))
    assert compiler.command(request) == expected_dry_run(S, crate=name, crate_name=name)


def test_given_crate_name_wins_over_symbol(compiler):
    strategy_text = strategy(symbol='"1000PEPE"')
    request = compile_request(strategy_text, crate_name='"pepe"')
    assert compiler.command(request) == expected_dry_run(strategy_text, crate="pepe", crate_name="pepe")


BAD_GIVEN = [
    ("upper-case", '"My_Strat"', '"My_Strat"'),
    ("empty", '""', '""'),
    ("quote", '"a\\"b"', '"a\\"b"'),
    ("blank", '"a b"', '"a b"'),
    ("hyphen", '"a-b"', '"a-b"'),
    ("tab", '"a\\tb"', '"a\\tb"'),
    ("trailing-newline", '"btc_usdt\\n"', '"btc_usdt\\n"'),
    ("backslash", '"a\\\\b"', '"a\\\\b"'),
    ("control", '"a\\u0001"', '"a\\u{1}"'),
    ("non-ascii", '"\u00e9t\u00e9"', '"\u00e9t\u00e9"'),
    ("leading-digit", '"1a"', '"1a"'),
]


@pytest.mark.parametrize(("crate_name", "quoted"), [c[1:] for c in BAD_GIVEN], ids=[c[0] for c in BAD_GIVEN])
def test_invalid_given_crate_names(compiler, crate_name, quoted):
    assert compiler.command(compile_request(S, crate_name=crate_name)) == crate_error(quoted)


def test_quoted_crate_name_with_a_quote_is_six_characters(compiler):
    response = json.loads(compiler.command(compile_request(S, crate_name='"a\\"b"')))
    assert response["error"] == 'bad spec: crate name "a\\"b"' + CRATE_RULE
    assert response["error"][len("bad spec: crate name "):].split(" ")[0] == '"a\\"b"'


POSITIONAL = '[1,"BTC/USDT",null,"1h",{},{"gt":["a",1]},{"lt":["a",1]},null,null,{"type":"fixed_qty","qty":1}]'


def test_positional_strategy_needs_a_crate_name(compiler):
    assert compiler.command(compile_request(POSITIONAL)) == error_response(NO_SYMBOL)


def test_positional_strategy_with_crate_name(compiler):
    request = compile_request(POSITIONAL, crate_name='"pos"')
    assert compiler.command(request) == expected_dry_run(POSITIONAL, crate="pos", crate_name="pos")


# ---------------------------------------------------------------------------
# The MCU allow-list.


@pytest.mark.parametrize("mcu", [pytest.param(m, id=m) for m in MCUS])
def test_allow_listed_mcus(compiler, mcu):
    request = compile_request(S, '{"kind":"no_std","mcu":"' + mcu + '"}')
    target = {"kind": "no_std", "mcu": mcu}
    assert compiler.command(request) == expected_dry_run(S, target, crate="btc_usdt")


REJECTED_MCUS = [
    ("upper-case", '"THUMBV6M-NONE-EABI"', '"THUMBV6M-NONE-EABI"'),
    ("trailing-blank", '"thumbv6m-none-eabi "', '"thumbv6m-none-eabi "'),
    ("leading-blank", '" thumbv6m-none-eabi"', '" thumbv6m-none-eabi"'),
    ("prefix", '"thumbv6m"', '"thumbv6m"'),
    ("empty", '""', '""'),
    ("host-triple", '"x86_64-unknown-linux-gnu"', '"x86_64-unknown-linux-gnu"'),
    ("wasm-triple", '"wasm32-unknown-unknown"', '"wasm32-unknown-unknown"'),
    ("quote", '"a\\"b"', '"a\\"b"'),
    ("newline", '"thumbv7em-none-eabihf\\n"', '"thumbv7em-none-eabihf\\n"'),
]


@pytest.mark.parametrize(("mcu", "quoted"), [c[1:] for c in REJECTED_MCUS], ids=[c[0] for c in REJECTED_MCUS])
def test_rejected_mcus(compiler, mcu, quoted):
    request = compile_request(S, '{"kind":"no_std","mcu":' + mcu + "}")
    assert compiler.command(request) == mcu_error(quoted)


# ---------------------------------------------------------------------------
# The first failure in pipeline order wins.

NO_STD_BAD = '{"kind":"no_std","mcu":"thumbv6m"}'
MISSING_CSV = '{"kind":"csv","path":"missing.csv"}'
MISSING_CSV_ERROR = error_response("io: reading missing.csv: No such file or directory (os error 2)")

ORDER = [
    ("strategy-before-crate-name", compile_request(strategy(drop=("symbol",)), crate_name='"Bad"'),
     error_response(STRATEGY_ERROR + "missing field `symbol`")),
    ("strategy-before-mcu", compile_request(strategy(exit="5"), NO_STD_BAD),
     error_response(STRATEGY_ERROR + "invalid type: integer `5`, expected string or map")),
    ("strategy-before-csv", compile_request(strategy(entry="null"), embed_data=MISSING_CSV),
     error_response(STRATEGY_ERROR + "invalid type: null, expected string or map")),
    ("crate-name-before-mcu", compile_request(S, NO_STD_BAD, crate_name='"Bad"'), crate_error('"Bad"')),
    ("derived-name-before-mcu", compile_request(strategy(symbol='"1X"'), NO_STD_BAD), crate_error('"1x"')),
    ("no-symbol-before-mcu", compile_request(POSITIONAL, NO_STD_BAD), error_response(NO_SYMBOL)),
    ("crate-name-before-csv", compile_request(S, embed_data=MISSING_CSV, crate_name='""'), crate_error('""')),
    ("mcu-before-csv", compile_request(S, NO_STD_BAD, embed_data=MISSING_CSV), mcu_error('"thumbv6m"')),
    ("csv-alone", compile_request(S, embed_data=MISSING_CSV), MISSING_CSV_ERROR),
    ("csv-alone-build", compile_request(S, embed_data=MISSING_CSV, dry_run=None), MISSING_CSV_ERROR),
    ("strategy-number", compile_request("5"),
     error_response(STRATEGY_ERROR + "invalid type: integer `5`, expected struct StrategySpec")),
    ("strategy-null", compile_request("null"),
     error_response(STRATEGY_ERROR + "invalid type: null, expected struct StrategySpec")),
    ("request-before-pipeline", compile_request("5", '{"kind":"x"}'),
     error_response("bad compile request: unknown variant `x`, expected one of `wasm`, `binary`, `no_std` "
                    "at line 1 column 58")),
]


@pytest.mark.parametrize(("request_text", "response"), [c[1:] for c in ORDER], ids=[c[0] for c in ORDER])
def test_first_error_in_pipeline_order(compiler, workdir, request_text, response):
    assert compiler.command(request_text) == response
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


# ---------------------------------------------------------------------------
# Inline datasets.

INLINE = [
    ("empty", "[]", []),
    ("rows", '[{"t":1,"o":2.5,"c":"x"},[3,2,1],null,"s",-7,true]',
     [{"t": 1, "o": 2.5, "c": "x"}, [3, 2, 1], None, "s", -7, True]),
    ("nested-objects-sorted", '[{"z":{"b":1,"a":[{"y":0,"x":0}]},"a":null}]',
     [{"z": {"b": 1, "a": [{"y": 0, "x": 0}]}, "a": None}]),
    ("strings-escaped", '["tab\\there","q\\"","\\u00e9\\u0001","/"]', ["tab\there", 'q"', "\u00e9\u0001", "/"]),
    ("repeated-key", '[{"a":1,"b":2,"a":3}]', [{"a": 3, "b": 2}]),
]


@pytest.mark.parametrize(("candles_text", "candles"), [c[1:] for c in INLINE], ids=[c[0] for c in INLINE])
@pytest.mark.parametrize("target_text, target", [(WASM, {"kind": "wasm"}), (BINARY, {"kind": "binary"})],
                         ids=["wasm", "binary"])
def test_inline_dataset(compiler, workdir, candles_text, candles, target_text, target):
    request = compile_request(S, target_text, embed_data='{"kind":"inline","candles":' + candles_text + "}")
    embed = {"kind": "inline", "candles": candles}
    assert compiler.command(request) == expected_dry_run(S, target, crate="btc_usdt", embed=embed)
    assert snapshot(workdir) == {}
