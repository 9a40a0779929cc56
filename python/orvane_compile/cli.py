"""The ``orvane-compile`` command line (also ``python -m orvane_compile``).

    orvane-compile compile FILE [--target wasm|binary|no_std] [--mcu TRIPLE]
                   [--opt-level debug|release|size] [--crate-name NAME]
                   [--out-dir DIR] [--dry-run] [--timeout SECONDS]
                   [--csv PATH | --inline PATH] [--strict] [--json]
    orvane-compile compile FILE FILE... [same flags] [--jobs N]
    orvane-compile check FILE [same spec flags]
    orvane-compile targets | version [--json]
    orvane-compile hash FILE [--handle] [--json]
    orvane-compile doctor [--target wasm|binary|no_std] [--mcu TRIPLE] [--json]
    orvane-compile --version
    (any command takes --color auto|always|never, before or after it)

FILE (or "-" for standard input) holds either a bare strategy document or a
whole compile spec; it is a compile spec when it is a JSON object with a
``strategy`` member. Flags override or complete the compile spec.

Exit status: 0 success, 1 invalid input (the compiler refused it, a file
could not be read, or with ``--strict`` a warning), 2 usage, 3 build failure
(a "build: " or "io: " error during a build, a tool the build needs missing;
for doctor: a target not ready).

Before a build, the request is judged as a dry run and the tool chain is
checked for its target (``doctor``); what it surely lacks fails the build at
once. A status line on standard error follows the build: redrawn with the
elapsed time on a terminal, else a line when it starts and one when it ends.

A failed build is shown by the first line of cargo's error output that
starts with "error" (all of it with ``--verbose``; ``--json`` keeps it whole).

Several files to ``compile`` are compiled with the same flags, up to
``--jobs`` at a time, each from a thread with a ``Compiler`` of its own, once
every file has been judged as a dry run: a file whose project folder an
earlier file builds in is refused ("io: refusing to build into ..."). Ctrl-C
kills the builds running and starts no other.
Standard output gets one compact line per file, in the order given: the
compiler's answer, or ``{"ok":false,"error":...}`` with the first fault and
its place on one line. A start line opens standard error; each failure is
reported there as soon as it is known, a line that names no file (a fault
with no place, or one in text built from the flags) naming the file compiled;
a summary line ends the run. When standard error is a terminal, a progress
bar stands below, naming the builds running with their seconds. The exit
status is the worst of the files' statuses.

Colour (``--color``, default auto: a terminal, and NO_COLOR not set to
anything) goes around what this module writes itself: labels, gutters and
carets, ``ok`` and the summary; never around an answer, nor with ``--json``.

Positions. The user's texts go into the request verbatim, and the request
records where each of its bytes came from (see ``_request``):

- a compile-spec file is embedded whole as the request's ``spec``; when flags
  override some of its members, the others are still copied byte for byte
  (only the overridden ones are left out);
- a bare strategy file is embedded whole as the compile spec's ``strategy``;
- an ``--inline`` candle file is embedded whole as the dataset's candles.

So every fault and warning the compiler places (a line and column of the
request) is mapped back: it is shown as "FILE:LINE:COLUMN: message (at PATH)"
in the user's file (columns count bytes, as the compiler counts them), with
that line and a caret under the column. A fault in a value a flag gave
(``--target no_std`` without ``--mcu``) is named by that flag ("from
--target no_std"), and its hint never suggests the flag just given; a fault
elsewhere in text generated from flags is placed in "the request built from
the command line", and that line of the request is shown; a fault with no
place is one line. Controls a terminal would obey are printed as escapes. A text that is not JSON is refused before it is embedded,
with the compiler's own reader's message and place in it. Warnings (members
nothing declares, indicators the strategy does not declare) are shown on
standard error after the faults, also when the command succeeds; with
``--strict`` they fail it.
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import functools
import json
import math
import os
import stat
import sys
import threading
import time
import unicodedata
from collections.abc import Mapping, Sequence
from concurrent.futures import Future
from contextvars import ContextVar
from typing import Any, NoReturn, TextIO

from tqdm import tqdm

from . import _batch
from ._model import KIND_PREFIXES, VOCABULARY, Target, TargetKind, checked_mcu, is_compile_spec
from ._orvane_compile import Compiler
from ._request import Location, Request, Source
from .api import (
    CompileError,
    Diagnostic,
    Located,
    Outcome,
    Writer,
    checked_out_dir,
    compile_request,
    default_cache_dir,
    document_spec,
    exchange,
    inline_writer,
    not_utf8,
    parsed_text,
    target_value,
    tool_chain_check,
    value_writer,
)
from .doctor import doctor, project_folder

__all__ = ["main"]

PROG = "orvane-compile"

EXIT_OK = 0
EXIT_INVALID = 1
EXIT_USAGE = 2
EXIT_BUILD = 3

# Lines longer than this (in columns) are shown as a window around the caret.
_EXCERPT_WIDTH = 100


class _UsageError(Exception):
    pass


class _InputError(Exception):
    """A file that could not be read; the message is the whole line shown."""


_EPILOG = """\
exit status:
  0    success (doctor: every target checked is ready)
  1    invalid input: the compiler refused it, or a file could not be read
  2    usage
  3    build failure: a "build: " or "io: " error during a build, or a tool the
       build needs missing (doctor: a target is not ready)
  130  interrupted
