"""The orvane-compile command line: answers, errors and where they point, exit codes, terminals.

Most cases run ``cli.main`` in this process from a scratch directory holding
the case's files; a few run the installed entry points in a subprocess, some
of them on a pseudo-terminal.
"""

import io
import json
import os
import re
import fcntl
import select
import struct
import subprocess
import sys
import termios
from pathlib import Path

import pytest

from orvane_compile import Compiler
from orvane_compile.cli import main
from strategy_cases import BASE, ids
from _requests import BACKTEST_DEP, MCUS, TARGETS_ANSWER, VERSION_ANSWER
from _requests import VERSION as COMPILER_VERSION
from _toolchain import tool_chain, use_tool_chain

STRATEGY = (
    "{\n"
    '  "symbol": "BTC/USDT",\n'
    '  "timeframe": "1h",\n'
    '  "indicators": {"a": {"type": "ema"}},\n'
    '  "entry": {"gt": ["a", 1]},\n'
    '  "exit": {"lt": ["a", 1]},\n'
    '  "sizing": {"type": "fixed_qty", "qty": 1}\n'
    "}\n"
)
MCU = "thumbv7em-none-eabihf"


def spec_text(*members):
    """A compile-spec file: the strategy, then each member line as given."""
    body = ",\n".join(['  "strategy": ' + json.dumps(BASE)] + ["  " + m for m in members])
    return "{\n" + body + "\n}\n"


SPEC_WASM = spec_text('"target": {"kind": "wasm"}')
SPEC_NO_STD = spec_text('"target": {"kind": "no_std", "mcu": "' + MCU + '"}', '"opt_level": "size"')
CANDLES = '[{"t": 1, "c": 2.5}, {"t": 2, "c": 2.75}]'
NO_SUCH_FILE = "No such file or directory (os error 2)"
VERSION = VERSION_ANSWER
TARGETS = TARGETS_ANSWER


@pytest.fixture
def run(tmp_path, monkeypatch, capsys):
    """Write ``files`` into a scratch cwd and run the command line there: (status, stdout, stderr)."""
    monkeypatch.chdir(tmp_path)
    monkeypatch.delenv("NO_COLOR", raising=False)
    monkeypatch.setenv("TERM", "xterm")

    def run(argv, files=None, stdin=None):
        for name, text in (files or {}).items():
            path = tmp_path / name
            if isinstance(text, bytes):
                path.write_bytes(text)
            else:
                path.write_text(text, encoding="utf-8")
        if stdin is not None:
            monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(stdin.encode("utf-8"))))
        status = main(argv)
        out, err = capsys.readouterr()
        return status, out, err

    return run


def compiler_answer(request):
    return Compiler().command(json.dumps(request))


# ---------------------------------------------------------------- answers

# (id, argv, files, the request the answer must equal)
ANSWER_CASES = [
    ("bare-dry-run", ["compile", "s.json", "--dry-run"], {"s.json": STRATEGY},
     {"cmd": "compile", "dry_run": True, "spec": {"strategy": BASE, "target": {"kind": "wasm"}}}),
    ("bare-flags", ["compile", "s.json", "--dry-run", "--target", "binary", "--opt-level", "debug",
                    "--crate-name", "trend"], {"s.json": STRATEGY},
     {"cmd": "compile", "dry_run": True, "spec": {"strategy": BASE, "target": {"kind": "binary"},
                                                   "opt_level": "debug", "crate_name": "trend"}}),
    ("bare-mcu-implies-no-std", ["compile", "s.json", "--dry-run", "--mcu", MCU], {"s.json": STRATEGY},
     {"cmd": "compile", "dry_run": True, "spec": {"strategy": BASE, "target": {"kind": "no_std", "mcu": MCU}}}),
    ("bare-csv", ["compile", "s.json", "--dry-run", "--csv", "d.csv"], {"s.json": STRATEGY, "d.csv": "t,c\n1,2\n"},
     {"cmd": "compile", "dry_run": True, "spec": {"strategy": BASE, "target": {"kind": "wasm"},
                                                   "embed_data": {"kind": "csv", "path": "d.csv"}}}),
    ("bare-inline", ["compile", "s.json", "--dry-run", "--inline", "c.json"], {"s.json": STRATEGY, "c.json": CANDLES},
     {"cmd": "compile", "dry_run": True, "spec": {"strategy": BASE, "target": {"kind": "wasm"},
                                                   "embed_data": {"kind": "inline", "candles": json.loads(CANDLES)}}}),
    ("bare-stdin", ["compile", "-", "--dry-run"], {},
     {"cmd": "compile", "dry_run": True, "spec": {"strategy": BASE, "target": {"kind": "wasm"}}}),
    ("spec-verbatim", ["compile", "spec.json", "--dry-run"], {"spec.json": SPEC_NO_STD},
     {"cmd": "compile", "dry_run": True,
      "spec": {"strategy": BASE, "target": {"kind": "no_std", "mcu": MCU}, "opt_level": "size"}}),
    ("spec-target-completed", ["compile", "spec.json", "--dry-run", "--target", "no_std"], {"spec.json": SPEC_NO_STD},
     {"cmd": "compile", "dry_run": True,
      "spec": {"strategy": BASE, "target": {"kind": "no_std", "mcu": MCU}, "opt_level": "size"}}),
    ("spec-overridden", ["compile", "spec.json", "--dry-run", "--target", "binary", "--opt-level", "debug",
                         "--crate-name", "x"], {"spec.json": SPEC_NO_STD},
     {"cmd": "compile", "dry_run": True,
      "spec": {"strategy": BASE, "target": {"kind": "binary"}, "opt_level": "debug", "crate_name": "x"}}),
    ("spec-mcu-replaced", ["compile", "spec.json", "--dry-run", "--mcu", "thumbv6m-none-eabi"],
     {"spec.json": SPEC_NO_STD},
     {"cmd": "compile", "dry_run": True,
      "spec": {"strategy": BASE, "target": {"kind": "no_std", "mcu": "thumbv6m-none-eabi"}, "opt_level": "size"}}),
    ("spec-out-dir-ignored-by-dry-run", ["compile", "spec.json", "--dry-run", "--out-dir", "o", "--json"],
     {"spec.json": SPEC_WASM},
     {"cmd": "compile", "dry_run": True, "spec": {"strategy": BASE, "target": {"kind": "wasm"}}}),
    ("targets", ["targets"], {}, {"cmd": "targets"}),
    ("version", ["version", "--json"], {}, {"cmd": "version"}),
    ("hash-handle", ["hash", "s.json", "--handle"], {"s.json": STRATEGY}, {"cmd": "artifact_bytes", "path": "s.json"}),
]


@pytest.mark.parametrize(("argv", "files", "request_"), [c[1:] for c in ANSWER_CASES], ids=ids(ANSWER_CASES))
def test_answers(run, argv, files, request_):
    status, out, err = run(argv, files, stdin=STRATEGY if "-" in argv else None)
    assert (status, out, err) == (0, compiler_answer(request_) + "\n", "")


VERSION_LINE = f"orvane-compile {COMPILER_VERSION} (backtest dep {BACKTEST_DEP})\n"
EMPTY_SHA256 = '"sha256":"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"'

# (id, argv, stdout): version is a line for a person unless --json asks for the answer (see
# test_terminal_output); hash leaves out the handle unless --handle asks for it
FIXED_CASES = [
    ("version", ["version"], VERSION_LINE),
    ("version-flag", ["--version"], VERSION_LINE),
    ("targets-json-first", ["--json", "targets"], TARGETS + "\n"),
    ("hash", ["hash", "e"], '{"len":0,' + EMPTY_SHA256 + "}\n"),
    ("hash-json", ["hash", "e", "--json"], '{"len":0,' + EMPTY_SHA256 + "}\n"),
    ("hash-handle", ["hash", "--handle", "e"], '{"handle":0,"len":0,' + EMPTY_SHA256 + "}\n"),
]


@pytest.mark.parametrize(("argv", "stdout"), [c[1:] for c in FIXED_CASES], ids=ids(FIXED_CASES))
def test_fixed_answers_verbatim(run, argv, stdout):
    assert run(argv, {"e": ""}) == (0, stdout, "")


