"""The Python layer: compile() and check(), their typed results and CompileError.

Expected answers come from the compiler itself, asked through a request
written out by hand here, so these tests check how the layer builds requests
and reads answers, not the compiler's digests.
"""

import dataclasses
import functools
import json
import os
import pickle
import re

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
from _requests import BACKTEST_DEP, VERSION
from strategy_cases import BASE, CASES, STRATEGY_FIELDS, doc, ids

STRATEGY_ERROR = "strategy is not a valid StrategySpec: "  # how the JSON answer words a fault
NO_SUCH_FILE = "No such file or directory (os error 2)"
CRATE_RULE = " is not a valid identifier (^[a-z][a-z0-9_]*$)"
CRATE_HINT = "; set `crate_name`"  # the compiler's advice: in str(), not in the message
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


@pytest.mark.parametrize(("document", "message", "where"), [c[1:] for c in CASES], ids=ids(CASES))
def test_check_verdicts(document, message, where):
    if message is None:
        assert [(w.severity, w.kind, w.path, w.message, w.line, w.column, w.source) for w in check(document)] == [
            ("warning", "bad spec", path, text, None, None, None) for path, text in where]
        return
    with pytest.raises(CompileError) as info:
        check(document)
    error = info.value
    # A mapping is sent as generated text: the fault has a path but no line in any text of the caller.
    assert (error.kind, error.message, error.path, error.line, error.column, error.source) == (
        "bad spec", message, where, None, None, None)
    hint = error.diagnostics[0].hint  # the compiler's advice, when it has some, after the message
    assert str(error) == f"bad spec: {message}" + (f"; {hint}" if hint else "") + f" (at {where})"


POSITIONAL_TEXT = '[1,"X",null,"1h",{},{"gt":["a",1]},{"lt":["a",1]},null,null,["fixed_qty",1]]'
NOT_JSON = "strategy text is not valid JSON: "

# (id, text, the warnings as (path, message, line, column), or the error as (kind, message, path, line,
# column)); a place is in the text given, named "strategy text"
CHECK_TEXT_CASES = [
    ("valid-text", BASE_TEXT, []),
    ("valid-positional-text", POSITIONAL_TEXT,
     [("strategy[5].gt[0]", "indicator `a` is not declared in `indicators`", 1, 28),
      ("strategy[6].lt[0]", "indicator `a` is not declared in `indicators`", 1, 43)]),
    ("one-point-zero-kept", BASE_TEXT.replace('"qty": 1', '"qty": 1.0').replace("{", '{"warmup": 5.0, ', 1),
     ("bad spec", "invalid type: floating point `5.0`, expected u32", "strategy.warmup", 1, 12)),
    ("number", "5", ("bad spec", "invalid type: integer `5`, expected struct StrategySpec", "strategy", 1, 1)),
    ("missing-colon", '{"symbol" "x"}', ("request", NOT_JSON + "expected `:`", "", 1, 11)),
    ("missing-comma", '{\n  "symbol": "x"\n  "timeframe": "1h"\n}',
     ("request", NOT_JSON + "expected `,` or `}`", "", 3, 3)),
    ("unterminated", '{"symbol": "x', ("request", NOT_JSON + "EOF while parsing a string", "", 1, 13)),
    # The end of a text counts as column 0 of its last line, as the compiler counts it.
    # A fault at the end of the text is shown where the text ends, past its last character.
    ("empty", "", ("request", NOT_JSON + "EOF while parsing a value", "", 1, 1)),
    ("blank-lines", " \n", ("request", NOT_JSON + "EOF while parsing a value", "", 1, 2)),
    ("ends-after-a-line-feed", '{"symbol": 5\n', ("request", NOT_JSON + "EOF while parsing an object", "", 1, 13)),
    ("nan", '{"symbol": NaN}', ("request", NOT_JSON + "expected value", "", 1, 12)),
    ("overflow", '{"qty": 1e999}', ("request", NOT_JSON + "number out of range", "", 1, 13)),
    ("two-values", "{} {}", ("request", NOT_JSON + "trailing characters", "", 1, 4)),
    ("comment", "{} // note", ("request", NOT_JSON + "trailing characters", "", 1, 4)),
    ("trailing-comma", '{"symbol": "x",}', ("request", NOT_JSON + "trailing comma", "", 1, 16)),
    ("byte-order-mark", "\ufeff{}", ("request", NOT_JSON + "expected value", "", 1, 1)),
    # Goes on to add a member to the request's spec: never accepted as written.
    ("spills-into-request", BASE_TEXT + ', "crate_name": "x"',
     ("request", NOT_JSON + "trailing characters", "", 1, len(BASE_TEXT) + 1)),
]


