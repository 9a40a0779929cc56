"""How the command line shows what comes back: faults and warnings with the lines they point at,
colour, answers, and the status lines of builds and batches.

Colour (``--color``, default auto: a terminal, and NO_COLOR not set to
anything) goes around what the command line writes itself: labels, gutters
and carets, ``ok`` and the summary; never around an answer, nor with ``--json``.

Every fault and warning the compiler places (a line and column of the
request, mapped back through the request's record of where its bytes came
from, see ``_request``) is shown as "FILE:LINE:COLUMN: message (at PATH)" in
the user's file (columns count bytes, as the compiler counts them), with that
line and a caret under the column. A fault in a value a flag gave
(``--target no_std`` without ``--mcu``) is named by that flag ("from
--target no_std"), and its hint never suggests the flag just given; a fault
elsewhere in text generated from flags is placed in "the request built from
the command line", and that line of the request is shown; a fault with no
place is one line. Controls a terminal would obey are printed as escapes.

A failed build is shown by the first line of cargo's error output that
starts with "error" (all of it with ``--verbose``; ``--json`` keeps it whole).
A status line on standard error follows a build: redrawn with the elapsed
time on a terminal, else a line when it starts and one when it ends.

A batch of files writes one compact line per file to standard output, in the
order given: the compiler's answer, or ``{"ok":false,"error":...}`` with the
first fault and its place on one line. A start line opens standard error;
each failure is reported there as soon as it is known, a line that names no
file (a fault with no place, or one in text built from the flags) naming the
file compiled; a summary line ends the run. When standard error is a
terminal, a progress bar stands below, naming the builds running with their
seconds.
"""

from __future__ import annotations

import dataclasses
import functools
import json
import os
import threading
import time
import unicodedata
from collections.abc import Callable, Mapping
from contextvars import ContextVar
from types import TracebackType
from typing import Any, TextIO

from tqdm import tqdm

from ._model import KIND_PREFIXES, VOCABULARY, Diagnostic
from ._request import Location
from .api import Located, Outcome, Ready

PROG = "orvane-compile"

RED, YELLOW, GREEN, BLUE, CYAN, BOLD = "1;31", "1;33", "1;32", "1;34", "1;36", "1"

# Lines longer than this (in columns) are shown as a window around the caret.
_EXCERPT_WIDTH = 100


@dataclasses.dataclass(frozen=True)
class Style:
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


#: This run's style (see ``Style``).
_PLAIN = Style()
style: ContextVar[Style] = ContextVar("orvane_compile_cli_style", default=_PLAIN)


def colour(choice: str, stream: TextIO) -> bool:
    """Whether ``stream`` gets colour for --color ``choice``: auto is on for a terminal, unless NO_COLOR
    is set to something or the terminal is dumb; always and never say so themselves."""
    if choice != "auto":
        return choice == "always"
    return isatty(stream) and not os.environ.get("NO_COLOR") and os.environ.get("TERM") != "dumb"


def version_line(answer: Mapping[str, Any]) -> str:
    """The version answer for a person: "orvane-compile <version> (backtest dep <version>)"."""
    return f"{PROG} {answer['version']} (backtest dep {answer['backtest_dep']})\n"


def print_answer(answer: str, compact: bool, stdout: TextIO) -> None:
    if compact or not isatty(stdout):
        stdout.write(answer + "\n")
    else:
        stdout.write(json.dumps(json.loads(answer), indent=2, ensure_ascii=False) + "\n")
    stdout.flush()


# The C0 controls but tab and line feed, DEL and the C1 controls: a terminal would obey them, so
# wherever they come from (a file name, a key of the user's, a tool's output) they are shown as
# escapes.
_CONTROLS = {c: f"\\x{c:02x}" for c in (*range(0x20), 0x7F, *range(0x80, 0xA0)) if c not in (0x09, 0x0A)}


def printable(text: str) -> str:
    return text.translate(_CONTROLS)


def isatty(stream: TextIO) -> bool:
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


def _excerpt(location: Location, caret: str = RED) -> str:
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
    look = style.get()
    return (f"{look(BLUE, f' {number} |')} {shown}\n"
            f"{look(BLUE, ' ' + ' ' * len(number) + ' |')} {pad}{look(caret, '^')}\n")