# (id, argv, files, stdout)
CHECK_CASES = [
    ("strategy", ["check", "s.json"], {"s.json": STRATEGY}, "ok\n"),
    ("spec", ["check", "spec.json"], {"spec.json": SPEC_NO_STD}, "ok\n"),
    ("spec-flags", ["check", "spec.json", "--target", "binary", "--inline", "c.json"],
     {"spec.json": SPEC_NO_STD, "c.json": CANDLES}, "ok\n"),
    ("crate-name-rescues-symbol", ["check", "s.json", "--crate-name", "pepe"],
     {"s.json": STRATEGY.replace("BTC/USDT", "1000PEPE")}, "ok\n"),
]


@pytest.mark.parametrize(("argv", "files", "stdout"), [c[1:] for c in CHECK_CASES], ids=ids(CHECK_CASES))
def test_check_ok(run, tmp_path, argv, files, stdout):
    assert run(argv, files) == (0, stdout, "")
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(files)  # nothing written


# ---------------------------------------------------------------- errors and where they point

BROKEN = STRATEGY.replace('"1h",\n', '"1h"\n')
WIDE = spec_text('"target": {"kind": "wasm"}', '"opt_level": {"\u901f\u3044": null}, "x": "\u00e9"')
# A whole compile spec on one long line, as a program would write it.
MINIFIED = json.dumps({
    "strategy": dict(BASE, indicators={f"e{i}": {"type": "ema", "params": [i]} for i in range(8)}),
    "target": {"kind": "binary"}, "embed_data": {"kind": "csv"}, "crate_name": "x"})

NOT_JSON = " is not valid JSON: "
STRATEGY_FIELDS = ("`spec_version`, `symbol`, `ref_symbol`, `timeframe`, `indicators`, `entry`, `exit`, `short_entry`, "
                   "`short_exit`, `sizing`, `costs`, `risk`, `execution`, `warmup`")
SPEC_FIELDS = "`strategy`, `target`, `opt_level`, `embed_data`, `crate_name`"
FROM_FLAGS = "of the request built from the command line"
MCU_HINT = "  = hint: pass --mcu TRIPLE, one of " + ", ".join(MCUS) + "\n"

# (id, argv, files, exit status, stderr): each fault and warning as "FILE:LINE:COLUMN: message (at PATH)"
# with the line and a caret under the column (the column counts bytes); in text built from the flags,
# the request's line; with no place, one line
ERROR_CASES = [
    # The compiler's reader judges a file before it is embedded, and places its fault in it.
    ("syntax-missing-comma", ["compile", "s.json", "--dry-run"], {"s.json": BROKEN}, 1,
     "s.json:4:3: s.json" + NOT_JSON + "expected `,` or `}`\n"
     ' 4 |   "indicators": {"a": {"type": "ema"}},\n'
     "   |   ^\n"),
    ("syntax-unterminated", ["check", "s.json"], {"s.json": '{"symbol": "BTC/USDT", "timeframe": "1h'}, 1,
     "s.json:1:39: s.json" + NOT_JSON + "EOF while parsing a string\n"
     ' 1 | {"symbol": "BTC/USDT", "timeframe": "1h\n'
     "   |                                       ^\n"),
    ("syntax-in-inline", ["check", "s.json", "--inline", "c.json"], {"s.json": STRATEGY, "c.json": "[1,\n 2,,\n]"}, 1,
     "c.json:2:4: c.json" + NOT_JSON + "expected value\n"
     " 2 |  2,,\n"
     "   |    ^\n"),
    ("syntax-position-in-bytes", ["check", "s.json"], {"s.json": '{"symbol": "\u00e9\u00e9", x}'}, 1,
     "s.json:1:20: s.json" + NOT_JSON + "key must be a string\n"
     ' 1 | {"symbol": "\u00e9\u00e9", x}\n'
     "   |                  ^\n"),
    ("nan", ["check", "s.json"], {"s.json": '{"symbol": NaN}'}, 1,
     "s.json:1:12: s.json" + NOT_JSON + "expected value\n"
     ' 1 | {"symbol": NaN}\n'
     "   |            ^\n"),
    ("empty-file", ["check", "s.json"], {"s.json": ""}, 1,
     "s.json:1:1: s.json" + NOT_JSON + "EOF while parsing a value\n"
     " 1 | \n"
     "   | ^\n"),
    # Controls a terminal would obey are shown as escapes, in messages and in file names.
    ("control-characters", ["check", "\x1b[2Js.json"], {"\x1b[2Js.json": '{"symbol": "\x1b[31m"}'}, 1,
     "\\x1b[2Js.json:1:13: \\x1b[2Js.json" + NOT_JSON + "control character (\\u0000-\\u001F) found while parsing a string\n"
     ' 1 | {"symbol": "\N{REPLACEMENT CHARACTER}[31m"}\n'
     "   |             ^\n"),
    ("spills-into-request", ["check", "s.json"], {"s.json": STRATEGY + ', "crate_name": "x"'}, 1,
     "s.json:9:1: s.json" + NOT_JSON + "trailing characters\n"
     ' 9 | , "crate_name": "x"\n'
     "   | ^\n"),
    ("spec-missing-mcu", ["check", "spec.json"],
     {"spec.json": spec_text('"target": {"kind": "no_std"}', '"opt_level": "size"')}, 1,
     "spec.json:3:30: missing field `mcu` (at target)\n"
     ' 3 |   "target": {"kind": "no_std"},\n'
     "   |                              ^\n" + MCU_HINT),
    ("spec-missing-target", ["check", "spec.json"], {"spec.json": spec_text('"opt_level": "size"')}, 1,
     "spec.json:4:1: missing field `target`\n"
     " 4 | }\n"
     "   | ^\n"),
    ("spec-duplicate-target", ["check", "spec.json"],
     {"spec.json": spec_text('"target": {"kind": "wasm"}', '"target": {"kind": "binary"}')}, 1,
     "spec.json:4:10: duplicate field `target` (at target)\n"
     ' 4 |   "target": {"kind": "binary"}\n'
     "   |          ^\n"),
    ("spec-kept-member-still-maps", ["check", "spec.json", "--opt-level", "size"],
     {"spec.json": spec_text('"target": {"kind": "wasm"}', '"opt_level": "fast"', '\t"crate_name": 5')}, 1,
     "spec.json:5:18: invalid type: integer `5`, expected a string (at crate_name)\n"
     ' 5 |   \t"crate_name": 5\n'
     "   |   \t              ^\n"),
    ("spec-wide-characters", ["check", "spec.json"], {"spec.json": WIDE}, 1,
     "spec.json:4:24: unknown variant `\u901f\u3044`, expected one of `debug`, `release`, `size` "
     "(at opt_level.\u901f\u3044)\n"
     ' 4 |   "opt_level": {"\u901f\u3044": null}, "x": "\u00e9"\n'
     "   |                      ^\n"
     "spec.json:4:34: warning: unknown field `x`, expected one of " + SPEC_FIELDS + " (at x)\n"
     ' 4 |   "opt_level": {"\u901f\u3044": null}, "x": "\u00e9"\n'
     "   |                                ^\n"),
    # The fault at the end of the line, the warnings amid it: windows of 100 columns around the caret.
    ("long-line-window", ["check", "spec.json"], {"spec.json": MINIFIED}, 1,
     "spec.json:1:531: missing field `path` (at embed_data)\n"
     ' 1 | ...ed_qty", "qty": 1}}, "target": {"kind": "binary"}, "embed_data": {"kind": "csv"}, "crate_name": "x"}\n'
     "   |                                                                                   ^\n"
     "spec.json:1:393: warning: indicator `a` is not declared in `indicators` (at strategy.entry.gt[0])\n"
     ' 1 | ...{"type": "ema", "params": [7]}}, "entry": {"gt": ["a", 1]}, "exit": {"lt": ["a", 1]}, "sizing": {"ty...\n'
     "   |                                                      ^\n"
     "spec.json:1:419: warning: indicator `a` is not declared in `indicators` (at strategy.exit.lt[0])\n"
     ' 1 | ...[7]}}, "entry": {"gt": ["a", 1]}, "exit": {"lt": ["a", 1]}, "sizing": {"type": "fixed_qty", "qty": 1...\n'
     "   |                                                      ^\n"),
    ("inline-not-array", ["check", "s.json", "--inline", "c.json"], {"s.json": STRATEGY, "c.json": '{"t": 1}\n'}, 1,
     "c.json:1:1: invalid type: map, expected a sequence (at embed_data.candles)\n"
     ' 1 | {"t": 1}\n'
     "   | ^\n"),
    # A value a flag gave is named by that flag, not placed in the request built from the flags.
    ("flags-missing-mcu", ["check", "s.json", "--target", "no_std"], {"s.json": STRATEGY}, 1,
     "orvane-compile: missing field `mcu` (at target), from --target no_std\n" + MCU_HINT),
    # The fault, then the warning that explains it.
    ("bad-spec", ["compile", "s.json", "--dry-run"], {"s.json": STRATEGY.replace('"symbol"', '"sym"')}, 1,
     "s.json:1:1: bad spec: missing field `symbol` (at strategy)\n"
     " 1 | {\n"
     "   | ^\n"
     "s.json:2:3: warning: unknown field `sym`, expected one of " + STRATEGY_FIELDS + " (at strategy.sym)\n"
     ' 2 |   "sym": "BTC/USDT",\n'
     "   |   ^\n"),
    ("bad-spec-every-fault", ["check", "s.json"],
     {"s.json": STRATEGY.replace('"1h"', "1").replace('"qty": 1', '"qty": "1"')}, 1,
     "s.json:3:16: bad spec: invalid type: integer `1`, expected a string (at strategy.timeframe)\n"
     ' 3 |   "timeframe": 1,\n'
     "   |                ^\n"
     "s.json:7:42: bad spec: invalid type: string \"1\", expected f64 (at strategy.sizing.qty)\n"
     ' 7 |   "sizing": {"type": "fixed_qty", "qty": "1"}\n'
     "   |                                          ^\n"),
    ("bad-target", ["compile", "s.json", "--mcu", "thumbv9-none-eabi"], {"s.json": STRATEGY}, 1,
     'orvane-compile: bad target: mcu "thumbv9-none-eabi" is not in the allowlist (at target.mcu), '
     "from --mcu thumbv9-none-eabi\n  = hint: --mcu takes one of " + ", ".join(MCUS) + "\n"),
    ("bad-target-in-spec", ["check", "spec.json"],
     {"spec.json": spec_text('"target": {"kind": "no_std", "mcu": "thumbv9-none-eabi"}')}, 1,
     'spec.json:3:39: bad target: mcu "thumbv9-none-eabi" is not in the allowlist (at target.mcu)\n'
     ' 3 |   "target": {"kind": "no_std", "mcu": "thumbv9-none-eabi"}\n'
     "   |                                       ^\n" + MCU_HINT),
    ("bad-crate-name", ["check", "s.json"], {"s.json": STRATEGY.replace("BTC/USDT", "1000PEPE")}, 1,
     's.json:2:13: bad spec: crate name "1000pepe" is not a valid identifier (^[a-z][a-z0-9_]*$) '
     "(at strategy.symbol)\n"
     ' 2 |   "symbol": "1000PEPE",\n'
     "   |             ^\n"
     "  = hint: pass --crate-name NAME\n"),
    ("bad-crate-name-flag", ["check", "s.json", "--crate-name", "My"], {"s.json": STRATEGY}, 1,
     'orvane-compile: bad spec: crate name "My" is not a valid identifier (^[a-z][a-z0-9_]*$) '
     "(at crate_name), from --crate-name My\n"),
    ("csv-missing-dry-run", ["compile", "s.json", "--dry-run", "--csv", "no.csv"], {"s.json": STRATEGY}, 1,
     "orvane-compile: io: reading no.csv: " + NO_SUCH_FILE + " (at embed_data.path), from --csv no.csv\n"),
    ("csv-missing-build", ["compile", "s.json", "--csv", "no.csv"], {"s.json": STRATEGY}, 3,
     "orvane-compile: io: reading no.csv: " + NO_SUCH_FILE + " (at embed_data.path), from --csv no.csv\n"),
    ("csv-missing-in-spec", ["check", "spec.json"],
     {"spec.json": spec_text('"target": {"kind": "binary"}', '"embed_data": {"kind": "csv", "path": "no.csv"}')}, 1,
     "spec.json:4:41: io: reading no.csv: " + NO_SUCH_FILE + " (at embed_data.path)\n"
     ' 4 |   "embed_data": {"kind": "csv", "path": "no.csv"}\n'
     "   |                                         ^\n"),
    ("file-missing", ["compile", "no.json"], {}, 1,
     "orvane-compile: cannot read no.json: No such file or directory\n"),
    ("inline-file-missing", ["check", "s.json", "--inline", "no.json"], {"s.json": STRATEGY}, 1,
     "orvane-compile: cannot read no.json: No such file or directory\n"),
    ("file-not-utf8", ["check", "s.json"], {"s.json": b'{"symbol": "\xff"}'}, 1,
     "orvane-compile: s.json is not UTF-8 text (byte 12)\n"),
    ("hash-missing", ["hash", "no.bin"], {}, 1, "orvane-compile: reading no.bin: " + NO_SUCH_FILE + "\n"),
    ("mcu-with-other-target", ["compile", "s.json", "--target", "wasm", "--mcu", MCU], {"s.json": STRATEGY}, 2,
     "orvane-compile: error: --mcu applies only to --target no_std\n"),
]