@pytest.mark.parametrize(("text", "expected"), [c[1:] for c in CHECK_TEXT_CASES], ids=ids(CHECK_TEXT_CASES))
def test_check_text(text, expected):
    if isinstance(expected, list):
        warnings = check(text)
        assert [(w.severity, w.path, w.message, w.line, w.column, w.source) for w in warnings] == [
            ("warning", *warning, "strategy text") for warning in expected]
        return
    with pytest.raises(CompileError) as info:
        check(text)
    error = info.value
    assert (error.kind, error.message, error.path, error.line, error.column, error.source) == (
        *expected, "strategy text")
    assert [str(d) for d in error.diagnostics] == [str(error)]


# ---------------------------------------------------------------- warnings and strict mode

DID_YOU_MEAN = "unknown field `{}`, did you mean `{}`?"
UNDECLARED = "indicator `{}` is not declared in `indicators`"
TWO_EMAS = {"fast": {"type": "ema", "params": [12]}, "slow": {"type": "ema", "params": [48]}}
CROSS = doc(indicators=TWO_EMAS, entry={"cross_above": ["fast", "slow"]}, exit={"cross_below": ["fast", "slow"]})
# A slip in a member and one in an indicator's name, in a text of one member a line.
SLIPS_TEXT = (
    '{"symbol": "BTC/USDT", "timeframe": "4h",\n'
    ' "indicators": {"fast": {"type": "ema", "params": [12]}, "slow": {"type": "ema", "params": [48]}},\n'
    ' "entry": {"cross_above": ["fast", "slw"]},\n'
    ' "exit": {"cross_below": ["fast", "slow"]},\n'
    ' "sizing": {"type": "fixed_qty", "qty": 1},\n'
    ' "risk": {"stop_loss_pct": 2, "trailing_stop_pc": 1}}'
)

# (id, strategy (a mapping, or text sent verbatim), its warnings as (path, message, line, column))
WARNING_CASES = [
    ("misspelt-member", doc(warmpu=5), [("strategy.warmpu", DID_YOU_MEAN.format("warmpu", "warmup"), None, None)]),
    ("misspelt-member-in-text", '{"warmpu": 5, ' + BASE_TEXT[1:],
     [("strategy.warmpu", DID_YOU_MEAN.format("warmpu", "warmup"), 1, 2)]),
    ("nested-member", doc(risk={"stop_loss_pct": 2, "trailing_stop_pc": 1}),
     [("strategy.risk.trailing_stop_pc", DID_YOU_MEAN.format("trailing_stop_pc", "trailing_stop_pct"), None, None)]),
    ("variant-member", doc(costs={"slippage": {"type": "fixed_bps", "bps": 1, "bsp": 2}}),
     [("strategy.costs.slippage.bsp", DID_YOU_MEAN.format("bsp", "bps"), None, None)]),
    ("indicator-member", doc(indicators={"a": {"type": "ema", "parms": [14]}}),
     [("strategy.indicators.a.parms", DID_YOU_MEAN.format("parms", "params"), None, None)]),
    ("no-near-name", doc(notes="x"),
     [("strategy.notes", "unknown field `notes`, expected " + STRATEGY_FIELDS, None, None)]),
    ("undeclared-indicator", dict(CROSS, entry={"cross_above": ["fast", "slw"]}),
     [("strategy.entry.cross_above[1]", UNDECLARED.format("slw") + ", did you mean `slow`?", None, None)]),
    ("undeclared-in-an-expression", dict(CROSS, entry={"gt": [{"prev": ["slw", 1]}, "slow"]}),
     [("strategy.entry.gt[0].prev[0]", UNDECLARED.format("slw") + ", did you mean `slow`?", None, None)]),
    ("undeclared-no-near-name", dict(CROSS, exit={"lt": ["volume_ma", 1]}),
     [("strategy.exit.lt[0]", UNDECLARED.format("volume_ma"), None, None)]),
    ("undeclared-in-short-rules", doc(short_entry={"lt": ["b", 0]}),
     [("strategy.short_entry.lt[0]", UNDECLARED.format("b") + "", None, None)]),
    # Members nothing declares first, then the indicators, each in the order of the text.
    ("every-warning-in-order", SLIPS_TEXT,
     [("strategy.risk.trailing_stop_pc", DID_YOU_MEAN.format("trailing_stop_pc", "trailing_stop_pct"), 6, 31),
      ("strategy.entry.cross_above[1]", UNDECLARED.format("slw") + ", did you mean `slow`?", 3, 36)]),
    ("declared", CROSS, []),
]