def headline(diagnostic: Diagnostic) -> str:
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
    return f"  = {style.get()(CYAN, 'hint:')} {printable(advice)}\n"


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
    look = style.get()
    if diagnostic.severity == "warning":
        label, paint = "warning:", YELLOW
        rest = " " + diagnostic.message + (f" (at {diagnostic.path})" if diagnostic.path else "")
    else:
        label, paint = KIND_PREFIXES.get(diagnostic.kind, "").rstrip(), RED
        if diagnostic.kind == "build" and not look.whole_build_output:
            diagnostic = dataclasses.replace(diagnostic, message=_first_error_line(diagnostic.message))
        rest = headline(diagnostic)[len(label):]
        if not label:  # no label of its kind: the whole line says it is a fault
            return look(RED, printable(rest.rstrip("\n")))
    # rest is " " and the message, which may end in a line feed as cargo's output does.
    return look(paint, label) + " " + look(BOLD, printable(rest[1:].rstrip("\n")))


def _described(item: Located, file: str | None = None, given: Mapping[str, str] = {}) -> str:
    """A fault or warning: "FILE:LINE:COLUMN: message" and the line it points at, in the user's file.

    A place in text built from the command line is said to be there, with that line of the
    request; a fault with no place is one line. ``file`` names the file compiled, when several
    are, on the lines that do not name it already.
    """
    diagnostic, location = item
    head = _head(diagnostic)
    hint = _hint(diagnostic, given)
    who = PROG if file is None else f"{PROG}: {printable(file)}"
    caret = YELLOW if diagnostic.severity == "warning" else RED
    if location is None:
        return f"{who}: {head}\n{hint}"
    if location.source is None:
        if diagnostic.path in given:  # a value a flag gave: the flag says where it came from
            return f"{who}: {head}{place(location, given.get(diagnostic.path))}\n{hint}"
        return f"{who}: {head}{place(location)}\n{_excerpt(location, caret)}{hint}"
    where = f"{printable(location.source.name)}:{location.line}:{location.column}"
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


def place(location: Location | None, flag: str | None = None) -> str:
    """", at line L column C of <the text>", ", from <flag>" for a value the flag gave, or nothing
    for no place."""
    if location is None:
        return ""
    if flag is not None and location.source is None:
        return f", from {printable(flag)}"
    where = "the request built from the command line" if location.source is None else printable(location.source.name)
    return f", at line {location.line} column {location.column} of {where}"


def error_of(outcome: Outcome, file: str | None = None, given: Mapping[str, str] = {},
             shown: bool = True) -> tuple[str, str]:
    """The first fault on one line with its place (for answers in JSON), and every fault and warning
    shown (``file`` as for ``_described``; not made when not ``shown``)."""
    report = "".join(_described(item, file, given) for item in (*outcome.errors, *outcome.warnings)) if shown else ""
    first = ""
    if outcome.errors:
        diagnostic, location = outcome.errors[0]
        first = headline(diagnostic) + place(location, given.get(diagnostic.path))
    return first, report


def report(outcome: Outcome, stderr: TextIO, as_json: bool = False, given: Mapping[str, str] = {}) -> None:
    """Every fault, then every warning, each with the line it points at (or as JSON lines)."""
    if as_json:
        stderr.write("".join(_as_json(item) for item in (*outcome.errors, *outcome.warnings)))
    else:
        stderr.write(error_of(outcome, None, given)[1])


# ---------------------------------------------------------------- one build


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

    def __enter__(self) -> None:
        self._started = time.monotonic()
        self._draw()
        self._thread.start()

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

    def __enter__(self) -> None:
        self._started = time.monotonic()
        self._stream.write(f"{PROG}: building {self._label}\n")
        self._stream.flush()

    def __exit__(self, kind: type[BaseException] | None, *exc: object) -> None:
        seconds = time.monotonic() - self._started
        look = style.get()
        if kind is None and not self.failed:
            self._stream.write(f"{PROG}: {look(GREEN, 'built')} {self._label} in {seconds:.1f}s\n")
        else:
            ending = look(RED, "failed") if kind is None else look(YELLOW, "stopped")
            self._stream.write(f"{PROG}: {self._label} {ending} after {seconds:.1f}s\n")
        self._stream.flush()