def seconds_hidden(text):
    """``text`` with the seconds of status and summary lines ("in 1.2s", "after 0.3s") as <s>."""
    return re.sub(r"(in|after) \d+\.\ds\n", r"\1 <s>s\n", text)


@pytest.mark.parametrize(("argv", "status", "stderr"), [
    (["compile", "s.json", "--target", "binary", "--timeout", "0.3"], 3,
     "orvane-compile: building btc_usdt binary\norvane-compile: btc_usdt binary failed after <s>s\n"
     "orvane-compile: build: timed out after 0.3 s\n"),
    # With --json the fault is a JSON object on a line of its own.
    (["compile", "s.json", "--target", "binary", "--timeout", "2e-1", "--json"], 3,
     "orvane-compile: building btc_usdt binary\norvane-compile: btc_usdt binary failed after <s>s\n"
     '{"severity":"error","kind":"build","message":"timed out after 0.2 s","path":null,"line":null,'
     '"column":null,"file":null,"hint":null}\n'),
])
def test_timeout_stops_the_build(run, tmp_path, monkeypatch, argv, status, stderr):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "cargo").write_text("#!/bin/sh\nexec sleep 600\n")
    (bin_dir / "cargo").chmod(0o755)
    monkeypatch.setenv("PATH", f"{bin_dir}{os.pathsep}{os.environ['PATH']}")
    # No rustc to ask before the build, so that the machine's own, however slow, takes none of
    # the build's time limit.
    monkeypatch.setenv("RUSTC", str(bin_dir / "rustc"))
    got_status, out, err = run(argv, {"s.json": STRATEGY})
    assert (got_status, out, seconds_hidden(err)) == (status, "", stderr)


@pytest.mark.parametrize(("value", "last_line"), [
    ("0", "argument --timeout: not a positive number of seconds: '0'"),
    ("-1", "argument --timeout: not a positive number of seconds: '-1'"),
    ("inf", "argument --timeout: not a positive number of seconds: 'inf'"),
    ("nan", "argument --timeout: not a positive number of seconds: 'nan'"),
    ("soon", "argument --timeout: not a number of seconds: 'soon'"),
])
def test_timeout_must_be_positive(run, value, last_line):
    status, out, err = run(["compile", "s.json", f"--timeout={value}"], {"s.json": STRATEGY})
    assert (status, out, err.splitlines()[-1]) == (2, "", "orvane-compile compile: error: " + last_line)


def test_timeout_changes_no_dry_run(run):
    plain = run(["compile", "s.json", "--dry-run", "--json"], {"s.json": STRATEGY})
    assert plain[0] == 0
    assert run(["compile", "s.json", "--dry-run", "--json", "--timeout", "5"]) == plain


@pytest.mark.parametrize(("argv", "files", "status", "stderr"), [c[1:] for c in ERROR_CASES], ids=ids(ERROR_CASES))
def test_errors(run, argv, files, status, stderr):
    assert run(argv, files) == (status, "", stderr)


# ---------------------------------------------------------------- warnings and --strict

WARMPU = STRATEGY.replace('"timeframe": "1h",\n', '"timeframe": "1h",\n  "warmpu": 5,\n')
WARMPU_SHOWN = ("w.json:4:3: warning: unknown field `warmpu`, did you mean `warmup`? (at strategy.warmpu)\n"
                ' 4 |   "warmpu": 5,\n'
                "   |   ^\n")
WARMPU_JSON = ('{"severity":"warning","kind":"bad spec","message":"unknown field `warmpu`, did you mean '
               '`warmup`?","path":"strategy.warmpu","line":4,"column":3,"file":"w.json","hint":null}\n')
SLOW = STRATEGY.replace('{"a": {"type": "ema"}}', '{"slow": {"type": "ema"}}').replace('["a", 1]', '["slow", 1]', 1) \
    .replace('["a", 1]', '["slw", 1]')
