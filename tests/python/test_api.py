"""The Python layer: compile() and check(), their typed results and CompileError.

Expected answers come from the compiler itself, asked through a request
written out by hand here, so these tests check how the layer builds requests
and reads answers, not the compiler's digests.
"""

import dataclasses
import json
import os
import pickle

import pytest

import orvane_compile
from orvane_compile import (
    CompileError,
    CompileResult,
    Compiler,
    CsvData,
    InlineData,
    Manifest,
    ManifestFile,
    Target,
    check,
    compile,
    strategy_schema,
)
from strategy_cases import BASE, CASES, doc, ids

STRATEGY_ERROR = "strategy is not a valid StrategySpec: "
NO_SUCH_FILE = "No such file or directory (os error 2)"
CRATE_RULE = " is not a valid identifier (^[a-z][a-z0-9_]*$); set `crate_name`"
BASE_TEXT = json.dumps(BASE)


def direct(spec, **body):
    """The compiler's answer to a compile request written out here."""
    return json.loads(Compiler().command(json.dumps({"cmd": "compile", "spec": spec, **body})))


def as_answer(result):
    """A CompileResult in the JSON shape of the compiler's answer."""

    def target(value):
        return {"kind": value.kind, **({} if value.mcu is None else {"mcu": value.mcu})}

    manifest = result.manifest
    answer = {"target": target(result.target)}
    if result.path is not None:
        answer["path"] = result.path
    answer["manifest"] = {
        "compiler_version": manifest.compiler_version,
        "target": target(manifest.target),
        "opt_level": manifest.opt_level,
        "crate_name": manifest.crate_name,
        "spec_hash": manifest.spec_hash,
        "backtest_dep": manifest.backtest_dep,
        "files": [{"path": f.path, "sha256": f.sha256, "bytes_len": f.bytes_len} for f in manifest.files],
        "project_hash": manifest.project_hash,
    }
    answer["built"] = result.built
    return answer


# ---------------------------------------------------------------- check()


@pytest.mark.parametrize(("document", "message"), [c[1:] for c in CASES], ids=ids(CASES))
def test_check_verdicts(document, message):
    if message is None:
        assert check(document) is None
        return
    with pytest.raises(CompileError) as info:
        check(document)
    assert (info.value.kind, info.value.message) == ("bad spec", STRATEGY_ERROR + message)
    assert str(info.value) == "bad spec: " + STRATEGY_ERROR + message


CHECK_TEXT_CASES = [
    ("valid-text", BASE_TEXT, None),
    ("valid-positional-text", '[1,"X",null,"1h",{},{"gt":["a",1]},{"lt":["a",1]},null,null,["fixed_qty",1]]', None),
    ("one-point-zero-kept", BASE_TEXT.replace('"qty": 1', '"qty": 1.0').replace("{", '{"warmup": 5.0, ', 1),
     ("bad spec", STRATEGY_ERROR + "invalid type: floating point `5.0`, expected u32")),
    ("number", "5", ("bad spec", STRATEGY_ERROR + "invalid type: integer `5`, expected struct StrategySpec")),
    ("missing-colon", '{"symbol" "x"}',
     ("request", "strategy text is not valid JSON: Expecting ':' delimiter at line 1 column 11")),
    ("missing-comma", '{\n  "symbol": "x"\n  "timeframe": "1h"\n}',
     ("request", "strategy text is not valid JSON: Expecting ',' delimiter at line 3 column 3")),
    ("unterminated", '{"symbol": "x',
     ("request", "strategy text is not valid JSON: Unterminated string starting at line 1 column 12")),
    ("empty", "", ("request", "strategy text is not valid JSON: Expecting value at line 1 column 1")),
    ("nan", '{"symbol": NaN}', ("request", "strategy text is not valid JSON: NaN is not a JSON number")),
    ("overflow", '{"qty": 1e999}', ("request", "strategy text is not valid JSON: number out of range: 1e999")),
    ("two-values", "{} {}", ("request", "strategy text is not valid JSON: Extra data at line 1 column 4")),
    # Goes on to add a member to the request's spec: never accepted as written.
    ("spills-into-request", BASE_TEXT + ', "crate_name": "x"',
     ("request", "strategy text is not a single JSON value: the text goes on after it ends")),
]


@pytest.mark.parametrize(("text", "expected"), [c[1:] for c in CHECK_TEXT_CASES], ids=ids(CHECK_TEXT_CASES))
def test_check_text(text, expected):
    if expected is None:
        assert check(text) is None
        return
    with pytest.raises(CompileError) as info:
        check(text)
    assert (info.value.kind, info.value.message) == expected


# ---------------------------------------------------------------- compile() answers