@pytest.mark.parametrize(("strategy", "warnings"), [c[1:] for c in WARNING_CASES], ids=ids(WARNING_CASES))
def test_check_warnings(strategy, warnings):
    source = "strategy text" if isinstance(strategy, str) else None
    expected = [("warning", "bad spec", path, message, line, column, source)
                for path, message, line, column in warnings]
    found = check(strategy)
    assert [(w.severity, w.kind, w.path, w.message, w.line, w.column, w.source) for w in found] == expected
    # compile() sends the same and gives the same warnings with its result.
    result = compile(strategy, crate_name="w", dry_run=True)
    assert (type(result.warnings), list(result.warnings)) == (tuple, found)


@pytest.mark.parametrize(("strategy", "warnings"), [c[1:] for c in WARNING_CASES], ids=ids(WARNING_CASES))
@pytest.mark.parametrize("call", ["check", "compile"])
def test_strict_raises_warnings(call, strategy, warnings):
    source = "strategy text" if isinstance(strategy, str) else None
    if call == "check":
        run = lambda: check(strategy, strict=True)  # noqa: E731
    else:
        run = lambda: compile(strategy, crate_name="w", dry_run=True, strict=True).warnings  # noqa: E731
    if not warnings:
        assert list(run()) == []
        return
    with pytest.raises(CompileError) as info:
        run()
    error = info.value
    path, message, line, column = warnings[0]
    assert (error.kind, error.message, error.path, error.line, error.column, error.source) == (
        "bad spec", message, path, line, column, source)
    assert [(d.severity, d.kind, d.path, d.message, d.line, d.column) for d in error.diagnostics] == [
        ("error", "bad spec", *warning) for warning in warnings]