SPEC_SLIP = spec_text('"target": {"kind": "wasm"}', '"opt_levl": "size"')
OPT_LEVL_SHOWN = ("spec.json:4:3: warning: unknown field `opt_levl`, did you mean `opt_level`? (at opt_levl)\n"
                  ' 4 |   "opt_levl": "size"\n'
                  "   |   ^\n")
STRICT = "orvane-compile: warnings are errors (--strict)\n"
# A compile spec without a target: its `strategy` member makes it one.
NO_TARGET = "{\n" + '  "strategy": ' + json.dumps(BASE) + ',\n  "crate_name": "x"\n}\n'


def dry_run_of(spec):
    """The compiler's answer to a dry run of ``spec``, as the command line prints it with --json."""
    return compiler_answer({"cmd": "compile", "dry_run": True, "spec": spec}) + "\n"


# (id, argv, files, exit status, stdout, stderr): warnings go to standard error, also on success;
# --strict fails on them
WARNING_CLI_CASES = [
    ("check-warns", ["check", "w.json"], {"w.json": WARMPU}, 0, "ok\n", WARMPU_SHOWN),
    ("check-strict", ["check", "w.json", "--strict"], {"w.json": WARMPU}, 1, "", WARMPU_SHOWN + STRICT),
    ("check-strict-clean", ["check", "s.json", "--strict"], {"s.json": STRATEGY}, 0, "ok\n", ""),
    ("dry-run-warns", ["compile", "w.json", "--dry-run"], {"w.json": WARMPU}, 0,
     dry_run_of({"strategy": dict(BASE, warmpu=5), "target": {"kind": "wasm"}}), WARMPU_SHOWN),
    ("dry-run-warns-json", ["compile", "w.json", "--dry-run", "--json"], {"w.json": WARMPU}, 0,
     dry_run_of({"strategy": dict(BASE, warmpu=5), "target": {"kind": "wasm"}}), WARMPU_JSON),
    ("check-json", ["check", "w.json", "--json"], {"w.json": WARMPU}, 0, '{"ok":true}\n', WARMPU_JSON),
    ("check-json-strict", ["check", "w.json", "--json", "--strict"], {"w.json": WARMPU}, 1, "",
     WARMPU_JSON.replace('"warning"', '"warning"', 1)),
    ("dry-run-strict", ["compile", "w.json", "--dry-run", "--strict"], {"w.json": WARMPU}, 1, "",
     WARMPU_SHOWN + STRICT),
    ("undeclared-indicator", ["check", "w.json"], {"w.json": SLOW}, 0, "ok\n",
     "w.json:6:19: warning: indicator `slw` is not declared in `indicators`, did you mean `slow`? "
     "(at strategy.exit.lt[0])\n"
     ' 6 |   "exit": {"lt": ["slw", 1]},\n'
     "   |                   ^\n"),
    ("spec-member", ["check", "spec.json"], {"spec.json": SPEC_SLIP}, 0, "ok\n", OPT_LEVL_SHOWN),
    ("spec-member-strict", ["check", "spec.json", "--strict", "--opt-level", "debug"], {"spec.json": SPEC_SLIP}, 1,
     "", OPT_LEVL_SHOWN + STRICT),
    ("spec-without-target", ["compile", "spec.json", "--dry-run", "--target", "binary", "--json"],
     {"spec.json": NO_TARGET}, 0, dry_run_of({"strategy": BASE, "crate_name": "x", "target": {"kind": "binary"}}), ""),
    ("spec-without-target-mcu", ["check", "spec.json", "--mcu", MCU], {"spec.json": NO_TARGET}, 0, "ok\n", ""),
    # A fault and the warning that explains it; --strict changes nothing about a fault.
    ("fault-and-warning-strict", ["check", "w.json", "--strict"],
     {"w.json": WARMPU.replace('"qty": 1', '"qty": "1"')}, 1, "",
     "w.json:8:42: bad spec: invalid type: string \"1\", expected f64 (at strategy.sizing.qty)\n"
     ' 8 |   "sizing": {"type": "fixed_qty", "qty": "1"}\n'
     "   |                                          ^\n" + WARMPU_SHOWN),
]


@pytest.mark.parametrize(("argv", "files", "status", "stdout", "stderr"), [c[1:] for c in WARNING_CLI_CASES],
                         ids=ids(WARNING_CLI_CASES))
def test_warnings(run, argv, files, status, stdout, stderr):
    assert run(argv, files) == (status, stdout, stderr)


def test_strict_several_files(run):
    status, out, err = run(["compile", "w.json", "s.json", "--dry-run", "--strict"],
                           {"w.json": WARMPU, "s.json": STRATEGY})
    lines = out.splitlines()
    start = "orvane-compile: compiling 2 files, up to 1 at a time\n"
    assert err.startswith(start)
    err = err[len(start):]
    summary = SUMMARY.fullmatch(err[len(WARMPU_SHOWN):])
    assert (status, lines[0], json.loads(lines[1])["manifest"]["crate_name"], len(lines)) == (
        1, '{"ok":false,"error":"warnings are errors (--strict): bad spec: unknown field `warmpu`, did you mean '
           '`warmup`? (at strategy.warmpu), at line 4 column 3 of w.json"}', "btc_usdt", 2)
    assert (err[:len(WARMPU_SHOWN)], summary is not None and summary.groups()) == (WARMPU_SHOWN, ("1", "1"))


NOT_UTF8 = "is not UTF-8; the compiler takes UTF-8 paths only\n"

# (id, argv, exit status, stderr): arguments that go into the request, with bytes that are not
# UTF-8 (Python hands them over as lone surrogates)
NOT_UTF8_CASES = [
    ("csv", ["compile", "s.json", "--dry-run", "--csv", os.fsdecode(b"bad\xff.csv")], 1,
     "orvane-compile: --csv: the path 'bad\\xff.csv' " + NOT_UTF8),
    ("csv-check", ["check", "s.json", "--csv", os.fsdecode(b"\xc3(.csv")], 1,
     "orvane-compile: --csv: the path '\\xc3(.csv' " + NOT_UTF8),
    ("out-dir", ["compile", "s.json", "--out-dir", os.fsdecode(b"out\xfe")], 1,
     "orvane-compile: --out-dir: the path 'out\\xfe' " + NOT_UTF8),
    ("hash-file", ["hash", os.fsdecode(b"a\xffb\xc3\xa9.bin")], 1,
     "orvane-compile: FILE: the path 'a\\xffb\u00e9.bin' " + NOT_UTF8),
    ("quote-and-newline", ["hash", os.fsdecode(b"it's\n\x80")], 1,
     "orvane-compile: FILE: the path 'it\\'s\\n\\x80' " + NOT_UTF8),
    ("crate-name", ["check", "s.json", "--crate-name", os.fsdecode(b"x\xff")], 1,
     "orvane-compile: --crate-name: the value 'x\\xff' is not UTF-8; the compiler takes UTF-8 values only\n"),
    ("mcu", ["check", "s.json", "--mcu", os.fsdecode(b"thumb\xff")], 1,
     "orvane-compile: --mcu: the value 'thumb\\xff' is not UTF-8; the compiler takes UTF-8 values only\n"),
    ("utf8-names-still-pass", ["check", "s.json", "--csv", "d\u00e4ta.csv", "--crate-name", "x"], 1,
     "orvane-compile: io: reading d\u00e4ta.csv: " + NO_SUCH_FILE + " (at embed_data.path), from --csv d\u00e4ta.csv\n"),
]


@pytest.mark.parametrize(("argv", "status", "stderr"), [c[1:] for c in NOT_UTF8_CASES], ids=ids(NOT_UTF8_CASES))
def test_arguments_not_utf8(run, tmp_path, argv, status, stderr):
    assert run(argv, {"s.json": STRATEGY}) == (status, "", stderr)
    assert [p.name for p in tmp_path.iterdir()] == ["s.json"]  # nothing written


@pytest.mark.parametrize(("argv", "stderr"), [
    (["hash", b"bad\xff.bin"], b"orvane-compile: FILE: the path 'bad\\xff.bin' " + NOT_UTF8.encode()),
    (["check", "s.json", "--csv", b"\xfe.csv"], b"orvane-compile: --csv: the path '\\xfe.csv' " + NOT_UTF8.encode()),
], ids=["hash", "csv"])
def test_arguments_not_utf8_from_the_shell(tmp_path, argv, stderr):
    (tmp_path / "s.json").write_text(STRATEGY)
    done = subprocess.run([sys.executable, "-m", "orvane_compile"] + argv, cwd=tmp_path, capture_output=True,
                          timeout=120)
    assert (done.returncode, done.stdout, done.stderr) == (1, b"", stderr)