"""


def _version_line(answer: Mapping[str, Any]) -> str:
    """The version answer for a person: "orvane-compile <version> (backtest dep <version>)"."""
    return f"{PROG} {answer['version']} (backtest dep {answer['backtest_dep']})\n"


class _Version(argparse.Action):
    """--version: the line ``version`` prints, from the version the compiler answers."""

    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, **kwargs)

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: Any,
                 option_string: str | None = None) -> None:
        sys.stdout.write(_version_line(json.loads(Compiler().command('{"cmd":"version"}'))))
        sys.stdout.flush()
        parser.exit()


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.print_usage(sys.stderr)
        raise _UsageError(f"{self.prog}: error: {message}")


def _seconds(text: str) -> float:
    """A positive, finite number of seconds, for --timeout."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not math.isfinite(value) or value <= 0:
        raise argparse.ArgumentTypeError(f"not a positive number of seconds: {text!r}")
    return value


def _jobs(text: str) -> int:
    """A positive number of files to compile at a time, for --jobs."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {text!r}")
    return value


_COLOR_CHOICES = ("auto", "always", "never")
_COLOR_HELP = ("colour the CLI's own labels, carets and summaries: auto (default: on a terminal, unless "
               "NO_COLOR is set), always or never; never with --json")


def _parser() -> argparse.ArgumentParser:
    output = _Parser(add_help=False)
    output.add_argument("--json", action="store_true", dest="compact",
                        help="print compact JSON even on a terminal; errors and warnings go to "
                             "standard error as one JSON object per line")
    output.add_argument("--color", choices=_COLOR_CHOICES, metavar="WHEN", help=_COLOR_HELP)

    spec = _Parser(add_help=False)
    spec.add_argument("file", metavar="FILE",
                      help='a strategy document or a compile spec (JSON); "-" reads standard input')
    spec.add_argument("--target", choices=VOCABULARY["targets"],
                      help="build target (default: the compile spec's, else wasm; --mcu implies no_std)")
    spec.add_argument("--mcu", metavar="TRIPLE", help="microcontroller target triple for no_std")
    spec.add_argument("--opt-level", choices=VOCABULARY["opt_levels"],
                      help="optimisation level (default: the compile spec's, else release)")
    spec.add_argument("--crate-name", metavar="NAME",
                      help="crate name (default: derived from the strategy's symbol)")
    data = spec.add_mutually_exclusive_group()
    data.add_argument("--csv", metavar="PATH", help="embed this CSV dataset file")
    data.add_argument("--inline", metavar="PATH",
                      help="embed the candles of this JSON file (one array)")
    spec.add_argument("--strict", action="store_true",
                      help="fail on warnings too (members nothing declares, undeclared indicators)")

    parser = _Parser(prog=PROG, description="Compile trading-strategy documents into cargo projects.",
                     epilog=_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--json", action="store_true", dest="compact_top", help=argparse.SUPPRESS)
    parser.add_argument("--version", action=_Version, help="print orvane-compile's version and exit")
    parser.add_argument("--color", choices=_COLOR_CHOICES, metavar="WHEN", dest="color_top", help=_COLOR_HELP)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    commands.required = True

    compile_parser = commands.add_parser(
        "compile", parents=[spec, output], help="compile FILE and print the compiler's answer",
        description="Compile FILE; print the answer (target, path after a build, manifest, built).")
    compile_parser.add_argument("--out-dir", metavar="DIR", help='output directory (default "_out")')
    compile_parser.add_argument("--timeout", metavar="SECONDS", type=_seconds,
                                help="stop the build (cargo and wasm-bindgen) after this many seconds")
    compile_parser.add_argument("--verbose", action="store_true",
                                help="show cargo's output as it comes, each line after the crate name")
    compile_parser.add_argument("--cache-dir", metavar="DIR",
                                help="share compiled dependencies between builds through DIR "
                                     "(default: $ORVANE_CACHE_DIR)")
    compile_parser.add_argument("--dry-run", action="store_true",
                                help="generate and describe the project only; write nothing, run no cargo")
    compile_parser.add_argument("more_files", nargs="*", default=[], metavar="FILE",
                                help="more files, compiled with the same flags (one answer line each)")
    compile_parser.add_argument("--jobs", metavar="N", type=_jobs, default=1,
                                help="with several files, compile up to N at a time (default 1)")
    commands.add_parser("check", parents=[spec, output], help='validate FILE: prints "ok" or the error',
                        description="A dry run of what compile would send; prints ok or the error.")
    commands.add_parser("targets", parents=[output], help="list the targets and MCU triples")
    commands.add_parser("version", parents=[output], help="print the compiler's version",
                        description="Print the compiler's version and the backtest library's that generated "
                                    "projects use, on one line; with --json, the compiler's answer.")
    hash_parser = commands.add_parser(
        "hash", parents=[output], help="size and SHA-256 of a file (normally an artifact)",
        description="Print the size and SHA-256 of FILE (normally a built artifact): len, sha256.")
    hash_parser.add_argument("file", metavar="FILE", help="the file to digest (a regular file)")
    hash_parser.add_argument("--handle", action="store_true",
                             help="also print the handle the compiler keeps the bytes under "
                                  "(0: each run has a compiler of its own)")
    doctor_parser = commands.add_parser(
        "doctor", help="check the Rust tool chain for each target",
        description="Say for each target (or the one given) whether cargo, rustc, the target's standard "
                    "library and, for wasm, wasm-bindgen are ready, and how to get what is missing. "
                    "Exit status 0 when every target checked is ready, 3 otherwise.")
    doctor_parser.add_argument("--target", choices=VOCABULARY["targets"],
                               help="check only this target (no_std: every MCU triple)")
    doctor_parser.add_argument("--mcu", metavar="TRIPLE", help="check only this MCU triple (implies no_std)")
    doctor_parser.add_argument("--json", action="store_true", dest="compact", help="print the report as JSON")
    doctor_parser.add_argument("--color", choices=_COLOR_CHOICES, metavar="WHEN", help=_COLOR_HELP)
    doctor_parser.add_argument("--timeout", metavar="SECONDS", type=_seconds,
                               help="give each tool this many seconds to answer (default 60)")
    return parser


# ---------------------------------------------------------------- input files


def _not_regular(mode: int) -> str | None:
    """Why a file of this mode is not read, in the compiler's words; None for a regular file or a
    folder (which fails as reading it does)."""
    if stat.S_ISREG(mode) or stat.S_ISDIR(mode):
        return None
    kinds = ((stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
             (stat.S_ISSOCK, "a socket"))
    kind = next((name for test, name in kinds if test(mode)), None)
    return "not a regular file" + (f" ({kind})" if kind else "")


def _read_file(path: str) -> bytes:
    """A file's bytes, read as the compiler reads its files: opened without waiting (for the writer
    of a FIFO, the carrier of a terminal line, which never becomes the controlling one), and only
    when it is a regular file; _InputError otherwise."""

    def refused(reason: str) -> _InputError:
        return _InputError(f"{PROG}: cannot read {path}: {reason}")

    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    except OSError as error:
        try:
            reason = _not_regular(os.stat(path).st_mode)  # a socket cannot be opened at all
        except OSError:
            reason = None
        raise refused(reason or error.strerror or str(error)) from None
    try:
        reason = _not_regular(os.fstat(fd).st_mode)
        if reason is not None:
            raise refused(reason)
        with open(fd, "rb", closefd=False) as handle:
            return handle.read()
    except OSError as error:
        raise refused(error.strerror or str(error)) from None
    finally:
        os.close(fd)


def _read_source(path: str, stdin: TextIO) -> Source:
    if path == "-":
        data = stdin.buffer.read() if hasattr(stdin, "buffer") else stdin.read().encode("utf-8")
        name = "<stdin>"
    else:
        data = _read_file(path)
        name = path
    try:
        return Source(name, data.decode("utf-8"))
    except UnicodeDecodeError as error:
        raise _InputError(f"{PROG}: {name} is not UTF-8 text (byte {error.start})") from None


def _checked_mcu(target: str | None, mcu: str | None) -> None:
    """--mcu with a --target other than no_std is a usage error."""
    try:
        checked_mcu(target, mcu)
    except ValueError:
        raise _UsageError(f"{PROG}: error: --mcu applies only to --target no_std") from None


def _spec_writer(args: argparse.Namespace, document: Source, stdin: TextIO) -> Writer:
    """The compile spec for FILE and the flags."""
    value = parsed_text(document)
    is_spec = is_compile_spec(value)

    overrides: list[tuple[str, Writer]] = []
    if args.target is not None or args.mcu is not None:
        kind = args.target or "no_std"
        _checked_mcu(kind, args.mcu)
        mcu = args.mcu
        if mcu is None and is_spec and kind == "no_std":
            # --target no_std completes a spec that already names its mcu.
            given = value.get("target")  # a compile spec needs no target to be one
            if isinstance(given, dict) and given.get("kind") == "no_std" and isinstance(given.get("mcu"), str):
                mcu = given["mcu"]
        overrides.append(("target", value_writer(target_value(kind, mcu))))
    if args.opt_level is not None:
        overrides.append(("opt_level", value_writer(args.opt_level)))
    if args.crate_name is not None:
        overrides.append(("crate_name", value_writer(args.crate_name)))
    if args.csv is not None:
        overrides.append(("embed_data", value_writer({"kind": "csv", "path": args.csv})))
    if args.inline is not None:
        overrides.append(("embed_data", inline_writer(_read_source(args.inline, stdin))))
    return document_spec(document, is_spec, overrides)


# ---------------------------------------------------------------- output

_RED, _YELLOW, _GREEN, _BLUE, _CYAN, _BOLD = "1;31", "1;33", "1;32", "1;34", "1;36", "1"


@dataclasses.dataclass(frozen=True)
class _Style:
    """How this run shows what the CLI writes itself: whether standard error (``err``) and standard
    output (``out``) get colour, and whether a failed build shows cargo's whole error output
    (``whole_build_output``, for --verbose) or its first error line."""

    err: bool = False
    out: bool = False
    whole_build_output: bool = False

    def __call__(self, code: str, text: str, out: bool = False) -> str:
        """``text`` in the colour ``code`` (an SGR parameter list) when its stream gets colour.
        Only text the CLI writes itself is coloured; a user's text in it is escaped already."""
        return f"\x1b[{code}m{text}\x1b[0m" if text and (self.out if out else self.err) else text