def test_strict_refuses_a_build_before_the_tool_chain_is_looked_at(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("PATH", str(tmp_path))  # no cargo: a build that went on would fail for it
    with pytest.raises(CompileError) as info:
        compile(doc(warmpu=5), target="binary", out_dir="out", strict=True)
    assert (info.value.kind, info.value.message) == ("bad spec", DID_YOU_MEAN.format("warmpu", "warmup"))
    with pytest.raises(CompileError) as info:
        compile(doc(warmpu=5), target="binary", out_dir="out")
    assert (info.value.kind, info.value.message) == ("build", "cargo is not on the PATH; fix: " + INSTALL_RUST)
    assert list(tmp_path.iterdir()) == []


# ---------------------------------------------------------------- where a fault lies

FRACTION = doc(sizing={"type": "fixed_fraction", "fraction": "0.25"})
FRACTION_MESSAGE = 'invalid type: string "0.25", expected f64'
SECOND_CONDITION = doc(entry={"all": [{"gt": ["a", 1]}, {"lt": ["a"]}]})
SECOND_CONDITION_TEXT = (
    '{"symbol": "X", "timeframe": "1h", "indicators": {"a": {"type": "ema"}},\n'
    ' "entry": {"all": [{"gt": ["a", 1]}, {"lt": ["a"]}]},\n'
    ' "exit": {"lt": ["a", 1]}, "sizing": {"type": "fixed_qty", "qty": 1}}'
)
TUPLE_OF_2 = "invalid length 1, expected a tuple of size 2"

TOO_DEEP = "the strategy nests deeper than the 125 levels of arrays and objects a strategy may use"
TOO_DEEP_TEXT = ("bad spec: " + TOO_DEEP + "; a request is read to 127 levels, and the strategy stands inside two "
                 "of them (the request and its `spec`) (at strategy)")
LONE_TRAILING = ("lone leading surrogate in hex escape; `\\udc80` is a trailing surrogate with no leading surrogate "
                 "(`\\ud800` to `\\udbff`) before it; a character above U+FFFF is written as a leading and a trailing "
                 "surrogate escape in a row, such as `\\ud83d\\ude00`")


def nested(levels, text=False):
    """Objects nested `levels` deep, as a mapping or as its text."""
    value = {}
    for _ in range(levels - 1):
        value = {"a": value}
    return json.dumps(value) if text else value


# (id, strategy given to compile(), the error's (kind, message, path, line, column, source), the line it
# is on, str(error)): a place only in a text the caller gave, counted in it
FIELD_CASES = [
    ("mapping", FRACTION, ("bad spec", FRACTION_MESSAGE, "strategy.sizing.fraction", None, None, None), None,
     "bad spec: " + FRACTION_MESSAGE + " (at strategy.sizing.fraction)"),
    ("one-line-text", json.dumps(FRACTION),
     ("bad spec", FRACTION_MESSAGE, "strategy.sizing.fraction", 1, 183, "strategy text"), json.dumps(FRACTION),
     "bad spec: " + FRACTION_MESSAGE + " (at strategy.sizing.fraction) at line 1 column 183 of strategy text"),
    ("indented-text", json.dumps(FRACTION, indent=2),
     ("bad spec", FRACTION_MESSAGE, "strategy.sizing.fraction", 23, 17, "strategy text"), '    "fraction": "0.25"',
     "bad spec: " + FRACTION_MESSAGE + " (at strategy.sizing.fraction) at line 23 column 17 of strategy text"),
    ("condition-mapping", SECOND_CONDITION,
     ("bad spec", TUPLE_OF_2, "strategy.entry.all[1].lt", None, None, None), None,
     "bad spec: " + TUPLE_OF_2 + "; `lt` takes [operand, operand] (at strategy.entry.all[1].lt)"),
    ("condition-text", SECOND_CONDITION_TEXT,
     ("bad spec", TUPLE_OF_2, "strategy.entry.all[1].lt", 2, 45, "strategy text"),
     ' "entry": {"all": [{"gt": ["a", 1]}, {"lt": ["a"]}]},',
     "bad spec: " + TUPLE_OF_2 + "; `lt` takes [operand, operand] (at strategy.entry.all[1].lt) at line 2 column 45 "
     "of strategy text"),
    ("positional-text", '["X", "1h"]',
     ("bad spec", 'invalid type: string "X", expected u32', "strategy[0]", 1, 2, "strategy text"), '["X", "1h"]',
     'bad spec: invalid type: string "X", expected u32 (at strategy[0]) at line 1 column 2 of strategy text'),
    # A crate name derived from the symbol: the fault is the symbol's.
    ("crate-name-text", json.dumps(doc(symbol="1000PEPE"), indent=1),
     ("bad spec", 'crate name "1000pepe"' + CRATE_RULE, "strategy.symbol", 2, 12, "strategy text"),
     ' "symbol": "1000PEPE",',
     'bad spec: crate name "1000pepe"' + CRATE_RULE + CRATE_HINT +
     " (at strategy.symbol) at line 2 column 12 of strategy text"),
    # Nested deeper than the request leaves the strategy room for, though the reader would read it alone:
    # the strategy's fault, at the level it goes too deep, never the request's levels or its text.
    ("too-deep-text", nested(126, text=True), ("bad spec", TOO_DEEP, "strategy", 1, 6 * 125 + 1, "strategy text"),
     nested(126, text=True), TOO_DEEP_TEXT + " at line 1 column 751 of strategy text"),
    ("too-deep-mapping", nested(126), ("bad spec", TOO_DEEP, "strategy", None, None, None), None, TOO_DEEP_TEXT),
    ("trailing-surrogate-text", '{"note": "\\udc80"}',
     ("request", NOT_JSON + "lone leading surrogate in hex escape", "", 1, 16, "strategy text"), '{"note": "\\udc80"}',
     NOT_JSON + LONE_TRAILING + " at line 1 column 16 of strategy text"),
    ("not-json", '{"symbol": "X",\n "timeframe" "1h"}',
     ("request", NOT_JSON + "expected `:`", "", 2, 14, "strategy text"), ' "timeframe" "1h"}',
     NOT_JSON + "expected `:` at line 2 column 14 of strategy text"),
]


@pytest.mark.parametrize(("strategy", "fields", "line_text", "text"), [c[1:] for c in FIELD_CASES],
                         ids=ids(FIELD_CASES))
def test_compile_error_fields(strategy, fields, line_text, text):
    with pytest.raises(CompileError) as info:
        compile(strategy, dry_run=True)
    error = info.value
    assert ((error.kind, error.message, error.path, error.line, error.column, error.source), str(error)) == (
        fields, text)
    first = error.diagnostics[0]
    assert ((first.severity, first.kind, first.message, first.path, first.line, first.column, first.source),
            first.line_text, str(first)) == (("error", *fields), line_text, text)
    again = pickle.loads(pickle.dumps(error))
    assert (again.kind, again.message, again.path, again.line, again.column, again.source, str(again),
            again.diagnostics) == (*fields, text, error.diagnostics)


# (id, compile() arguments, every fault as (kind, path, message, line, column), in order)
EVERY_FAULT_CASES = [
    ("two-members", dict(strategy=doc(symbol=5, sizing={"type": "fixed_qty", "qty": "1"})),
     [("bad spec", "strategy.symbol", "invalid type: integer `5`, expected a string", None, None),
      ("bad spec", "strategy.sizing.qty", 'invalid type: string "1", expected f64', None, None)]),
    ("two-members-text",
     dict(strategy=json.dumps(doc(symbol=5, sizing={"type": "fixed_qty", "qty": "1"}), indent=2)),
     [("bad spec", "strategy.symbol", "invalid type: integer `5`, expected a string", 2, 13),
      ("bad spec", "strategy.sizing.qty", 'invalid type: string "1", expected f64', 23, 12)]),
    ("two-conditions", dict(strategy=doc(entry={"all": [{"gt": ["a"]}, {"lt": ["a", 1, 2]}]})),
     [("bad spec", "strategy.entry.all[0].gt", TUPLE_OF_2, None, None),
      ("bad spec", "strategy.entry.all[1].lt", "invalid length 3, expected fewer elements in array", None, None)]),
    ("missing-fields", dict(strategy=doc(drop=("symbol", "timeframe"))),
     [("bad spec", "strategy", "missing field `symbol`", None, None),
      ("bad spec", "strategy", "missing field `timeframe`", None, None)]),
    ("wrong-member-then-missing", dict(strategy=doc(drop=("symbol", "timeframe"), spec_version="2")),
     [("bad spec", "strategy.spec_version", 'invalid type: string "2", expected u32', None, None),
      ("bad spec", "strategy", "missing field `symbol`", None, None),
      ("bad spec", "strategy", "missing field `timeframe`", None, None)]),
    # The request's faults first, then the strategy's.
    ("request-then-strategy", dict(strategy=doc(symbol=5), target="no_std", opt_level="fast"),
     [("request", "target", "missing field `mcu`", None, None),
      ("request", "opt_level", "unknown variant `fast`, expected one of `debug`, `release`, `size`", None, None),
      ("bad spec", "strategy.symbol", "invalid type: integer `5`, expected a string", None, None)]),
]


@pytest.mark.parametrize(("kwargs", "faults"), [c[1:] for c in EVERY_FAULT_CASES], ids=ids(EVERY_FAULT_CASES))
def test_every_fault_is_listed(kwargs, faults):
    with pytest.raises(CompileError) as info:
        compile(dry_run=True, **kwargs)
    error = info.value
    assert [(d.severity, d.kind, d.path, d.message, d.line, d.column) for d in error.diagnostics] == [
        ("error", *fault) for fault in faults]
    # The error itself is the first of them.
    assert (error.kind, error.path, error.message, error.line, error.column) == faults[0]


# ---------------------------------------------------------------- compile() answers

NO_STD = "thumbv7em-none-eabihf"
WASM_FILES = [".cargo/config.toml", "Cargo.toml", "src/lib.rs", "src/spec.json"]

# (id, compile() arguments, the same request written out, crate name, file paths; for a request the
# compiler refuses: None, and the error's message and path)
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
     {"strategy": ["X", "1h"], "target": {"kind": "wasm"}, "crate_name": "p"}, None,
     ('invalid type: string "X", expected u32', "strategy[0]")),
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
        message, path = paths
        # The answer words the fault with its prefixes; the error holds it bare, with its member.
        assert (expected["error"], info.value.message, str(info.value)) == (
            "bad spec: " + STRATEGY_ERROR + message, message, f"bad spec: {message} (at {path})")
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
    assert (result.manifest.compiler_version, result.manifest.backtest_dep) == (VERSION, BACKTEST_DEP)
    with pytest.raises(dataclasses.FrozenInstanceError):
        result.manifest.crate_name = "x"  # type: ignore[misc]
    assert hash(result.target) == hash(Target("no_std", NO_STD))