class HungryCompiler:
    def command(self, text, echo=None):
        raise MemoryError

    def diagnose(self, text, **options):
        raise MemoryError


# (id, argv, what runs out of memory: the compiler the command line sends requests to, or the one that
# reads a file before it is embedded)
OUT_OF_MEMORY_CASES = [
    ("version", ["version"], "compiler"),
    ("hash", ["hash", "s.json"], "compiler"),
    ("check", ["check", "s.json"], "compiler"),
    ("compile", ["compile", "s.json", "--dry-run"], "compiler"),
    ("build", ["compile", "s.json", "--out-dir", "out"], "compiler"),
    ("reading-the-file", ["check", "s.json"], "reader"),
]


@pytest.mark.parametrize(("argv", "where"), [c[1:] for c in OUT_OF_MEMORY_CASES], ids=ids(OUT_OF_MEMORY_CASES))
def test_out_of_memory_is_one_line(run, monkeypatch, argv, where):
    from orvane_compile import api, cli

    if where == "compiler":
        monkeypatch.setattr(cli, "Compiler", HungryCompiler)
    else:
        monkeypatch.setattr(api, "Compiler", HungryCompiler)
    assert run(argv, {"s.json": STRATEGY}) == (1, "", "orvane-compile: out of memory\n")


# A stand-in cargo: crates named fail_* fail, the others get an artifact.
BATCH_CARGO = """#!/bin/sh
case "${PWD##*/}" in
  fail_*) echo "error: could not compile ${PWD##*/}" >&2; exit 101 ;;
esac
mkdir -p target/release && : > "target/release/${PWD##*/}"
"""
FAILING = STRATEGY.replace("BTC/USDT", "FAIL/X")
ANSWER = re.compile(r'\{"target":\{"kind":"binary"\},"path":"out/btc_usdt/target/release/btc_usdt",'
                    r'"manifest":\{.*\},"built":true\}\n')

# (id, argv, files, whether the stand-in cargo is on the PATH (the PATH's only entry, so no rustc: the
# target's standard library goes unchecked), exit status, stdout pattern, stderr with seconds as <s>)
BUILD_CASES = [
    ("built", ["compile", "s.json", "--target", "binary", "--out-dir", "out", "--json"], {"s.json": STRATEGY},
     True, 0, ANSWER.pattern,
     "orvane-compile: building btc_usdt binary\norvane-compile: built btc_usdt binary in <s>s\n"),
    ("failed", ["compile", "s.json", "--target", "binary", "--out-dir", "out"], {"s.json": FAILING}, True, 3, "",
     "orvane-compile: building fail_x binary\norvane-compile: fail_x binary failed after <s>s\n"
     "orvane-compile: build: error: could not compile fail_x\n"),
    ("out-dir-is-a-file", ["compile", "s.json", "--out-dir", "s.json", "--target", "binary"], {"s.json": STRATEGY},
     True, 3, "",
     "orvane-compile: building btc_usdt binary\norvane-compile: btc_usdt binary failed after <s>s\n"
     "orvane-compile: io: creating s.json/btc_usdt: Not a directory (os error 20)\n"),
    ("no-cargo", ["compile", "s.json", "--target", "binary", "--out-dir", "out"], {"s.json": STRATEGY}, False, 3, "",
     "orvane-compile: build: cargo is not on the PATH; fix: install Rust with rustup: https://rustup.rs\n"),
    ("invalid-before-no-cargo", ["compile", "s.json", "--out-dir", "out"],
     {"s.json": STRATEGY.replace('"symbol"', '"sym"')}, False, 1, "",
     "s.json:1:1: bad spec: missing field `symbol` (at strategy)\n 1 | {\n   | ^\n"
     "s.json:2:3: warning: unknown field `sym`, expected one of " + STRATEGY_FIELDS + " (at strategy.sym)\n"
     ' 2 |   "sym": "BTC/USDT",\n'
     "   |   ^\n"),
    ("warning-after-the-build", ["compile", "w.json", "--target", "binary", "--out-dir", "out", "--json"],
     {"w.json": WARMPU}, True, 0, ANSWER.pattern,
     "orvane-compile: building btc_usdt binary\norvane-compile: built btc_usdt binary in <s>s\n" + WARMPU_JSON),
    ("strict-before-no-cargo", ["compile", "w.json", "--out-dir", "out", "--strict"], {"w.json": WARMPU}, False, 1, "",
     WARMPU_SHOWN + STRICT),
    ("dry-run-needs-no-tools", ["compile", "s.json", "--dry-run", "--json"], {"s.json": STRATEGY}, False, 0,
     r'\{"target":\{"kind":"wasm"\},"manifest":.*,"built":false\}\n', ""),
]


@pytest.mark.parametrize(("argv", "files", "cargo", "status", "stdout", "stderr"), [c[1:] for c in BUILD_CASES],
                         ids=ids(BUILD_CASES))
def test_builds(run, tmp_path, monkeypatch, argv, files, cargo, status, stdout, stderr):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    if cargo:
        (bin_dir / "cargo").write_text(BATCH_CARGO.replace("#!/bin/sh\n", "#!/bin/sh\nPATH=/usr/bin:/bin\n")
                                       .replace('echo "error', 'printf "error'))
        (bin_dir / "cargo").chmod(0o755)
    monkeypatch.setenv("PATH", str(bin_dir))
    monkeypatch.delenv("RUSTC", raising=False)
    got_status, out, err = run(argv, files)
    assert (got_status, re.fullmatch(stdout, out) is not None, seconds_hidden(err)) == (status, True, stderr), out
    if not cargo:
        assert not (tmp_path / "out").exists()  # refused before anything was written


# A stand-in cargo failing as cargo does: the first error line, then more.
CARGO_ERRORS = ("   Compiling fail_x v0.1.0\nerror[E0425]: cannot find value `y` in this scope\n --> src/lib.rs:3:5\n"
                "error: could not compile `fail_x` (lib) due to 1 previous error\n")
FIRST_ERROR = "error[E0425]: cannot find value `y` in this scope"
FAILED_BUILD = "orvane-compile: building fail_x binary\norvane-compile: fail_x binary failed after <s>s\n"
BUILD_FLAGS = ["--target", "binary", "--out-dir", "out"]

# (id, argv, stdout, stderr, cargo's ending): the reason a build failed on one line, its first error, or
# the signal that ended cargo; all of cargo's error output with --verbose and in a batch's answer line
FAILED_BUILD_CASES = [
    ("first-error-line", ["compile", "f.json", *BUILD_FLAGS], "", FAILED_BUILD + "orvane-compile: build: "
     + FIRST_ERROR + "\n", "exit 101"),
    ("killed", ["compile", "f.json", *BUILD_FLAGS], "", FAILED_BUILD
     + "orvane-compile: build: cargo was killed by signal 9 (SIGKILL)\n", "kill -9 $$"),
    ("verbose-whole", ["compile", "f.json", *BUILD_FLAGS, "--verbose"], "",
     FAILED_BUILD + "orvane-compile: build: " + CARGO_ERRORS, "exit 101"),
    ("batch", ["compile", "f.json", "f.json", *BUILD_FLAGS, "--crate-name", "fail_x"],
     json.dumps({"ok": False, "error": "build: " + CARGO_ERRORS}, separators=(",", ":")) + "\n"
     + '{"ok":false,"error":"io: refusing to build into out/fail_x: f.json (file 1 of this batch) builds there too"}\n',
     "orvane-compile: compiling 2 files, up to 1 at a time\n"
     "orvane-compile: f.json: io: refusing to build into out/fail_x: f.json (file 1 of this batch) builds there too\n"
     "orvane-compile: f.json: build: " + FIRST_ERROR + "\norvane-compile: 0 succeeded, 2 failed in <s>s\n",
     "exit 101"),
]


@pytest.mark.parametrize(("argv", "stdout", "stderr", "ending"), [c[1:] for c in FAILED_BUILD_CASES],
                         ids=ids(FAILED_BUILD_CASES))
def test_failed_build_reason(run, tmp_path, monkeypatch, argv, stdout, stderr, ending):
    use_tool_chain(monkeypatch, tool_chain(tmp_path, cargo=f"printf '%s' '{CARGO_ERRORS}' >&2\n{ending}\n", rustc=None))
    got_status, out, err = run(argv, {"f.json": FAILING})
    assert (got_status, out, seconds_hidden(err)) == (3, stdout, stderr)