_style: ContextVar[_Style] = ContextVar("orvane_compile_cli_style", default=_Style())


def _colour(choice: str, stream: TextIO) -> bool:
    """Whether ``stream`` gets colour for --color ``choice``: auto is on for a terminal, unless NO_COLOR
    is set to something or the terminal is dumb; always and never say so themselves."""
    if choice != "auto":
        return choice == "always"
    return _isatty(stream) and not os.environ.get("NO_COLOR") and os.environ.get("TERM") != "dumb"


def _style_of(args: argparse.Namespace, stdout: TextIO, stderr: TextIO) -> _Style:
    if getattr(args, "compact", False) or args.compact_top:
        return _Style(whole_build_output=True)  # --json: structured and uncoloured
    choice = getattr(args, "color", None) or args.color_top or "auto"
    return _Style(_colour(choice, stderr), _colour(choice, stdout), bool(getattr(args, "verbose", False)))



def _print_answer(answer: str, compact: bool, stdout: TextIO) -> None:
    if compact or not _isatty(stdout):
        stdout.write(answer + "\n")
    else:
        stdout.write(json.dumps(json.loads(answer), indent=2, ensure_ascii=False) + "\n")
    stdout.flush()


# The C0 controls but tab and line feed, DEL and the C1 controls: a terminal would obey them, so
# wherever they come from (a file name, a key of the user's, a tool's output) they are shown as
# escapes.
_CONTROLS = {c: f"\\x{c:02x}" for c in (*range(0x20), 0x7F, *range(0x80, 0xA0)) if c not in (0x09, 0x0A)}


