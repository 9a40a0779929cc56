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
    orvane-compile verify ARTIFACT [--strategy FILE]
    orvane-compile --version
    (any command takes --color auto|always|never, before or after it)

FILE (or "-" for standard input) holds either a bare strategy document or a
whole compile spec; it is a compile spec when it is a JSON object with a
``strategy`` member. Flags override or complete the compile spec.

Exit status: 0 success, 1 invalid input (the compiler refused it, a file
could not be read, or with ``--strict`` a warning), 2 usage, 3 build failure
(a "build: " or "io: " error during a build, a tool the build needs missing;
for doctor: a target not ready). verify: 0 "ok", 1 a difference.

Before a build, the request is judged as a dry run and the tool chain is
checked for its target (``doctor``); what it surely lacks fails the build at
once.

Several files to ``compile`` are compiled with the same flags, up to
``--jobs`` at a time, each from a thread with a ``Compiler`` of its own, once
every file has been judged as a dry run: a file whose project folder an
earlier file builds in is refused ("io: refusing to build into ..."). Ctrl-C
kills the builds running and starts no other. The exit status is the worst of
the files' statuses.

What a command shows (colour, faults, status lines, a batch's lines): see
``_render``. The user's texts go into the request verbatim, and the request
records where each of its bytes came from (see ``_request``), so every fault
and warning the compiler places is shown in the user's file:

- a compile-spec file is embedded whole as the request's ``spec``; when flags
  override some of its members, the others are still copied byte for byte
  (only the overridden ones are left out);
- a bare strategy file is embedded whole as the compile spec's ``strategy``;
- an ``--inline`` candle file is embedded whole as the dataset's candles.

A text that is not JSON is refused before it is embedded, with the compiler's
own reader's message and place in it. Warnings (members nothing declares,
indicators the strategy does not declare) are shown on standard error after
the faults, also when the command succeeds; with ``--strict`` they fail it.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import sys
from collections.abc import Sequence
from concurrent.futures import Future
from typing import Any, NoReturn, TextIO

from . import _batch, _render
from ._input import Unreadable, read_source
from ._model import (
    VOCABULARY,
    Target,
    TargetKind,
    checked_mcu,
    checked_timeout,
    is_compile_spec,
)
from ._orvane_compile import Compiler
from ._render import PROG
from ._request import Request, Source
from .api import (
    CompileError,
    Outcome,
    Writer,
    checked_out_dir,
    compile_request,
    default_cache_dir,
    default_store,
    document_spec,
    exchange,
    inline_writer,
    manifest_from,
    not_utf8,
    parsed_text,
    target_value,
    tool_chain_check,
    value_writer,
)
from .doctor import doctor, project_folder
from .verify import verify

__all__ = ["main"]

EXIT_OK = 0
EXIT_INVALID = 1
EXIT_USAGE = 2
EXIT_BUILD = 3


class _UsageError(Exception):
    pass


class _InputError(Exception):
    """An argument that cannot go into a request; the message is the line shown after the program's name."""


_EPILOG = """\
exit status:
  0    success (doctor: every target checked is ready; verify: "ok")
  1    invalid input: the compiler refused it, or a file could not be read
       (verify: a difference)
  2    usage
  3    build failure: a "build: " or "io: " error during a build, or a tool the
       build needs missing (doctor: a target is not ready)
  130  interrupted
"""


class _Version(argparse.Action):
    """--version: the line ``version`` prints, from the version the compiler answers."""

    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, **kwargs)

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: Any,
                 option_string: str | None = None) -> None:
        sys.stdout.write(_render.version_line(json.loads(Compiler().command('{"cmd":"version"}'))))
        sys.stdout.flush()
        parser.exit()


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.print_usage(sys.stderr)
        raise _UsageError(f"{self.prog}: error: {message}")