# (id, argv, last line of stderr)
USAGE_CASES = [
    ("no-command", [], "orvane-compile: error: the following arguments are required: COMMAND"),
    ("no-file", ["compile"], "orvane-compile compile: error: the following arguments are required: FILE"),
    ("csv-and-inline", ["check", "s.json", "--csv", "a", "--inline", "b"],
     "orvane-compile check: error: argument --inline: not allowed with argument --csv"),
    ("unknown-flag", ["version", "--fast"], "orvane-compile: error: unrecognized arguments: --fast"),
    ("dry-run-not-for-check", ["check", "s.json", "--dry-run"],
     "orvane-compile: error: unrecognized arguments: --dry-run"),
]


@pytest.mark.parametrize(("argv", "last_line"), [c[1:] for c in USAGE_CASES], ids=ids(USAGE_CASES))
def test_usage_errors(run, argv, last_line):
    status, out, err = run(argv)
    assert (status, out, err.splitlines()[-1], err.startswith("usage: orvane-compile")) == (2, "", last_line, True)


# ---------------------------------------------------------------- manners

EMPTY_OUT_DIR = "orvane-compile: error: --out-dir must name a folder, not be empty\n"

# (id, argv, exit status, stdout, stderr)
MANNER_CASES = [
    ("version-flag-wins", ["--version", "compile", "no.json"], 0, VERSION_LINE, ""),
    ("empty-out-dir", ["compile", "s.json", "--out-dir", ""], 2, "", EMPTY_OUT_DIR),
    ("empty-out-dir-joined", ["compile", "s.json", "--out-dir="], 2, "", EMPTY_OUT_DIR),
    ("empty-out-dir-dry-run", ["compile", "s.json", "--dry-run", "--out-dir", ""], 2, "", EMPTY_OUT_DIR),
    ("empty-out-dir-several-files", ["compile", "s.json", "s.json", "--out-dir", ""], 2, "", EMPTY_OUT_DIR),
]


@pytest.mark.parametrize(("argv", "status", "stdout", "stderr"), [c[1:] for c in MANNER_CASES],
                         ids=ids(MANNER_CASES))
def test_manners(run, tmp_path, argv, status, stdout, stderr):
    assert run(argv, {"s.json": STRATEGY}) == (status, stdout, stderr)
    assert [p.name for p in tmp_path.iterdir()] == ["s.json"]  # nothing written


COMMANDS = ["compile", "check", "targets", "version", "hash", "verify", "doctor"]
HELP_END = """\
exit status:
  0    success (doctor: every target checked is ready; verify: "ok")
  1    invalid input: the compiler refused it, or a file could not be read
       (verify: a difference)
  2    usage
  3    build failure: a "build: " or "io: " error during a build, or a tool the
       build needs missing (doctor: a target is not ready)
  130  interrupted
"""


def test_help_lists_commands_and_exit_status(run, monkeypatch):
    monkeypatch.setenv("COLUMNS", "100")
    status, out, err = run(["--help"])
    listed = re.findall(r"^    (\w+) +\S", out, re.MULTILINE)  # argparse's list of subcommands, with their help
    assert (status, err, listed, out.endswith("\n\n" + HELP_END)) == (0, "", COMMANDS, True)
    assert "--version" in out


@pytest.mark.parametrize(("command", "lines"), [
    ("hash", ["Print the size and SHA-256 of FILE (normally a built artifact): len, sha256.",
              "  FILE          the file to digest (a regular file)"]),
    ("doctor", ["  --target {wasm,binary,no_std}",
                "  --mcu TRIPLE          check only this MCU triple (implies no_std)"]),
])
def test_subcommand_help(run, monkeypatch, command, lines):
    monkeypatch.setenv("COLUMNS", "100")
    status, out, err = run([command, "--help"])
    assert (status, err, [line for line in lines if line not in out.splitlines()]) == (0, "", [])


# ---------------------------------------------------------------- several files

MISSING_MCU = spec_text('"target": {"kind": "no_std"}')
ONCE = "refusing to build into out/btc_usdt: a.json (file 1 of this batch) builds there too"
SUMMARY = re.compile(r"orvane-compile: (\d+) succeeded, (\d+) failed in \d+\.\ds\n")

# (id, argv, files, exit status, stdout lines ("=" + FILE: the answer of `compile FILE` with the same
# flags alone), stderr before the summary, (succeeded, failed)): each file's faults are shown when
# known, so those found before any build starts (a missing file, a refused folder) come first

BATCH_CASES = [
    ("build-failure", ["compile", "a.json", "f.json", "--target", "binary", "--out-dir", "out"],
     {"a.json": STRATEGY, "f.json": FAILING}, 3,
     ["=a.json", '{"ok":false,"error":"build: error: could not compile fail_x\\n"}'],
     "orvane-compile: compiling 2 files, up to 1 at a time\n"
     "orvane-compile: f.json: build: error: could not compile fail_x\n", ("1", "1")),
    ("files-after-flags", ["compile", "f.json", "--target", "binary", "--out-dir", "out", "--jobs", "2",
                           "no.json", "a.json"],
     {"a.json": STRATEGY, "f.json": FAILING}, 3,
     ['{"ok":false,"error":"build: error: could not compile fail_x\\n"}',
      '{"ok":false,"error":"cannot read no.json: No such file or directory"}', "=a.json"],
     "orvane-compile: compiling 3 files, up to 2 at a time\n"
     "orvane-compile: no.json: cannot read no.json: No such file or directory\n"
     "orvane-compile: f.json: build: error: could not compile fail_x\n", ("1", "2")),
    # A fault in a file names it already; one in text built from the flags, or with no place, is
    # said to be in the compile of that file.
    ("invalid-input-is-1", ["compile", "spec.json", "a.json", "s.json", "--dry-run", "--jobs", "3"],
     {"a.json": STRATEGY, "spec.json": MISSING_MCU, "s.json": BROKEN}, 1,
     ['{"ok":false,"error":"missing field `mcu` (at target), at line 3 column 30 of spec.json"}',
      "=a.json",
      '{"ok":false,"error":"s.json is not valid JSON: expected `,` or `}`, at line 4 column 3 of s.json"}'],
     "orvane-compile: compiling 3 files, up to 3 at a time\n"
     "s.json:4:3: s.json is not valid JSON: expected `,` or `}`\n"
     ' 4 |   "indicators": {"a": {"type": "ema"}},\n'
     "   |   ^\n"
     "spec.json:3:30: missing field `mcu` (at target)\n"
     ' 3 |   "target": {"kind": "no_std"}\n'
     "   |                              ^\n" + MCU_HINT, ("1", "2")),
    ("io-in-a-dry-run-is-1", ["compile", "a.json", "spec.json", "--dry-run", "--csv", "no.csv"],
     {"a.json": STRATEGY, "spec.json": SPEC_WASM}, 1,
     ['{"ok":false,"error":"io: reading no.csv: ' + NO_SUCH_FILE + ' (at embed_data.path), from --csv no.csv"}'] * 2,
     "orvane-compile: compiling 2 files, up to 1 at a time\n"
     "orvane-compile: a.json: io: reading no.csv: " + NO_SUCH_FILE + " (at embed_data.path), from --csv no.csv\n"
     "orvane-compile: spec.json: io: reading no.csv: " + NO_SUCH_FILE + " (at embed_data.path), from --csv no.csv\n",
     ("0", "2")),
    # Two files of one crate name: the later is refused before anything is built.
    ("one-folder-once", ["compile", "a.json", "f.json", "c.json", "--target", "binary", "--out-dir", "out",
                         "--jobs", "2"],
     {"a.json": STRATEGY, "f.json": FAILING, "c.json": STRATEGY}, 3,
     ["=a.json", '{"ok":false,"error":"build: error: could not compile fail_x\\n"}',
      '{"ok":false,"error":"io: ' + ONCE + '"}'],
     "orvane-compile: compiling 3 files, up to 2 at a time\n"
     "orvane-compile: c.json: io: " + ONCE + "\n"
     "orvane-compile: f.json: build: error: could not compile fail_x\n", ("1", "2")),
    ("all-succeed", ["compile", "a.json", "spec.json", "--target", "binary", "--out-dir", "out", "--jobs", "2"],
     {"a.json": STRATEGY, "spec.json": SPEC_WASM.replace("BTC/USDT", "ETH/USDT")}, 0, ["=a.json", "=spec.json"],
     "orvane-compile: compiling 2 files, up to 2 at a time\n", ("2", "0")),
]