# ---------------------------------------------------------------- digests are the compiler's

# (id, first call, second call, same spec_hash, same project_hash)
HASH_RELATIONS = [
    ("text-whitespace-and-key-order", dict(strategy=BASE),
     dict(strategy='{ "sizing": {"qty": 1, "type": "fixed_qty"},\n "exit": {"lt": ["a", 1]}, "entry": {"gt": ["a", 1]},'
                   '\n "indicators": {"a": {"type": "ema"}}, "timeframe": "1h", "symbol": "BTC/USDT" }'),
     True, True),
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

# (id, compile() arguments, kind, message, path): a mapping is sent as generated text, so no fault
# has a line or column
ERROR_CASES = [
    ("mcu-not-allowed", dict(strategy=BASE, target="no_std", mcu="thumbv9-none-eabi"),
     "bad target", 'mcu "thumbv9-none-eabi" is not in the allowlist', "target.mcu"),
    ("underived-crate-name", dict(strategy=doc(symbol="1000PEPE")), "bad spec", 'crate name "1000pepe"' + CRATE_RULE,
     "strategy.symbol"),
    ("given-crate-name", dict(strategy=BASE, crate_name="My_Strat"),
     "bad spec", 'crate name "My_Strat"' + CRATE_RULE, "crate_name"),
    ("positional-without-name", dict(strategy=[1, "X", None, "1h", {}, {"gt": [1, 2]}, {"lt": [1, 2]},
                                               None, None, ["fixed_qty", 1]]),
     "bad spec", "no crate_name and the strategy has no string `symbol` to derive one", "strategy"),
    ("strategy-first", dict(strategy=doc(symbol=5), crate_name="A"),
     "bad spec", "invalid type: integer `5`, expected a string", "strategy.symbol"),
    ("no-std-without-mcu", dict(strategy=BASE, target="no_std"), "request", "missing field `mcu`", "target"),
    ("unknown-target", dict(strategy=BASE, target="arm"),
     "request", "unknown variant `arm`, expected one of `wasm`, `binary`, `no_std`", "target.kind"),
    ("unknown-opt-level", dict(strategy=BASE, opt_level="fast"),
     "request", "unknown variant `fast`, expected one of `debug`, `release`, `size`", "opt_level"),
    ("csv-missing", dict(strategy=BASE, embed_data=CsvData("missing.csv")),
     "io", "reading missing.csv: " + NO_SUCH_FILE, "embed_data.path"),
    ("csv-without-path", dict(strategy=BASE, embed_data={"kind": "csv"}), "request", "missing field `path`",
     "embed_data"),
    ("candles-not-a-list", dict(strategy=BASE, embed_data={"kind": "inline", "candles": {"t": 1}}),
     "request", "invalid type: map, expected a sequence", "embed_data.candles"),
    ("strategy-text-not-json", dict(strategy='{"symbol": }'), "request", NOT_JSON + "expected value", ""),
    # Text spliced into the request must be one value: members after it never reach the request.
    ("strategy-text-with-members-after", dict(strategy=BASE_TEXT + ', "crate_name": "x"'),
     "request", NOT_JSON + "trailing characters", ""),
    # Values JSON has no text for, found where they lie; values as deep as no reader goes, cut short.
    ("nan-in-strategy", dict(strategy=doc(sizing={"type": "fixed_fraction", "fraction": float("nan")})),
     "request", "nan is not a JSON number: JSON cannot carry NaN or infinity", "strategy.sizing.fraction"),
    ("infinity-in-candles", dict(strategy=BASE, embed_data=InlineData([{"t": 1, "c": float("-inf")}])),
     "request", "-inf is not a JSON number: JSON cannot carry NaN or infinity", "embed_data.candles[0].c"),
    ("lone-surrogate", dict(strategy=doc(symbol="\udc80")),
     "request", "the request is not valid JSON: lone leading surrogate in hex escape", ""),
    ("integer-of-5000-digits", dict(strategy=doc(warmup=10**5000)),
     "request", "the request is not valid JSON: number out of range", ""),
    ("nested-5000-deep", dict(strategy=doc(x=functools.reduce(lambda inner, _: {"a": inner}, range(5000), {}))),
     "bad spec", TOO_DEEP, "strategy"),
]


# A strategy that is something else a caller easily passes gets a hint saying so.
INPUT_HINT_CASES = [
    ("path-as-text", "mine/strategy.json",
     "this text is a file's path, not its contents: pass the document "
     "(pathlib.Path(path).read_text(), or the parsed mapping)"),
    ("compile-spec", {"strategy": BASE, "target": {"kind": "wasm"}},
     "this is a compile spec, not a strategy: pass its `strategy` as the strategy, "
     "and its target, opt_level, crate_name and embed_data as keywords"),
    ("broken-text", '{"symbol": }', None),
    ("bad-member", doc(symbol=5), None),
]


@pytest.mark.parametrize(("strategy", "hint"), [c[1:] for c in INPUT_HINT_CASES], ids=ids(INPUT_HINT_CASES))
def test_input_hints(strategy, hint):
    with pytest.raises(CompileError) as info:
        check(strategy)
    assert info.value.diagnostics[0].hint == hint


@pytest.mark.parametrize("dry_run", [True, False], ids=["dry-run", "build"])
@pytest.mark.parametrize(("kwargs", "kind", "message", "path"), [c[1:] for c in ERROR_CASES], ids=ids(ERROR_CASES))
def test_compile_errors(tmp_path, monkeypatch, dry_run, kwargs, kind, message, path):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(CompileError) as info:
        compile(dry_run=dry_run, out_dir=tmp_path / "out", **kwargs)
    assert (info.value.kind, info.value.message, info.value.path) == (kind, message, path)
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
        "Compiler", "__version__", "CompileError", "CompileResult", "CsvData", "Diagnostic", "InlineData", "Manifest",
        "ManifestFile", "Target", "check", "compile", "compile_many", "strategy_schema",
        "DoctorReport", "TargetStatus", "ToolProblem", "ToolStatus", "doctor", "verify",
    ]
    assert [getattr(orvane_compile, name) is not None for name in orvane_compile.__all__] == [True] * 20
    # What check() returns and CompileError carries is the package's own type.
    assert (type(check(doc(warmpu=5))[0]), orvane_compile.Diagnostic) == (orvane_compile.api.Diagnostic,) * 2


def test_strategy_schema_is_a_fresh_copy():
    first = strategy_schema()
    assert (first["$schema"], first["type"], first["required"]) == (
        "https://json-schema.org/draft/2020-12/schema", "object",
        ["symbol", "timeframe", "indicators", "entry", "exit", "sizing"])
    first["type"] = "changed"
    assert strategy_schema()["type"] == "object"


def test_schema_states_the_depth_the_compiler_reads():
    stated = int(re.search(r"no deeper than (\d+) levels", strategy_schema()["$comment"]).group(1))
    faults = []
    for levels in (stated, stated + 1):
        with pytest.raises(CompileError) as info:
            check(nested(levels))
        faults.append(info.value.message)
    assert faults == ["missing field `symbol`", TOO_DEEP]


def test_compile_accepts_path_objects(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "d.csv").write_text("t\n1\n")
    result = compile(BASE, embed_data=CsvData(tmp_path / "d.csv"), out_dir=tmp_path, dry_run=True)
    assert as_answer(result) == direct(
        {"strategy": BASE, "target": {"kind": "wasm"}, "embed_data": {"kind": "csv", "path": os.fspath(tmp_path / "d.csv")}},
        dry_run=True)