def _seconds(text: str) -> float | None:
    """A positive, finite number of seconds, for --timeout (see ``checked_timeout``)."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    try:
        return checked_timeout(value)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a positive number of seconds: {text!r}") from None


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
    compile_parser.add_argument("--store", metavar="URL",
                                help="copy a build from the artifact store URL (a folder or a file:// URL) "
                                     "when it holds one, and store what is built there (default: $ORVANE_STORE)")
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
    verify_parser = commands.add_parser(
        "verify", help='check ARTIFACT against its provenance record: prints "ok" or the first difference',
        description="Check a built artifact against the provenance record the compiler wrote beside it "
                    "(ARTIFACT.provenance.json), and with --strategy against a strategy document (or a whole "
                    'compile spec): print "ok" (exit status 0) or the first difference (exit status 1).')
    verify_parser.add_argument("artifact", metavar="ARTIFACT", help="the artifact a build left")
    verify_parser.add_argument("--strategy", metavar="FILE", help="the strategy the artifact should embed")
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


# ---------------------------------------------------------------- the compile spec


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
        overrides.append(("embed_data", inline_writer(read_source(args.inline, stdin))))
    return document_spec(document, is_spec, overrides)


# ---------------------------------------------------------------- commands


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


def _style_of(args: argparse.Namespace, stdout: TextIO, stderr: TextIO) -> _render.Style:
    if getattr(args, "compact", False) or args.compact_top:
        return _render.Style(whole_build_output=True)  # --json: structured and uncoloured
    choice = getattr(args, "color", None) or args.color_top or "auto"
    verbose = bool(getattr(args, "verbose", False))
    return _render.Style(_render.colour(choice, stderr), _render.colour(choice, stdout), verbose)


def _status(outcome: Outcome, building: bool, strict: bool) -> int:
    """The exit status an outcome gives: a refusal, a build that failed, or, with strict, a warning."""
    if outcome.errors:
        kind = outcome.errors[0][0].kind
        return EXIT_BUILD if building and kind in ("build", "io") else EXIT_INVALID
    return EXIT_INVALID if strict and outcome.warnings else EXIT_OK


def _request(args: argparse.Namespace, spec: Writer, dry_run: bool, cargo_jobs: int | None = None) -> Request:
    """The compile command around ``spec`` with the flags; check sends a dry run and nothing else."""
    if args.command == "check":
        return compile_request(spec, dry_run=True, out_dir=None)
    return compile_request(spec, dry_run=dry_run, out_dir=args.out_dir, timeout=args.timeout,
                           cache_dir=default_cache_dir(args.cache_dir), cargo_jobs=cargo_jobs,
                           store=default_store(args.store))


def _compile(args: argparse.Namespace, stdin: TextIO, stdout: TextIO, stderr: TextIO) -> int:
    as_json = bool(args.compact or args.compact_top)
    try:
        spec = _spec_writer(args, read_source(args.file, stdin), stdin)
    except CompileError as error:  # a file that is not one JSON value
        _render.report(Outcome.of_text_error(error), stderr, as_json)
        return EXIT_INVALID
    checking = args.command == "check"
    dry_run = checking or args.dry_run
    compiler = Compiler()
    request = _request(args, spec, dry_run)
    if dry_run:
        outcome = exchange(compiler, request)
    else:
        echo = _echo_to(stderr) if args.verbose else None
        if echo is not None:
            echo.flush()
        live = echo is None and _render.isatty(stderr)
        status = _render.BuildStatus(stderr, live, tool_chain_check(args.timeout))
        with status:
            try:
                outcome = exchange(compiler, request, echo, ready=status.ready, strict=args.strict)
            except CompileError as refusal:  # the tool chain's
                outcome = Outcome.refused("build", refusal.message)
            status.failed = bool(outcome.errors)
    _render.report(outcome, stderr, as_json, given_flags(args))
    code = _status(outcome, not dry_run, args.strict)
    if code != EXIT_OK:
        if not outcome.errors and not as_json:
            stderr.write(f"{PROG}: warnings are errors (--strict)\n")
        return code
    assert outcome.answer is not None
    if checking:
        stdout.write('{"ok":true}\n' if as_json else _render.style.get()(_render.GREEN, "ok", out=True) + "\n")
        stdout.flush()
    else:
        _render.print_answer(outcome.answer, as_json, stdout)
    return EXIT_OK


def _echo_to(stream: TextIO) -> TextIO | None:
    """``stream`` when cargo's output can go straight to it: it must be a real file."""
    try:
        stream.fileno()
    except (AttributeError, OSError, ValueError):
        return None
    return stream