@pytest.mark.parametrize(("argv", "files", "status", "stdout", "stderr", "counts"), [c[1:] for c in BATCH_CASES],
                         ids=ids(BATCH_CASES))
def test_several_files(run, tmp_path, monkeypatch, argv, files, status, stdout, stderr, counts):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "cargo").write_text(BATCH_CARGO)
    (bin_dir / "cargo").chmod(0o755)
    monkeypatch.setenv("PATH", f"{bin_dir}{os.pathsep}{os.environ['PATH']}")
    monkeypatch.delenv("CARGO_BUILD_JOBS", raising=False)
    paths = [arg for arg in argv[1:] if arg in files or arg == "no.json"]
    flags = [arg for arg in argv[1:] if arg not in paths and arg not in ("--jobs", "2", "3")]
    got_status, out, err = run(argv, files)
    alone = {path[1:]: run(["compile", path[1:], *flags, "--json"]) for path in stdout if path.startswith("=")}
    # Each alone: its answer, and only the status lines of its build, if it is one.
    status_lines = r"(orvane-compile: building (\w+) binary\norvane-compile: built \2 binary in \d+\.\ds\n)?"
    assert [answer for answer in alone.values() if answer[0] != 0 or not re.fullmatch(status_lines, answer[2])] == []
    expected = [alone[line[1:]][1] if line.startswith("=") else line + "\n" for line in stdout]
    summary = SUMMARY.search(err)
    assert (got_status, out, err[:summary.start()], summary.end(), summary.groups()) == (
        status, "".join(expected), stderr, len(err), counts)
    assert "CARGO_BUILD_JOBS" not in os.environ


def test_standard_input_only_once(run):
    status, out, err = run(["compile", "-", "a.json", "-"], {"a.json": STRATEGY}, stdin=STRATEGY)
    assert (status, out, err) == (2, "", "orvane-compile: error: standard input (-) can be given only once\n")


@pytest.mark.parametrize(("value", "last_line"), [
    ("0", "argument --jobs: must be at least 1: '0'"),
    ("two", "argument --jobs: not a whole number: 'two'"),
])
def test_jobs_must_be_positive(run, value, last_line):
    status, out, err = run(["compile", "s.json", "s.json", "--jobs", value], {"s.json": STRATEGY})
    assert (status, out, err.splitlines()[-1]) == (2, "", "orvane-compile compile: error: " + last_line)


# ---------------------------------------------------------------- terminals


class Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize(("argv", "stdout"), [
    (["hash", "e"], '{\n  "len": 0,\n  ' + EMPTY_SHA256.replace(":", ": ") + "\n}\n"),
    (["version"], VERSION_LINE),
    (["version", "--json"], VERSION + "\n"),
    (["--json", "version"], VERSION + "\n"),
    (["targets"], json.dumps(json.loads(TARGETS), indent=2) + "\n"),
    (["check", "s.json"], "\x1b[1;32mok\x1b[0m\n"),
], ids=["indented", "version", "json-flag", "json-flag-first", "targets", "check"])
def test_terminal_output(run, monkeypatch, argv, stdout):
    terminal = Terminal()
    monkeypatch.setattr(sys, "stdout", terminal)
    assert run(argv, {"s.json": STRATEGY, "e": ""})[0] == 0
    assert terminal.getvalue() == stdout


# Colour: what the CLI writes itself (labels, gutters and carets, success and summary words), never
# the user's text, which stays escaped; on a terminal unless NO_COLOR is set (not empty) or --color
# never; off a terminal only with --color always; never with --json.
RED, YELLOW, GREEN, BLUE, BOLD, OFF = "\x1b[1;31m", "\x1b[1;33m", "\x1b[1;32m", "\x1b[1;34m", "\x1b[1m", "\x1b[0m"
WARMPU_COLOURED = (f"w.json:4:3: {YELLOW}warning:{OFF} {BOLD}unknown field `warmpu`, did you mean `warmup`? "
                   f"(at strategy.warmpu){OFF}\n"
                   f'{BLUE} 4 |{OFF}   "warmpu": 5,\n'
                   f"{BLUE}   |{OFF}   {YELLOW}^{OFF}\n")
ESCAPED_COLOURED = (f"s.json:1:13: {RED}s.json" + NOT_JSON + "control character (\\u0000-\\u001F) found while "
                    f"parsing a string{OFF}\n"
                    f'{BLUE} 1 |{OFF} {{"symbol": "\N{REPLACEMENT CHARACTER}[31m"}}\n'
                    f"{BLUE}   |{OFF}             {RED}^{OFF}\n")

# (id, argv, files, NO_COLOR, which streams are terminals, exit status, stdout, stderr)
COLOUR_CASES = [
    ("warning", ["check", "w.json"], {"w.json": WARMPU}, None, "both", 0, f"{GREEN}ok{OFF}\n", WARMPU_COLOURED),
    ("no-color-empty-is-unset", ["check", "w.json"], {"w.json": WARMPU}, "", "both", 0, f"{GREEN}ok{OFF}\n",
     WARMPU_COLOURED),
    ("no-color", ["check", "w.json"], {"w.json": WARMPU}, "1", "both", 0, "ok\n", WARMPU_SHOWN),
    ("never", ["check", "w.json", "--color=never"], {"w.json": WARMPU}, None, "both", 0, "ok\n",
     WARMPU_SHOWN),
    ("only-stderr-a-terminal", ["check", "w.json"], {"w.json": WARMPU}, None, "stderr", 0, "ok\n", WARMPU_COLOURED),
    ("not-a-terminal", ["check", "w.json"], {"w.json": WARMPU}, None, "none", 0, "ok\n", WARMPU_SHOWN),
    ("always-off-a-terminal", ["--color", "always", "check", "w.json"], {"w.json": WARMPU}, None, "none", 0,
     f"{GREEN}ok{OFF}\n", WARMPU_COLOURED),
    ("always-beats-no-color", ["check", "w.json", "--color", "always"], {"w.json": WARMPU}, "1", "none", 0,
     f"{GREEN}ok{OFF}\n", WARMPU_COLOURED),
    ("json-never", ["--color", "always", "check", "w.json", "--json"], {"w.json": WARMPU}, None, "both", 0,
     '{"ok":true}\n', WARMPU_JSON),
    ("user-text-escaped", ["check", "s.json"], {"s.json": '{"symbol": "\x1b[31m"}'}, None, "both", 1, "",
     ESCAPED_COLOURED),
    ("usage-error", ["compile", "s.json", "--out-dir", ""], {}, None, "both", 2, "",
     f"orvane-compile: {RED}error:{OFF} --out-dir must name a folder, not be empty\n"),
    ("summary", ["compile", "s.json", "no.json", "--dry-run", "--color", "always"], {"s.json": STRATEGY}, None, "none",
     1,
     None, "orvane-compile: compiling 2 files, up to 1 at a time\n"
     f"orvane-compile: no.json: {RED}cannot read no.json: No such file or directory{OFF}\n"
     f"orvane-compile: {GREEN}1 succeeded{OFF}, {RED}1 failed{OFF} in <s>s\n"),
]


@pytest.mark.parametrize(("argv", "files", "no_color", "terminals", "status", "stdout", "stderr"),
                         [c[1:] for c in COLOUR_CASES], ids=ids(COLOUR_CASES))
def test_colour(run, monkeypatch, argv, files, no_color, terminals, status, stdout, stderr):
    streams = {name: Terminal() if terminals in ("both", name) else io.StringIO() for name in ("stdout", "stderr")}
    for name, stream in streams.items():
        monkeypatch.setattr(sys, name, stream)
    if no_color is not None:
        monkeypatch.setenv("NO_COLOR", no_color)
    got = run(argv, files)[0]
    out = None if stdout is None else streams["stdout"].getvalue()  # None: a batch's answers, checked elsewhere
    assert (got, out, seconds_hidden(streams["stderr"].getvalue())) == (status, stdout, stderr)


def run_on_terminal(argv, cwd, env, size=None):
    """Run argv with all three standard streams on a pseudo-terminal: (status, output).

    ``size`` (rows, columns) gives the terminal a size; a new one has none.
    """
    master, slave = os.openpty()
    if size is not None:
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", *size, 0, 0))
    process = subprocess.Popen(argv, stdin=slave, stdout=slave, stderr=slave, cwd=cwd, env=env)
    os.close(slave)
    chunks = []
    try:
        while select.select([master], [], [], 120)[0]:
            try:
                data = os.read(master, 65536)
            except OSError:  # the terminal closes when the process ends
                break
            if not data:
                break
            chunks.append(data)
    finally:
        os.close(master)
    return process.wait(timeout=120), b"".join(chunks).decode().replace("\r\n", "\n")