def _printable(text: str) -> str:
    return text.translate(_CONTROLS)


def _isatty(stream: TextIO) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


def _width(char: str) -> int:
    if unicodedata.combining(char):
        return 0
    return 2 if unicodedata.east_asian_width(char) in ("W", "F") else 1


@functools.lru_cache(maxsize=4)
def _measured(text: str) -> tuple[list[str], int]:
    """A line's characters as shown (control characters replaced) and its width in columns:
    measured once for all the faults on one line."""
    chars = ["\N{REPLACEMENT CHARACTER}" if ord(c) in _CONTROLS else c for c in text]
    return chars, sum(map(_width, chars))


def _excerpt(location: Location, caret: str = _RED) -> str:
    """The location's line with a caret (in the colour ``caret``) under its column."""
    text = location.line_text.rstrip("\r")
    raw = text.encode("utf-8")
    before = raw[: max(location.column, 1) - 1].decode("utf-8", errors="replace")
    caret_at = len(before)  # in characters
    chars, width = _measured(text)
    start, end = 0, len(chars)
    if width > _EXCERPT_WIDTH:
        start = max(0, min(caret_at - _EXCERPT_WIDTH // 2, len(chars) - _EXCERPT_WIDTH))
        end = min(len(chars), start + _EXCERPT_WIDTH)
    prefix = "..." if start > 0 else ""
    shown = prefix + "".join(chars[start:end]) + ("..." if end < len(chars) else "")
    pad = " " * len(prefix) + "".join("\t" if c == "\t" else " " * _width(c) for c in chars[start:caret_at])
    number = str(location.line)
    style = _style.get()
    return (f"{style(_BLUE, f' {number} |')} {shown}\n"
            f"{style(_BLUE, ' ' + ' ' * len(number) + ' |')} {pad}{style(caret, '^')}\n")


def _headline(diagnostic: Diagnostic) -> str:
    """What is wrong, with the member it is about, on one line."""
    text = KIND_PREFIXES.get(diagnostic.kind, "") + diagnostic.message
    return text + (f" (at {diagnostic.path})" if diagnostic.path else "")


# The flag that sets a member of the compile spec, for advice about that member.
_FLAGS = {"crate_name": "--crate-name NAME", "strategy.symbol": "--crate-name NAME",
          "target": "--target KIND", "target.kind": "--target KIND", "target.mcu": "--mcu TRIPLE",
          "opt_level": "--opt-level LEVEL", "embed_data.path": "--csv PATH"}


def _hint(diagnostic: Diagnostic, given: Mapping[str, str]) -> str:
    """Advice on a fault: for the MCU, the triples there are; for a member a flag sets, that flag
    unless it was given; else the compiler's own."""
    path = diagnostic.path
    if path == "target.mcu" or (path == "target" and "`mcu`" in diagnostic.message):
        advice = ("--mcu takes" if "target.mcu" in given else "pass --mcu TRIPLE,") + " one of " + ", ".join(
            VOCABULARY["mcus"])
    elif not diagnostic.hint or path in given:
        return ""
    else:
        flag = _FLAGS.get(path)
        advice = f"pass {flag}" if flag else diagnostic.hint
    return f"  = {_style.get()(_CYAN, 'hint:')} {_printable(advice)}\n"


def given_flags(args: argparse.Namespace) -> dict[str, str]:
    """The compile-spec members set by flags on this command line, each with the flag as given."""
    given: dict[str, str] = {}
    target, mcu = getattr(args, "target", None), getattr(args, "mcu", None)
    if target is not None or mcu is not None:
        shown = " ".join(f for f in (target and f"--target {target}", mcu and f"--mcu {mcu}") if f)
        given.update({"target": shown, "target.kind": shown})
    if mcu is not None:
        given["target.mcu"] = f"--mcu {mcu}"
    for member, flag in (("crate_name", "crate_name"), ("opt_level", "opt_level"), ("embed_data.path", "csv")):
        value = getattr(args, flag, None)
        if value is not None:
            given[member] = f"--{flag.replace('_', '-')} {value}"
    return given


def _first_error_line(message: str) -> str:
    """A failed build's reason on one line: the first of cargo's lines that starts with "error" (such
    as "error[E0425]: cannot find value `x` in this scope"), else the message's first line, which is
    also kept when it is the compiler's own word on how the tool ended ("cargo was killed by signal
    9 (SIGKILL)"), above what the tool wrote."""
    lines = message.split("\n")
    if " was killed by signal " in lines[0]:
        return lines[0]
    return next((line for line in lines if line.startswith("error")), lines[0])


def _head(diagnostic: Diagnostic) -> str:
    """A fault's headline, or "warning: " and a warning's message, with the member it is about, shown:
    escaped, the label ("warning:", "bad spec:"...) coloured, and a failed build's reason on one line
    unless --verbose asks for all of it."""
    style = _style.get()
    if diagnostic.severity == "warning":
        label, colour = "warning:", _YELLOW
        rest = " " + diagnostic.message + (f" (at {diagnostic.path})" if diagnostic.path else "")
    else:
        label, colour = KIND_PREFIXES.get(diagnostic.kind, "").rstrip(), _RED
        if diagnostic.kind == "build" and not style.whole_build_output:
            diagnostic = dataclasses.replace(diagnostic, message=_first_error_line(diagnostic.message))
        rest = _headline(diagnostic)[len(label):]
        if not label:  # no label of its kind: the whole line says it is a fault
            return style(_RED, _printable(rest.rstrip("\n")))
    # rest is " " and the message, which may end in a line feed as cargo's output does.
    return style(colour, label) + " " + style(_BOLD, _printable(rest[1:].rstrip("\n")))


def _described(item: Located, file: str | None = None, given: Mapping[str, str] = {}) -> str:
    """A fault or warning: "FILE:LINE:COLUMN: message" and the line it points at, in the user's file.

    A place in text built from the command line is said to be there, with that line of the
    request; a fault with no place is one line. ``file`` names the file compiled, when several
    are, on the lines that do not name it already.
    """
    diagnostic, location = item
    head = _head(diagnostic)
    hint = _hint(diagnostic, given)
    who = PROG if file is None else f"{PROG}: {_printable(file)}"
    caret = _YELLOW if diagnostic.severity == "warning" else _RED
    if location is None:
        return f"{who}: {head}\n{hint}"
    if location.source is None:
        if diagnostic.path in given:  # a value a flag gave: the flag says where it came from
            return f"{who}: {head}{_place(location, given.get(diagnostic.path))}\n{hint}"
        return f"{who}: {head}{_place(location)}\n{_excerpt(location, caret)}{hint}"
    where = f"{_printable(location.source.name)}:{location.line}:{location.column}"
    return f"{where}: {head}\n{_excerpt(location, caret)}{hint}"


def _as_json(item: Located) -> str:
    """A fault or warning as one line of JSON, for ``--json``."""
    diagnostic, location = item
    source = None if location is None else location.source
    return json.dumps({
        "severity": diagnostic.severity, "kind": diagnostic.kind, "message": diagnostic.message,
        "path": diagnostic.path or None,
        "line": location.line if location is not None and source is not None else None,
        "column": location.column if location is not None and source is not None else None,
        "file": source.name if source is not None else None,
        "hint": diagnostic.hint,
    }, ensure_ascii=False, separators=(",", ":")) + "\n"


def _place(location: Location | None, flag: str | None = None) -> str:
    """", at line L column C of <the text>", ", from <flag>" for a value the flag gave, or nothing
    for no place."""
    if location is None:
        return ""
    if flag is not None and location.source is None:
        return f", from {_printable(flag)}"
    where = "the request built from the command line" if location.source is None else _printable(location.source.name)
    return f", at line {location.line} column {location.column} of {where}"


def _error_of(outcome: Outcome, file: str | None = None, given: Mapping[str, str] = {},
              shown: bool = True) -> tuple[str, str]:
    """The first fault on one line with its place (for answers in JSON), and every fault and warning
    shown (``file`` as for ``_described``; not made when not ``shown``)."""
    report = "".join(_described(item, file, given) for item in (*outcome.errors, *outcome.warnings)) if shown else ""
    first = ""
    if outcome.errors:
        diagnostic, location = outcome.errors[0]
        first = _headline(diagnostic) + _place(location, given.get(diagnostic.path))
    return first, report


def _report(outcome: Outcome, stderr: TextIO, as_json: bool = False, given: Mapping[str, str] = {}) -> None:
    """Every fault, then every warning, each with the line it points at (or as JSON lines)."""
    if as_json:
        stderr.write("".join(_as_json(item) for item in (*outcome.errors, *outcome.warnings)))
    else:
        stderr.write(_error_of(outcome, None, given)[1])


class _StatusLine:
    """"<crate> <target> <elapsed>s" on a terminal, redrawn while a build runs.

    The build runs in ``Compiler.command``, which releases the interpreter
    lock, so this thread keeps drawing while cargo works.
    """

    def __init__(self, stream: TextIO, label: str, interval: float = 0.1) -> None:
        self.failed = False
        self._stream = stream
        self._label = label
        self._interval = interval
        self._stop = threading.Event()
        self._started = 0.0
        self._thread = threading.Thread(target=self._run, name="orvane-compile status", daemon=True)

    def _draw(self) -> None:
        self._stream.write(f"\r{self._label} {time.monotonic() - self._started:.1f}s\x1b[K")
        self._stream.flush()

    def _run(self) -> None:
        while not self._stop.wait(self._interval):
            self._draw()

    def __enter__(self) -> _StatusLine:
        self._started = time.monotonic()
        self._draw()
        self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self._stop.set()
        self._thread.join()
        self._draw()
        self._stream.write("\n")
        self._stream.flush()


class _StatusLines:
    """A line when a build starts and one when it ends, with its seconds: for a stream that is not a
    terminal, or one that cargo's own output goes to."""

    def __init__(self, stream: TextIO, label: str) -> None:
        self.failed = False
        self._stream = stream
        self._label = label
        self._started = 0.0

    def __enter__(self) -> _StatusLines:
        self._started = time.monotonic()
        self._stream.write(f"{PROG}: building {self._label}\n")
        self._stream.flush()
        return self

    def __exit__(self, kind: type[BaseException] | None, *exc: object) -> None:
        seconds = time.monotonic() - self._started
        style = _style.get()
        if kind is None and not self.failed:
            self._stream.write(f"{PROG}: {style(_GREEN, 'built')} {self._label} in {seconds:.1f}s\n")
        else:
            ending = style(_RED, "failed") if kind is None else style(_YELLOW, "stopped")
            self._stream.write(f"{PROG}: {self._label} {ending} after {seconds:.1f}s\n")
        self._stream.flush()


# ---------------------------------------------------------------- commands


def _status(outcome: Outcome, building: bool, strict: bool) -> int:
    """The exit status an outcome gives: a refusal, a build that failed, or, with strict, a warning."""
    if outcome.errors:
        kind = outcome.errors[0][0].kind
        return EXIT_BUILD if building and kind in ("build", "io") else EXIT_INVALID
    return EXIT_INVALID if strict and outcome.warnings else EXIT_OK


def _compile(args: argparse.Namespace, stdin: TextIO, stdout: TextIO, stderr: TextIO) -> int:
    document = _read_source(args.file, stdin)
    try:
        spec = _spec_writer(args, document, stdin)
    except CompileError as error:  # a file that is not one JSON value
        _report(Outcome.of_text_error(error), stderr, args.compact or args.compact_top)
        return EXIT_INVALID
    checking = args.command == "check"
    dry_run = checking or args.dry_run
    out_dir = None if checking else args.out_dir
    as_json = bool(args.compact or args.compact_top)
    compact = checking or as_json
    compiler = Compiler()
    timeout = None if checking else args.timeout
    cache_dir = None if checking else default_cache_dir(args.cache_dir)
    request = compile_request(spec, dry_run=dry_run, out_dir=out_dir, timeout=timeout, cache_dir=cache_dir)
    echo = _echo_to(stderr) if not checking and args.verbose else None
    if dry_run:
        outcome = exchange(compiler, request)
    else:
        if echo is not None:
            echo.flush()
        live = echo is None and _isatty(stderr)
        status_line: _StatusLine | _StatusLines | None = None

        tool_chain = tool_chain_check(timeout)

        def ready(kind: str, mcu: str | None, folder: str) -> None:
            # Asked by the compiler once the request is judged, before anything is written.
            nonlocal status_line
            tool_chain(kind, mcu, folder)
            label = f"{os.path.basename(folder)} {kind if mcu is None else f'{kind}/{mcu}'}"
            status_line = (_StatusLine if live else _StatusLines)(stderr, label).__enter__()

        try:
            outcome = exchange(compiler, request, echo, ready=ready, strict=args.strict)
        except CompileError as refusal:  # the tool chain's
            outcome = Outcome.refused("build", refusal.message)
        except BaseException as stop:
            if status_line is not None:
                status_line.__exit__(type(stop), stop, stop.__traceback__)
            raise
        if status_line is not None:
            status_line.failed = bool(outcome.errors)
            status_line.__exit__(None)
    _report(outcome, stderr, as_json, given_flags(args))
    status = _status(outcome, not dry_run, args.strict)
    if status != EXIT_OK:
        if not outcome.errors and not as_json:
            stderr.write(f"{PROG}: warnings are errors (--strict)\n")
        return status
    assert outcome.answer is not None
    if checking:
        stdout.write('{"ok":true}\n' if as_json else _style.get()(_GREEN, "ok", out=True) + "\n")
        stdout.flush()
    else:
        _print_answer(outcome.answer, compact, stdout)
    return EXIT_OK


def _echo_to(stream: TextIO) -> TextIO | None:
    """``stream`` when cargo's output can go straight to it: it must be a real file."""
    try:
        stream.fileno()
    except (AttributeError, OSError, ValueError):
        return None
    return stream


def _compile_files(args: argparse.Namespace, stdin: TextIO, stdout: TextIO, stderr: TextIO) -> int:
    """``compile`` of several files with the same flags: one answer line each, in order; each file's
    faults on standard error as soon as they are known."""
    paths = [args.file, *args.more_files]
    if paths.count("-") > 1:
        raise _UsageError(f"{PROG}: error: standard input (-) can be given only once")
    started = time.monotonic()
    # cargo's own lines, when asked for, take the place of the bar.
    echo = _echo_to(stderr) if args.verbose else None
    workers = min(args.jobs, len(paths))
    stderr.write(f"{PROG}: compiling {len(paths)} files, up to {workers} at a time\n")
    stderr.flush()
    cargo_jobs = _batch.cores_per_build(workers) if workers > 1 and not args.dry_run else None
    claims = _batch.FolderClaims()
    given = given_flags(args)
    outcomes: dict[int, Outcome] = {}
    statuses: list[int] = []
    requests: dict[int, Request] = {}
    builds: dict[int, tuple[str, Target]] = {}  # the project folder and target of each build
    compiler = Compiler()  # this thread's
    local = threading.local()
    pool = _batch.BatchThreads(workers) if workers > 1 else None
    with tqdm(total=len(paths), file=stderr, unit="file", leave=False,
              disable=echo is not None or not _isatty(stderr)) as bar, _Running(bar, args.dry_run) as running, \
            pool or contextlib.nullcontext():

        def finished(index: int, outcome: Outcome) -> None:
            # Faults and warnings are shown at once; answers in the order of the files, as soon as
            # all before are done.
            running.ended(index)
            bar.update(1)
            report = _error_of(outcome, paths[index], given)[1]
            if report:
                tqdm.write(report, file=stderr, end="")
            outcomes[index] = outcome
            while len(statuses) in outcomes:
                done = outcomes.pop(len(statuses))
                status = _status(done, not args.dry_run, args.strict)
                statuses.append(status)
                if status == EXIT_OK:
                    assert done.answer is not None
                    tqdm.write(done.answer, file=stdout)
                    continue
                first = _error_of(done, None, given, shown=False)[0]
                if not first:  # refused for its warnings
                    warning, location = done.warnings[0]
                    first = "warnings are errors (--strict): " + _headline(warning) + _place(location)
                tqdm.write(json.dumps({"ok": False, "error": first}, ensure_ascii=False, separators=(",", ":")),
                           file=stdout)
            stdout.flush()

        def preview(index: int) -> Outcome | None:
            """The file's request, made exactly as for one file, and for a build its dry run (its
            warnings too, with --strict); the outcome refusing it, if any."""
            path = paths[index]
            try:
                spec = _spec_writer(args, _read_source(path, stdin), stdin)
                requests[index] = compile_request(spec, dry_run=args.dry_run, out_dir=args.out_dir,
                                                  timeout=args.timeout, cache_dir=default_cache_dir(args.cache_dir),
                                                  cargo_jobs=cargo_jobs)
            except _InputError as error:
                message = str(error).removeprefix(f"{PROG}: ")
                return Outcome.refused("request", message)
            except CompileError as error:  # a file that is not one JSON value
                return Outcome.of_text_error(error)
            if args.dry_run:
                running.names[index] = path.split(" ")[0] or path
                return None
            judged = exchange(compiler, compile_request(spec, dry_run=True, out_dir=args.out_dir))
            if _status(judged, False, args.strict) != EXIT_OK:
                return judged
            assert judged.parsed is not None
            manifest = judged.parsed["manifest"]
            target = Target(manifest["target"]["kind"], manifest["target"].get("mcu"))
            running.names[index] = manifest["crate_name"]
            builds[index] = project_folder(args.out_dir, manifest["crate_name"]), target
            return None

        def admit(index: int, refused: Outcome | None) -> Outcome | None:
            """What refuses a build once every file is judged: its dry run, an earlier file's build in its
            project folder, or the tool chain for its target (see ``doctor``; within --timeout)."""
            if refused is not None:
                return refused
            if args.dry_run:
                return None
            folder, target = builds[index]
            owner = claims.claim(folder, index)
            if owner is not None:
                refusal = _batch.refusal(folder, f"{paths[owner]} (file {owner + 1} of this batch)")
                return Outcome.refused("io", refusal)
            try:
                tool_chain_check(args.timeout)(target.kind, target.mcu, folder)
            except CompileError as error:
                return Outcome.refused("build", error.message)
            return None

        def send(index: int) -> Outcome:
            # One job at a time runs on this thread, so Ctrl-C stops a build as it does for one file;
            # more run on that many threads, with a Compiler each, and Ctrl-C stops the running builds.
            running.began(index)
            if pool is None:
                return exchange(compiler, requests[index], echo)
            if not hasattr(local, "compiler"):
                local.compiler = Compiler()
            own: Compiler = local.compiler
            return exchange(own, requests[index], echo)

        def build(index: int) -> Future[Outcome]:
            if echo is not None:
                echo.flush()
            return (_batch.done if pool is None else pool.submit)(send, index)

        def settled(index: int, refused: Outcome | None) -> Outcome | None:
            # A dry run's refusal is shown at once; a build's in the order of the files, with theirs.
            return refused if args.dry_run else None

        _batch.run_batch(len(paths), _batch.Steps(lambda index: _batch.done(preview, index), settled, admit, build),
                         finished)
    failed = sum(status != EXIT_OK for status in statuses)
    style = _style.get()
    stderr.write(f"{PROG}: {style(_GREEN, f'{len(paths) - failed} succeeded')}, "
                 f"{style(_RED, f'{failed} failed') if failed else '0 failed'} "
                 f"in {time.monotonic() - started:.1f}s\n")
    return max(statuses)


class _Running:
    """The files of a batch being compiled, shown after its progress bar on a terminal and redrawn
    every half second: "building alpha 12s, beta 3s". Builds start and end on any thread."""

    def __init__(self, bar: tqdm[Any], dry_run: bool) -> None:
        self.names: dict[int, str] = {}
        self._bar = bar
        self._doing = "compiling" if dry_run else "building"
        self._since: dict[int, float] = {}
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="orvane-compile progress", daemon=True)

    def began(self, index: int) -> None:
        with self._lock:
            self._since[index] = time.monotonic()

    def ended(self, index: int) -> None:
        """On the bar's thread, which redraws it next."""
        with self._lock:
            self._since.pop(index, None)
        self._show(redraw=False)

    def _show(self, redraw: bool = True) -> None:
        now = time.monotonic()
        with self._lock:
            shown = ", ".join(f"{self.names.get(index, '?')} {now - since:.0f}s"
                              for index, since in sorted(self._since.items(), key=lambda item: item[1]))
        self._bar.set_postfix_str(f"{self._doing} {shown}" if shown else "", refresh=redraw)

    def _run(self) -> None:
        while not self._stop.wait(0.5):
            self._show()

    def __enter__(self) -> _Running:
        if not self._bar.disable:  # off a terminal, nothing is redrawn
            self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self._stop.set()
        if self._thread.is_alive():
            self._thread.join()


def _simple(args: argparse.Namespace, stdout: TextIO, stderr: TextIO) -> int:
    """targets, version (a line for a person; the answer with --json) and hash (the answer without its
    handle, unless --handle asks for it)."""
    as_json = args.compact or args.compact_top
    if args.command == "hash":
        text = '{"cmd":"artifact_bytes","path":' + json.dumps(args.file) + "}"
    else:
        text = json.dumps({"cmd": args.command})
    answer = Compiler().command(text)
    parsed = json.loads(answer)
    if "error" in parsed:
        stderr.write(f"{PROG}: {_printable(parsed['error'])}\n")
        return EXIT_INVALID
    if args.command == "version" and not as_json:
        stdout.write(_version_line(parsed))
        stdout.flush()
        return EXIT_OK
    if args.command == "hash" and not args.handle:
        del parsed["handle"]
        answer = json.dumps(parsed, ensure_ascii=False, separators=(",", ":"))
    _print_answer(answer, as_json, stdout)
    return EXIT_OK


def _doctor(args: argparse.Namespace, stdout: TextIO) -> int:
    """Whether the tool chain can build each target: 0 when every one checked is ready, else 3."""
    _checked_mcu(args.target, args.mcu)
    kind: TargetKind | None = args.target
    try:
        report = doctor(kind, args.mcu, timeout=args.timeout)
    except ValueError as error:
        raise _UsageError(f"{PROG}: error: {error}") from None
    if args.compact or args.compact_top:
        stdout.write(json.dumps(report.to_json(), ensure_ascii=False, separators=(",", ":")) + "\n")
    else:
        stdout.write(report.text())
    stdout.flush()
    return EXIT_OK if report.ready else EXIT_BUILD


def _check_utf8_arguments(args: argparse.Namespace) -> None:
    """Refuse the arguments that go into the request but are not UTF-8: requests are UTF-8 text."""
    paths = [("--csv", getattr(args, "csv", None)), ("--out-dir", getattr(args, "out_dir", None)),
             ("--cache-dir", getattr(args, "cache_dir", None))]
    if args.command == "hash":
        paths.append(("FILE", args.file))
    values = [("--crate-name", getattr(args, "crate_name", None)), ("--mcu", getattr(args, "mcu", None))]
    for what, given in (("path", paths), ("value", values)):
        for flag, text in given:
            problem = None if text is None else not_utf8(text, what)
            if problem is not None:
                raise _InputError(f"{PROG}: {flag}: {problem}")


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line on ``argv`` (default: ``sys.argv[1:]``); returns the exit status."""
    stdin, stdout, stderr = sys.stdin, sys.stdout, sys.stderr
    styled = None
    try:
        parser = _parser()
        args, unparsed = parser.parse_known_args(argv)
        styled = _style.set(_style_of(args, stdout, stderr))
        if args.command == "compile":
            # argparse takes positionals in one run: files given after a flag come back unparsed.
            files = [arg for arg in unparsed if arg == "-" or not arg.startswith("-")]
            args.more_files = [*args.more_files, *files]
            unparsed = [arg for arg in unparsed if arg not in files]
        if unparsed:
            parser.error(f"unrecognized arguments: {' '.join(unparsed)}")
        try:
            checked_out_dir(getattr(args, "out_dir", None), "--out-dir")
        except ValueError as error:
            raise _UsageError(f"{PROG}: error: {error}") from None
        _check_utf8_arguments(args)
        if args.command == "doctor":
            return _doctor(args, stdout)
        if args.command == "compile" and args.more_files:
            return _compile_files(args, stdin, stdout, stderr)
        if args.command in ("compile", "check"):
            return _compile(args, stdin, stdout, stderr)
        return _simple(args, stdout, stderr)
    except _UsageError as error:
        # Before --color is read, auto decides.
        style = _style.get() if styled is not None else _Style(_colour("auto", stderr))
        stderr.write(_printable(str(error)).replace(" error: ", f" {style(_RED, 'error:')} ", 1) + "\n")
        return EXIT_USAGE
    except _InputError as error:
        stderr.write(f"{_printable(str(error))}\n")
        return EXIT_INVALID
    except SystemExit as exit_:  # --help
        return exit_.code if isinstance(exit_.code, int) else EXIT_OK
    except BrokenPipeError:
        return EXIT_INVALID
    except MemoryError:
        stderr.write(f"{PROG}: out of memory\n")
        return EXIT_INVALID
    except KeyboardInterrupt:
        # On a line of its own: a status line may be standing where the cursor is.
        stderr.write(f"\n{PROG}: interrupted\n")
        return 130
    finally:
        if styled is not None:
            _style.reset(styled)