def _compile_files(args: argparse.Namespace, stdin: TextIO, stdout: TextIO, stderr: TextIO) -> int:
    """``compile`` of several files with the same flags, run by ``_batch.run_batch``: every file's
    request made and judged as a dry run, then each build admitted and run (``_render.BatchView``
    shows it)."""
    paths = [args.file, *args.more_files]
    if paths.count("-") > 1:
        raise _UsageError(f"{PROG}: error: standard input (-) can be given only once")
    # cargo's own lines, when asked for, take the place of the bar.
    echo = _echo_to(stderr) if args.verbose else None
    workers = min(args.jobs, len(paths))
    given = given_flags(args)
    view = _render.BatchView(paths, workers, args.dry_run, given,
                             lambda outcome: _status(outcome, not args.dry_run, args.strict), stdout, stderr, echo)
    cargo_jobs = _batch.cores_per_build(workers) if workers > 1 and not args.dry_run else None
    claims = _batch.FolderClaims()
    requests: dict[int, Request] = {}
    builds: dict[int, tuple[str, Target]] = {}  # the project folder and target of each build
    compiler = Compiler()  # this thread's
    pool = _batch.BatchThreads(workers) if workers > 1 else None
    with view, pool or contextlib.nullcontext():

        def preview(index: int) -> Outcome | None:
            """The file's request, made exactly as for one file, and for a build its dry run (its
            warnings too, with --strict); the outcome refusing it, if any."""
            path = paths[index]
            try:
                spec = _spec_writer(args, read_source(path, stdin), stdin)
                requests[index] = _request(args, spec, args.dry_run, cargo_jobs)
            except Unreadable as error:
                return Outcome.refused("request", str(error))
            except CompileError as error:  # a file that is not one JSON value
                return Outcome.of_text_error(error)
            if args.dry_run:
                view.names[index] = path.split(" ")[0] or path
                return None
            judged = exchange(compiler, compile_request(spec, dry_run=True, out_dir=args.out_dir))
            if _status(judged, False, args.strict) != EXIT_OK:
                return judged
            assert judged.parsed is not None
            manifest = manifest_from(judged.parsed["manifest"])
            view.names[index] = manifest.crate_name
            builds[index] = project_folder(args.out_dir, manifest.crate_name), manifest.target
            return None

        def admit(index: int, refused: Outcome | None) -> Outcome | None:
            """What refuses a build once every file is judged: its dry run, an earlier file's build in its
            project folder, or the tool chain for its target (see ``doctor``; within --timeout)."""
            if refused is not None or args.dry_run:
                return refused
            folder, target = builds[index]
            owner = claims.claim(folder, index)
            if owner is not None:
                return Outcome.refused("io", _batch.refusal(folder, f"{paths[owner]} (file {owner + 1} of this batch)"))
            try:
                tool_chain_check(args.timeout)(target.kind, target.mcu, folder)
            except CompileError as error:
                return Outcome.refused("build", error.message)
            return None

        def send(index: int) -> Outcome:
            # One job at a time runs on this thread, so Ctrl-C stops a build as it does for one file;
            # more run on that many threads, with a Compiler each, and Ctrl-C stops the running builds.
            view.began(index)
            return exchange(compiler if pool is None else Compiler(), requests[index], echo)

        def build(index: int) -> Future[Outcome]:
            if echo is not None:
                echo.flush()
            return (_batch.done if pool is None else pool.submit)(send, index)

        def settled(index: int, refused: Outcome | None) -> Outcome | None:
            # A dry run's refusal is shown at once; a build's in the order of the files, with theirs.
            return refused if args.dry_run else None

        _batch.run_batch(len(paths), _batch.Steps(lambda index: _batch.done(preview, index), settled, admit, build),
                         view.finished)
    return max(view.statuses)


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
        stderr.write(f"{PROG}: {_render.printable(parsed['error'])}\n")
        return EXIT_INVALID
    if args.command == "version" and not as_json:
        stdout.write(_render.version_line(parsed))
        stdout.flush()
        return EXIT_OK
    if args.command == "hash" and not args.handle:
        del parsed["handle"]
        answer = json.dumps(parsed, ensure_ascii=False, separators=(",", ":"))
    _render.print_answer(answer, as_json, stdout)
    return EXIT_OK