def failing_cargo_only(tmp_path):
    """An environment whose PATH holds only a cargo that fails (and no rustc, so no standard library is
    looked for)."""
    (tmp_path / "bin").mkdir()
    (tmp_path / "bin" / "cargo").write_text("#!/bin/sh\nprintf 'error: could not compile' >&2\nexit 101\n")
    (tmp_path / "bin" / "cargo").chmod(0o755)
    env = dict(os.environ, PATH=str(tmp_path / "bin"), TERM="xterm")
    for name in ("RUSTC", "NO_COLOR"):
        env.pop(name, None)
    return env


def test_terminal_build_shows_a_status_line(tmp_path):
    (tmp_path / "s.json").write_text(STRATEGY)
    status, output = run_on_terminal(
        [sys.executable, "-m", "orvane_compile", "compile", "s.json", "--target", "binary", "--out-dir", "out"],
        tmp_path, failing_cargo_only(tmp_path))
    assert status == 3
    pattern = (r"(\rbtc_usdt binary \d+\.\ds\x1b\[K)+\norvane-compile: \x1b\[1;31mbuild:\x1b\[0m "
               r"\x1b\[1merror: could not compile\x1b\[0m\n")
    assert re.fullmatch(pattern, output), output


def test_terminal_status_names_the_mcu(tmp_path):
    (tmp_path / "spec.json").write_text(SPEC_NO_STD)
    status, output = run_on_terminal([sys.executable, "-m", "orvane_compile", "compile", "spec.json"], tmp_path,
                                     dict(failing_cargo_only(tmp_path), NO_COLOR="1"))
    assert status == 3
    assert re.fullmatch(r"(\rbtc_usdt no_std/" + re.escape(MCU) + r" \d+\.\ds\x1b\[K)+\n"
                        r"orvane-compile: build: error: could not compile\n", output), output


def test_terminal_tool_chain_failure_comes_before_the_status_line(tmp_path):
    (tmp_path / "s.json").write_text(STRATEGY)
    (tmp_path / "empty").mkdir()
    status, output = run_on_terminal(
        [sys.executable, "-m", "orvane_compile", "compile", "s.json", "--target", "binary", "--out-dir", "out"],
        tmp_path, dict(os.environ, PATH=str(tmp_path / "empty"), NO_COLOR="1"))
    assert (status, output) == (
        3, "orvane-compile: build: cargo is not on the PATH; fix: install Rust with rustup: https://rustup.rs\n")


def test_terminal_shows_a_progress_bar_for_several_files(tmp_path):
    (tmp_path / "s.json").write_text(STRATEGY)
    (tmp_path / "t.json").write_text(STRATEGY.replace("BTC/USDT", "ETH/USDT"))
    status, output = run_on_terminal(
        [sys.executable, "-m", "orvane_compile", "compile", "s.json", "t.json", "--dry-run"], tmp_path,
        dict(os.environ, NO_COLOR="1"), size=(24, 100))
    # What stays on each line once the terminal has carried out its carriage returns.
    shown = [line.rsplit("\r", 1)[-1] for line in output.split("\n")[:-1]]
    answers = [json.loads(line)["manifest"]["crate_name"] for line in shown[1:-1]]
    summary = re.fullmatch(r"orvane-compile: 2 succeeded, 0 failed in \d+\.\ds", shown[-1])
    assert (status, shown[0], answers, summary is not None) == (
        0, "orvane-compile: compiling 2 files, up to 1 at a time", ["btc_usdt", "eth_usdt"], True), output
    assert re.search(r"\r +0%\| +\| 0/2 \[", output), output


def test_terminal_batch_shows_running_builds_and_failures_at_once(tmp_path):
    """A failure is shown while an earlier file still builds, which the bar goes on naming."""
    env = failing_cargo_only(tmp_path)
    (tmp_path / "bin" / "cargo").write_text(BATCH_CARGO.replace("#!/bin/sh\n", "#!/bin/sh\nPATH=/usr/bin:/bin\n")
                                            .replace("mkdir", "sleep 2\nmkdir"))
    (tmp_path / "a.json").write_text(STRATEGY)
    (tmp_path / "f.json").write_text(FAILING)
    status, output = run_on_terminal(
        [sys.executable, "-m", "orvane_compile", "compile", "a.json", "f.json", "--target", "binary", "--jobs", "2",
         "--out-dir", "out"], tmp_path, dict(env, NO_COLOR="1"), size=(24, 120))
    failure = output.find("orvane-compile: f.json: build: error: could not compile fail_x\n")
    still_building = output.rfind(", building btc_usdt ")
    summary = re.search(r"\rorvane-compile: 1 succeeded, 1 failed in \d+\.\ds\n$", output)
    assert (status, output.startswith("orvane-compile: compiling 2 files, up to 2 at a time\n"),
            0 < failure < still_building, summary is not None) == (3, True, True, True), output


def test_terminal_answer_is_indented(tmp_path):
    status, output = run_on_terminal([sys.executable, "-m", "orvane_compile", "targets"], tmp_path, dict(os.environ))
    assert (status, output) == (0, json.dumps(json.loads(TARGETS), indent=2) + "\n")


# ---------------------------------------------------------------- entry points

SCRIPT = Path(sys.executable).with_name("orvane-compile")


@pytest.mark.parametrize("argv", [
    [sys.executable, "-m", "orvane_compile"],
    [str(SCRIPT)],
], ids=["python-m", "console-script"])
def test_entry_points(tmp_path, argv):
    (tmp_path / "bad.json").write_text("{}")
    done = subprocess.run(argv + ["version"], cwd=tmp_path, capture_output=True, text=True)
    assert (done.returncode, done.stdout, done.stderr) == (0, VERSION_LINE, "")
    done = subprocess.run(argv + ["check", "bad.json"], cwd=tmp_path, capture_output=True, text=True)
    # Every field missing, each at the object that lacks it.
    assert (done.returncode, done.stdout, done.stderr) == (1, "", "".join(
        f"bad.json:1:1: bad spec: missing field `{field}` (at strategy)\n 1 | {{}}\n   | ^\n"
        for field in ("symbol", "timeframe", "indicators", "entry", "exit", "sizing")))


# --verbose: cargo's lines as they come, after the crate name, warnings of a success included;
# the answers on standard output as without it.
VERBOSE_CASES = [
    (["compile", "a.json", "--target", "binary", "--crate-name", "one", "--verbose", "--json"],
     "orvane-compile: building one binary\none: warning: unused variable\none: done\n"
     "orvane-compile: built one binary in <s>s\n"),
    (["compile", "a.json", "b.json", "--target", "binary", "--verbose", "--json"],
     "orvane-compile: compiling 2 files, up to 1 at a time\n"
     + "".join(f"{crate}: warning: unused variable\n{crate}: done\n" for crate in ("btc_usdt", "eth_usdt"))
     + "orvane-compile: 2 succeeded, 0 failed in <s>s\n"),
]


@pytest.mark.parametrize(("argv", "stderr"), VERBOSE_CASES)
def test_verbose_streams_cargo_output(tmp_path, argv, stderr):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "cargo").write_text("#!/bin/sh\nPATH=/usr/bin:/bin\necho 'warning: unused variable' >&2\n"
                                   'mkdir -p target/release && : > "target/release/${PWD##*/}"\nprintf done\n')
    (bin_dir / "cargo").chmod(0o755)
    (tmp_path / "a.json").write_text(STRATEGY)
    (tmp_path / "b.json").write_text(STRATEGY.replace("BTC/USDT", "ETH/USDT"))
    env = {**os.environ, "PATH": f"{bin_dir}{os.pathsep}{os.environ['PATH']}"}
    env.pop("ORVANE_CACHE_DIR", None)
    done = subprocess.run([sys.executable, "-m", "orvane_compile"] + argv, cwd=tmp_path, capture_output=True,
                          text=True, timeout=120, env=env)
    quiet = subprocess.run([sys.executable, "-m", "orvane_compile"] + [a for a in argv if a != "--verbose"],
                           cwd=tmp_path, capture_output=True, text=True, timeout=120, env=env)
    assert (done.returncode, done.stdout) == (0, quiet.stdout)
    assert seconds_hidden(done.stderr) == stderr