class BuildStatus:
    """The status of one build on ``stream``, shown from when the compiler asks ``ready`` (the
    request judged, nothing written yet) to the end of the block: redrawn with the elapsed time
    when ``live``, else a line when it starts and one when it ends. Set ``failed`` before the
    block ends for a build that failed; an exception leaving the block shows it stopped."""

    def __init__(self, stream: TextIO, live: bool, tool_chain: Ready) -> None:
        self.failed = False
        self._stream, self._live, self._tool_chain = stream, live, tool_chain
        self._line: _StatusLine | _StatusLines | None = None

    def ready(self, kind: str, mcu: str | None, folder: str) -> None:
        self._tool_chain(kind, mcu, folder)
        label = f"{os.path.basename(folder)} {kind if mcu is None else f'{kind}/{mcu}'}"
        self._line = (_StatusLine if self._live else _StatusLines)(self._stream, label)
        self._line.__enter__()

    def __enter__(self) -> None:
        pass

    def __exit__(self, kind: type[BaseException] | None, *exc: object) -> None:
        if self._line is not None:
            self._line.failed = self.failed
            self._line.__exit__(kind, *exc)


# ---------------------------------------------------------------- batches


class _Running:
    """The files of a batch being compiled, shown after its progress bar on a terminal and redrawn
    every half second: "building alpha 12s, beta 3s". Builds start and end on any thread."""

    def __init__(self, bar: tqdm[Any], dry_run: bool, names: dict[int, str]) -> None:
        self.names = names
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

    def start(self) -> None:
        if not self._bar.disable:  # off a terminal, nothing is redrawn
            self._thread.start()

    def stop(self) -> None:
        self._stop.set()
        if self._thread.is_alive():
            self._thread.join()


class BatchView:
    """What a batch of files shows: a start line, each file's faults on standard error as soon as
    they are known, each file's answer (or ``{"ok":false,"error":...}``) on standard output in the
    order of the files, and a summary line; on a terminal (unless cargo's lines, ``echo``, take its
    place) a progress bar below, naming the builds running with their seconds.
    ``status(outcome)`` is an outcome's exit status (0: its answer is shown)."""

    def __init__(self, paths: list[str], workers: int, dry_run: bool, given: Mapping[str, str],
                 status: Callable[[Outcome], int], stdout: TextIO, stderr: TextIO, echo: TextIO | None) -> None:
        self.statuses: list[int] = []
        self._paths, self._given, self._status = paths, given, status
        self._stdout, self._stderr = stdout, stderr
        self._outcomes: dict[int, Outcome] = {}
        self._started = time.monotonic()
        stderr.write(f"{PROG}: compiling {len(paths)} files, up to {workers} at a time\n")
        stderr.flush()
        self._bar_off = echo is not None or not isatty(stderr)
        self._dry_run = dry_run
        self.names: dict[int, str] = {}  # what each file's build is called in the bar

    def began(self, index: int) -> None:
        self._running.began(index)

    def finished(self, index: int, outcome: Outcome) -> None:
        # Faults and warnings are shown at once; answers in the order of the files, as soon as
        # all before are done.
        self._running.ended(index)
        self._bar.update(1)
        shown = error_of(outcome, self._paths[index], self._given)[1]
        if shown:
            tqdm.write(shown, file=self._stderr, end="")
        self._outcomes[index] = outcome
        while len(self.statuses) in self._outcomes:
            done = self._outcomes.pop(len(self.statuses))
            status = self._status(done)
            self.statuses.append(status)
            if status == 0:
                assert done.answer is not None
                tqdm.write(done.answer, file=self._stdout)
                continue
            first = error_of(done, None, self._given, shown=False)[0]
            if not first:  # refused for its warnings
                warning, location = done.warnings[0]
                first = "warnings are errors (--strict): " + headline(warning) + place(location)
            tqdm.write(json.dumps({"ok": False, "error": first}, ensure_ascii=False, separators=(",", ":")),
                       file=self._stdout)
        self._stdout.flush()

    def __enter__(self) -> None:
        self._bar = tqdm(total=len(self._paths), file=self._stderr, unit="file", leave=False, disable=self._bar_off)
        self._running = _Running(self._bar, self._dry_run, self.names)
        self._running.start()

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self._running.stop()
        self._bar.__exit__(kind, error, traceback)
        if kind is not None:
            return
        failed = sum(status != 0 for status in self.statuses)
        look = style.get()
        self._stderr.write(f"{PROG}: {look(GREEN, f'{len(self._paths) - failed} succeeded')}, "
                           f"{look(RED, f'{failed} failed') if failed else '0 failed'} "
                           f"in {time.monotonic() - self._started:.1f}s\n")