def _doctor(args: argparse.Namespace, stdout: TextIO) -> int:
    """Whether the tool chain can build each target: 0 when every one checked is ready, else 3."""
    _checked_mcu(args.target, args.mcu)
    kind: TargetKind | None = args.target
    try:
        found = doctor(kind, args.mcu, timeout=args.timeout)
    except ValueError as error:
        raise _UsageError(f"{PROG}: error: {error}") from None
    if args.compact or args.compact_top:
        stdout.write(json.dumps(found.to_json(), ensure_ascii=False, separators=(",", ":")) + "\n")
    else:
        stdout.write(found.text())
    stdout.flush()
    return EXIT_OK if found.ready else EXIT_BUILD


def _verify(args: argparse.Namespace, stdin: TextIO, stdout: TextIO, stderr: TextIO) -> int:
    """The artifact against its record (and the strategy given): "ok", else the first difference."""
    strategy: Any = None
    if args.strategy is not None:
        source = read_source(args.strategy, stdin)
        try:
            strategy = parsed_text(source)
        except CompileError as error:
            stderr.write(_render.printable(str(error)) + "\n")
            return EXIT_INVALID
        if is_compile_spec(strategy):
            strategy = strategy["strategy"]
    try:
        verdict = verify(args.artifact, strategy)
    except CompileError as error:
        stderr.write(_render.printable(str(error)) + "\n")
        return EXIT_INVALID
    except OSError as error:
        raise Unreadable(f"{args.artifact}: {error.strerror or error}") from None
    stdout.write(_render.printable(verdict) + "\n")
    return EXIT_OK if verdict == "ok" else EXIT_INVALID


def _check_utf8_arguments(args: argparse.Namespace) -> None:
    """Refuse the arguments that go into the request but are not UTF-8: requests are UTF-8 text."""
    paths = [("--csv", getattr(args, "csv", None)), ("--out-dir", getattr(args, "out_dir", None)),
             ("--cache-dir", getattr(args, "cache_dir", None)), ("--store", getattr(args, "store", None))]
    if args.command == "hash":
        paths.append(("FILE", args.file))
    values = [("--crate-name", getattr(args, "crate_name", None)), ("--mcu", getattr(args, "mcu", None))]
    for what, given in (("path", paths), ("value", values)):
        for flag, text in given:
            problem = None if text is None else not_utf8(text, what)
            if problem is not None:
                raise _InputError(f"{flag}: {problem}")


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line on ``argv`` (default: ``sys.argv[1:]``); returns the exit status."""
    stdin, stdout, stderr = sys.stdin, sys.stdout, sys.stderr
    styled = None
    try:
        parser = _parser()
        args, unparsed = parser.parse_known_args(argv)
        styled = _render.style.set(_style_of(args, stdout, stderr))
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
        if args.command == "verify":
            return _verify(args, stdin, stdout, stderr)
        if args.command == "compile" and args.more_files:
            return _compile_files(args, stdin, stdout, stderr)
        if args.command in ("compile", "check"):
            return _compile(args, stdin, stdout, stderr)
        return _simple(args, stdout, stderr)
    except _UsageError as error:
        # Before --color is read, auto decides.
        look = _render.style.get() if styled is not None else _render.Style(_render.colour("auto", stderr))
        stderr.write(_render.printable(str(error)).replace(" error: ", f" {look(_render.RED, 'error:')} ", 1) + "\n")
        return EXIT_USAGE
    except (_InputError, Unreadable) as error:
        stderr.write(f"{PROG}: {_render.printable(str(error))}\n")
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
            _render.style.reset(styled)