NO_STD = "thumbv7em-none-eabihf"
WASM_FILES = [".cargo/config.toml", "Cargo.toml", "src/lib.rs", "src/spec.json"]

# (id, compile() arguments, the same request written out, crate name, file paths)
COMPILE_CASES = [
    ("defaults", dict(strategy=BASE), {"strategy": BASE, "target": {"kind": "wasm"}}, "btc_usdt", WASM_FILES),
    ("text-strategy", dict(strategy=BASE_TEXT), {"strategy": BASE, "target": {"kind": "wasm"}},
     "btc_usdt", WASM_FILES),
    ("binary-debug", dict(strategy=BASE, target="binary", opt_level="debug"),
     {"strategy": BASE, "target": {"kind": "binary"}, "opt_level": "debug"},
     "btc_usdt", ["Cargo.toml", "src/main.rs", "src/spec.json"]),
    ("no-std-size", dict(strategy=BASE, target="no_std", mcu=NO_STD, opt_level="size"),
     {"strategy": BASE, "target": {"kind": "no_std", "mcu": NO_STD}, "opt_level": "size"},
     "btc_usdt", WASM_FILES),
    ("crate-name", dict(strategy=doc(symbol="1000PEPE"), crate_name="pepe"),
     {"strategy": doc(symbol="1000PEPE"), "target": {"kind": "wasm"}, "crate_name": "pepe"}, "pepe", WASM_FILES),
    ("positional-strategy", dict(strategy=["X", "1h"], crate_name="p"),
     {"strategy": ["X", "1h"], "target": {"kind": "wasm"}, "crate_name": "p"}, None, None),
    ("inline-data", dict(strategy=BASE, embed_data=InlineData([{"t": 1, "c": 2.5}, [3]])),
     {"strategy": BASE, "target": {"kind": "wasm"}, "embed_data": {"kind": "inline", "candles": [{"t": 1, "c": 2.5}, [3]]}},
     "btc_usdt", [".cargo/config.toml", "Cargo.toml", "src/candles.json", "src/lib.rs", "src/spec.json"]),
    ("inline-data-mapping", dict(strategy=BASE, embed_data={"kind": "inline", "candles": []}),
     {"strategy": BASE, "target": {"kind": "wasm"}, "embed_data": {"kind": "inline", "candles": []}},
     "btc_usdt", [".cargo/config.toml", "Cargo.toml", "src/candles.json", "src/lib.rs", "src/spec.json"]),
    ("csv-data", dict(strategy=BASE, target="binary", embed_data=CsvData("candles.csv")),
     {"strategy": BASE, "target": {"kind": "binary"}, "embed_data": {"kind": "csv", "path": "candles.csv"}},
     "btc_usdt", ["Cargo.toml", "src/candles.csv", "src/main.rs", "src/spec.json"]),
]


@pytest.mark.parametrize(("kwargs", "spec", "crate", "paths"), [c[1:] for c in COMPILE_CASES],
                         ids=ids(COMPILE_CASES))
def test_compile_dry_run_answers(tmp_path, monkeypatch, kwargs, spec, crate, paths):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "candles.csv").write_text("t,o,h,l,c,v\n1,2,3,1,2,10\n")
    expected = direct(spec, dry_run=True)
    if crate is None:  # a positional strategy is not a valid document
        with pytest.raises(CompileError) as info:
            compile(dry_run=True, **kwargs)
        assert str(info.value) == expected["error"]
        return
    result = compile(dry_run=True, **kwargs)
    assert as_answer(result) == expected
    assert (result.built, result.path, result.manifest.crate_name) == (False, None, crate)
    assert [f.path for f in result.manifest.files] == paths
    assert list(tmp_path.iterdir()) == [tmp_path / "candles.csv"]  # a dry run writes nothing


def test_result_types():
    result = compile(BASE, target="no_std", mcu=NO_STD, dry_run=True)
    assert type(result) is CompileResult
    assert type(result.manifest) is Manifest
    assert result.target == result.manifest.target == Target("no_std", NO_STD)
    assert type(result.manifest.files) is tuple
    assert {type(f) for f in result.manifest.files} == {ManifestFile}
    assert (result.manifest.compiler_version, result.manifest.backtest_dep) == ("0.2.0", "0.1.5")
    with pytest.raises(dataclasses.FrozenInstanceError):
        result.manifest.crate_name = "x"  # type: ignore[misc]
    assert hash(result.target) == hash(Target("no_std", NO_STD))


# ---------------------------------------------------------------- digests are the compiler's

# (id, first call, second call, same spec_hash, same project_hash)
HASH_RELATIONS = [
    ("text-whitespace-and-key-order", dict(strategy=BASE),
     dict(strategy='{ "sizing": {"qty": 1, "type": "fixed_qty"},\n "exit": {"lt": ["a", 1]}, "entry": {"gt": ["a", 1]},'
                   '\n "indicators": {}, "timeframe": "1h", "symbol": "BTC/USDT" }'), True, True),
    ("text-one-point-zero", dict(strategy=BASE), dict(strategy=BASE_TEXT.replace('"qty": 1', '"qty": 1.0')),
     False, False),
    ("mapping-float", dict(strategy=BASE), dict(strategy=doc(sizing={"type": "fixed_qty", "qty": 1.0})),
     False, False),
    ("unknown-key", dict(strategy=BASE), dict(strategy=doc(note="x")), False, False),
    ("default-opt-level", dict(strategy=BASE), dict(strategy=BASE, opt_level="release"), True, True),
    ("size-opt-level", dict(strategy=BASE), dict(strategy=BASE, opt_level="size"), False, False),
    ("derived-crate-name-given", dict(strategy=BASE), dict(strategy=BASE, crate_name="btc_usdt"), False, True),
    ("csv-renamed", dict(strategy=BASE, embed_data=CsvData("a.csv")), dict(strategy=BASE, embed_data=CsvData("b.csv")),
     False, True),
]


@pytest.mark.parametrize(("first", "second", "same_spec", "same_project"), [c[1:] for c in HASH_RELATIONS],
                         ids=ids(HASH_RELATIONS))
def test_digest_relations(tmp_path, monkeypatch, first, second, same_spec, same_project):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "a.csv").write_text("t,c\n1,2\n")
    (tmp_path / "b.csv").write_text("t,c\n1,2\n")
    a = compile(dry_run=True, **first).manifest
    b = compile(dry_run=True, **second).manifest
    assert (a.spec_hash == b.spec_hash, a.project_hash == b.project_hash) == (same_spec, same_project)


# ---------------------------------------------------------------- compile() errors

# (id, compile() arguments, kind, message)
ERROR_CASES = [
    ("mcu-not-allowed", dict(strategy=BASE, target="no_std", mcu="thumbv9-none-eabi"),
     "bad target", 'mcu "thumbv9-none-eabi" is not in the allowlist'),
    ("underived-crate-name", dict(strategy=doc(symbol="1000PEPE")), "bad spec", 'crate name "1000pepe"' + CRATE_RULE),
    ("given-crate-name", dict(strategy=BASE, crate_name="My_Strat"), "bad spec", 'crate name "My_Strat"' + CRATE_RULE),
    ("positional-without-name", dict(strategy=[1, "X", None, "1h", {}, {"gt": [1, 2]}, {"lt": [1, 2]},
                                               None, None, ["fixed_qty", 1]]),
     "bad spec", "no crate_name and the strategy has no string `symbol` to derive one"),
    ("strategy-first", dict(strategy=doc(symbol=5), crate_name="A"),
     "bad spec", STRATEGY_ERROR + "invalid type: integer `5`, expected a string"),
    ("no-std-without-mcu", dict(strategy=BASE, target="no_std"),
     "request", "bad compile request: missing field `mcu` at line 2 column 26"),
    ("unknown-target", dict(strategy=BASE, target="arm"),
     "request", "bad compile request: unknown variant `arm`, expected one of `wasm`, `binary`, `no_std` "
                "at line 2 column 22"),
    ("unknown-opt-level", dict(strategy=BASE, opt_level="fast"),
     "request", "bad compile request: unknown variant `fast`, expected one of `debug`, `release`, `size` "
                "at line 3 column 18"),
    ("csv-missing", dict(strategy=BASE, embed_data=CsvData("missing.csv")),
     "io", "reading missing.csv: " + NO_SUCH_FILE),
    ("csv-without-path", dict(strategy=BASE, embed_data={"kind": "csv"}),
     "request", "bad compile request: missing field `path` at line 3 column 27"),
    ("strategy-text-not-json", dict(strategy='{"symbol": }'),
     "request", "strategy text is not valid JSON: Expecting value at line 1 column 12"),
]


@pytest.mark.parametrize("dry_run", [True, False], ids=["dry-run", "build"])
@pytest.mark.parametrize(("kwargs", "kind", "message"), [c[1:] for c in ERROR_CASES], ids=ids(ERROR_CASES))
def test_compile_errors(tmp_path, monkeypatch, dry_run, kwargs, kind, message):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(CompileError) as info:
        compile(dry_run=dry_run, out_dir=tmp_path / "out", **kwargs)
    assert (info.value.kind, info.value.message) == (kind, message)
    assert not (tmp_path / "out").exists()  # refused before anything is written


INSTALL_RUST = "install Rust with rustup: https://rustup.rs"
WASM_BINDGEN_ANY = ("cargo install wasm-bindgen-cli (its version must match the wasm-bindgen crate's in the "
                    "project's Cargo.lock; a new project resolves the latest)")


# Before a build, the tool chain is checked: what it lacks fails the build before anything is
# written. With a cargo (that fails if it runs) and no rustc, the build goes ahead to the writer.
@pytest.mark.parametrize(("target", "out_dir", "cargo", "kind", "message"), [
    ("binary", "out", False, "build", "cargo is not on the PATH; fix: " + INSTALL_RUST),
    ("wasm", "out", False, "build", "cargo is not on the PATH; fix: " + INSTALL_RUST
     + "\nwasm-bindgen is not on the PATH; fix: " + WASM_BINDGEN_ANY),
    ("binary", "a_file", True, "io", "creating a_file/p: Not a directory (os error 20)"),
], ids=["binary-no-cargo", "wasm-no-cargo", "out-dir-is-a-file"])
def test_build_failures(tmp_path, monkeypatch, target, out_dir, cargo, kind, message):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "a_file").write_text("")
    (tmp_path / "bin").mkdir()
    if cargo:
        (tmp_path / "bin" / "cargo").write_text("#!/bin/sh\nexit 101\n")
        (tmp_path / "bin" / "cargo").chmod(0o755)
    monkeypatch.setenv("PATH", str(tmp_path / "bin"))
    monkeypatch.delenv("RUSTC", raising=False)
    with pytest.raises(CompileError) as info:
        compile(BASE, target=target, crate_name="p", out_dir=out_dir)
    assert (info.value.kind, info.value.message) == (kind, message)
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize(("kwargs", "error", "text"), [
    (dict(strategy=BASE, mcu=NO_STD), ValueError, "mcu applies only to target 'no_std', not 'wasm'"),
    (dict(strategy=BASE, target="binary", mcu=NO_STD), ValueError, "mcu applies only to target 'no_std', not 'binary'"),
    (dict(strategy={"symbol": {1, 2}}), TypeError, "Object of type set is not JSON serializable"),
    (dict(strategy=BASE, embed_data=InlineData([object])), TypeError, "Object of type type is not JSON serializable"),
], ids=["mcu-with-wasm", "mcu-with-binary", "set-in-strategy", "class-in-candles"])
def test_misuse_raises_python_errors(kwargs, error, text):
    with pytest.raises(error) as info:
        compile(dry_run=True, **kwargs)
    assert str(info.value) == text


# ---------------------------------------------------------------- CompileError and exports


@pytest.mark.parametrize(("kind", "message", "text"), [
    ("bad spec", "x", "bad spec: x"),
    ("bad target", "mcu", "bad target: mcu"),
    ("build", "", "build: "),
    ("io", "reading a: b", "io: reading a: b"),
    ("parse", "p", "parse: p"),
    ("codegen", "c", "codegen: c"),
    ("request", "bad compile request: y at line 1 column 2", "bad compile request: y at line 1 column 2"),
])
def test_compile_error_text(kind, message, text):
    error = CompileError(kind, message)
    assert (str(error), error.kind, error.message, error.args) == (text, kind, message, (kind, message))
    again = pickle.loads(pickle.dumps(error))
    assert (type(again), str(again), again.kind, again.message) == (CompileError, text, kind, message)


def test_package_exports():
    assert orvane_compile.__all__ == [
        "Compiler", "__version__", "CompileError", "CompileResult", "CsvData", "InlineData", "Manifest",
        "ManifestFile", "Target", "check", "compile", "compile_many", "strategy_schema",
        "DoctorReport", "TargetStatus", "ToolProblem", "ToolStatus", "doctor",
    ]
    assert [getattr(orvane_compile, name) is not None for name in orvane_compile.__all__] == [True] * 18


def test_strategy_schema_is_a_fresh_copy():
    first = strategy_schema()
    assert (first["$schema"], first["type"], first["required"]) == (
        "https://json-schema.org/draft/2020-12/schema", "object",
        ["symbol", "timeframe", "indicators", "entry", "exit", "sizing"])
    first["type"] = "changed"
    assert strategy_schema()["type"] == "object"


def test_compile_accepts_path_objects(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "d.csv").write_text("t\n1\n")
    result = compile(BASE, embed_data=CsvData(tmp_path / "d.csv"), out_dir=tmp_path, dry_run=True)
    assert as_answer(result) == direct(
        {"strategy": BASE, "target": {"kind": "wasm"}, "embed_data": {"kind": "csv", "path": os.fspath(tmp_path / "d.csv")}},
        dry_run=True)
