"""The Pythonic face of the compiler: functions, typed results and one exception.

Everything here goes through ``Compiler.command``: the functions only build the
JSON request, send it and turn the JSON answer into dataclasses. Nothing is
validated or digested in Python; every verdict and every digest is the
compiler's own.

    >>> from orvane_compile import compile
    >>> result = compile(strategy, target="binary", dry_run=True)
    >>> result.manifest.crate_name, result.manifest.spec_hash

A strategy given as a ``str`` is sent verbatim, so the digests cover exactly
the text given (``1`` and ``1.0`` stay different numbers); a mapping is sent
as ``json.dumps`` writes it.
"""

from __future__ import annotations

import dataclasses
import functools
import hashlib
import json
import os
import socket
from collections.abc import Callable, Iterable, Mapping, Sequence
from concurrent.futures import Executor, Future
from dataclasses import dataclass
from typing import Any, Protocol, Union, cast

from . import _batch
from ._model import (
    CompileError,
    CompileResult,
    CsvData,
    Diagnostic,
    ErrorKind,
    InlineData,
    Manifest,
    ManifestFile,
    OptLevel,
    Target,
    TargetKind,
    checked_mcu,
    checked_timeout,
    is_compile_spec,
)
from ._orvane_compile import Compiler, json_text, strategy_schema_json
from ._request import (
    Location,
    Request,
    RequestBuilder,
    Source,
    dumps,
    parse_object_members,
)
from .doctor import project_folder, require_ready

__all__ = [
    "CompileError",
    "Diagnostic",
    "CompileResult",
    "CsvData",
    "InlineData",
    "Manifest",
    "ManifestFile",
    "Target",
    "check",
    "compile",
    "compile_many",
    "is_compile_spec",
    "strategy_schema",
]

#: A strategy document: a mapping (object form), a sequence (positional
#: form) or JSON text, which is sent verbatim.
StrategyInput = Union[Mapping[str, Any], Sequence[Any], str]

# The name a strategy given as text goes by in messages.
_STRATEGY_SOURCE = "strategy text"
# check() validates the document alone: a fixed, valid crate name keeps the
# naming rule (which looks at `symbol`) out of the verdict.
_CHECK_CRATE_NAME = "strategy_check"


EmbedInput = Union[CsvData, InlineData, Mapping[str, Any]]


class _HasFileno(Protocol):
    def fileno(self) -> int: ...


#: Where a build's tool output goes as it comes: a file descriptor, a file, or nowhere.
Echo = Union[int, _HasFileno, None]


# ---------------------------------------------------------------- requests

Writer = Callable[[RequestBuilder], object]


def spec_object(members: Sequence[tuple[str, Writer | str]]) -> Writer:
    """A writer for a compile spec object, one member per line. A member's value is a writer, or
    JSON text generated here."""

    def write(builder: RequestBuilder) -> None:
        generated = ""  # held back to go in as one piece with what follows
        for index, (key, value) in enumerate(members):
            generated += ("{\n" if index == 0 else ",\n") + _member_head(key)
            if isinstance(value, str):
                generated += value
            else:
                builder.own(generated)
                generated = ""
                value(builder)
        builder.own(generated + ("\n}" if members else "{\n}"))

    return write


def _member_head(key: str) -> str:
    """ ``"key":`` for a member of a request."""
    return _KNOWN_HEADS.get(key) or dumps(key) + ":"


_KNOWN_HEADS = {key: f'"{key}":' for key in ("target", "opt_level", "crate_name", "embed_data", "strategy")}


def compile_request(spec: Writer, *, dry_run: bool, out_dir: str | None, timeout: float | None = None,
                    cache_dir: str | None = None, cargo_jobs: int | None = None, store: str | None = None) -> Request:
    """The compile command around a spec. ``cargo_jobs`` is CARGO_BUILD_JOBS for this build's cargo alone."""
    builder = RequestBuilder().own(_request_head(dry_run, out_dir, timeout, cache_dir, cargo_jobs, store) + ',"spec":')
    spec(builder)
    builder.own("}\n")
    return builder.build()


def _request_head(dry_run: bool, out_dir: str | None, timeout: float | None, cache_dir: str | None,
                  cargo_jobs: int | None, store: str | None = None) -> str:
    """A compile command's text up to its compile spec."""
    head = '{"cmd":"compile","dry_run":true' if dry_run else '{"cmd":"compile"'
    if out_dir is not None:
        head += ',"out_dir":' + dumps(out_dir)
    build: dict[str, Any] = {}
    if timeout is not None:
        build["timeout_s"] = timeout
    if cache_dir is not None:
        build["cache_dir"] = cache_dir
    if cargo_jobs is not None:
        build["jobs"] = cargo_jobs
    if store is not None:
        build["store"] = store
    if build:
        head += ',"build":' + dumps(build)
    return head


def _environment(name: str, encoded: bytes) -> str | None:
    """``os.environ.get(name)``, ``encoded`` being the name as the file-system encoding has it.

    Every compile asks for two variables that are mostly unset, and os.environ.get answers an
    unset one through three calls in Python and a KeyError: 1.4 us, a fifth of a small dry
    run's whole cost. The table os.environ keeps (bytes on POSIX) answers it in 40 ns; where
    it has another form, the plain road.
    """
    table = getattr(os.environ, "_data", None)
    if type(table) is not dict or os.name != "posix":
        return os.environ.get(name)
    found = table.get(encoded)
    return None if found is None else os.fsdecode(found)


def default_cache_dir(cache_dir: str | os.PathLike[str] | None) -> str | None:
    """The build cache folder: the one given, else ``ORVANE_CACHE_DIR`` when set and not empty."""
    if cache_dir is not None:
        return path_text(cache_dir)
    from_environment = _environment("ORVANE_CACHE_DIR", b"ORVANE_CACHE_DIR")
    return path_text(from_environment) if from_environment else None


def default_store(store: str | os.PathLike[str] | None) -> str | None:
    """The artifact store: the one given, else ``ORVANE_STORE`` when set and not empty."""
    if store is not None:
        return path_text(store)
    from_environment = _environment("ORVANE_STORE", b"ORVANE_STORE")
    return path_text(from_environment) if from_environment else None


def checked_out_dir(out_dir: str | os.PathLike[str] | bytes | None, name: str = "out_dir") -> None:
    """ValueError for an empty ``out_dir``: the compiler would build into the current folder. ``name``
    is what the message calls it."""
    if out_dir is not None and not os.fspath(out_dir):
        raise ValueError(f"{name} must name a folder, not be empty")


def shown(text: str) -> str:
    """``text`` quoted on one line, each byte that was not UTF-8 shown as ``\\xNN``.

    Python hands such bytes of a file name or command-line argument over as
    the lone surrogates U+DC80 to U+DCFF.
    """
    out = []
    for char in text:
        if "\udc80" <= char <= "\udcff":
            out.append(f"\\x{ord(char) - 0xDC00:02x}")
        elif char == "'":
            out.append("\\'")
        else:
            out.append(repr(char)[1:-1])
    return "'" + "".join(out) + "'"


def not_utf8(text: str, what: str = "path") -> str | None:
    """Why ``text`` cannot go into a request (requests are UTF-8 text), or None when it can."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return f"the {what} {shown(text)} is not UTF-8; the compiler takes UTF-8 {what}s only"
    return None


def path_text(path: str | os.PathLike[str] | bytes, member: str = "") -> str:
    """A path as a request carries it; CompileError("io") naming it when it is not UTF-8 (``member``:
    the compile-spec member it is, if any)."""
    text = os.fsdecode(path)
    problem = not_utf8(text)
    if problem is not None:
        raise CompileError("io", problem, member)
    return text


def value_writer(value: Any) -> Writer:
    return lambda builder: builder.value(value)


def text_writer(source: Source) -> Writer:
    return lambda builder: builder.source(source)


def parsed_text(source: Source) -> Any:
    """A caller's text read as JSON, once the compiler has read it as exactly one JSON value; its
    CompileError (see ``json_text_error``) otherwise."""
    error = json_text_error(source)
    if error is not None:
        raise error
    return json.loads(source.text)


def inline_writer(candles: Source) -> Writer:
    """An inline dataset whose candles are a caller's text, embedded verbatim; CompileError when the
    text is not exactly one JSON value."""
    error = json_text_error(candles)
    if error is not None:
        raise error

    def write(builder: RequestBuilder) -> None:
        builder.own('{"kind":"inline","candles":\n')
        builder.source(candles)
        builder.own("\n}")

    return write


def document_spec(document: Source, is_spec: bool, overrides: Sequence[tuple[str, Writer]]) -> Writer:
    """The compile spec for a caller's document with some members given apart (``overrides``).

    A compile spec (``is_spec``, see ``is_compile_spec``) is copied verbatim, but for the members
    overridden, which are left out and written after the rest; a bare strategy goes in verbatim as
    the compile spec's ``strategy`` member, after the overrides (and the target wasm, unless they give one).
    """
    if not is_spec:
        members = list(overrides)
        if not any(key == "target" for key, _ in members):
            members.insert(0, ("target", value_writer({"kind": "wasm"})))
        members.append(("strategy", text_writer(document)))
        return spec_object(members)
    if not overrides:
        return text_writer(document)
    found = parse_object_members(document.text)
    assert found is not None  # the text was read as one JSON object
    replaced = {key for key, _ in overrides}
    kept = [(start, end) for key, start, end in found if key not in replaced]

    def write(builder: RequestBuilder) -> None:
        builder.own("{")
        separator = "\n"
        for start, end in kept:
            builder.own(separator)
            builder.source(document, start, end)
            separator = ",\n"
        for key, write_value in overrides:
            builder.own(separator + json.dumps(key) + ":")
            write_value(builder)
            separator = ",\n"
        builder.own("\n}")

    return write


def target_value(target: str, mcu: str | None) -> dict[str, str]:
    value = {"kind": target}
    if mcu is not None:
        value["mcu"] = mcu
    return value


def embed_text(embed_data: EmbedInput) -> str:
    """The dataset's JSON text."""
    if isinstance(embed_data, CsvData):
        return dumps({"kind": "csv", "path": path_text(embed_data.path, "embed_data.path")})
    if isinstance(embed_data, InlineData):
        value: Any = {"kind": "inline", "candles": list(embed_data.candles)}
    elif isinstance(embed_data, Mapping):
        value = dict(embed_data)
    else:
        raise TypeError("embed_data must be a CsvData, an InlineData or a mapping, "
                        f"not {type(embed_data).__name__}")
    return _json_of(value, "embed_data")


def _json_of(value: Any, path: str) -> str:
    """``value`` as JSON text for the compiler to judge, written by the binding.

    A NaN or infinity (JSON cannot carry them) is refused here, the first in the order of the
    text: CompileError("request") with its path. Containers nested 200 deep are written empty
    (the compiler reads a request no deeper than 127 levels, and says where it stops: for a
    strategy, CompileError("bad spec") at path "strategy" naming the levels a strategy may
    use), and a lone surrogate in a str as its escape, which the compiler judges as it judges
    that text.
    """
    written = json_text(value, path)
    if isinstance(written, tuple):
        message, where = written
        raise CompileError("request", message, where)
    return written


Located = tuple[Diagnostic, Union[Location, None]]


def _dotted(steps: Sequence[str | int]) -> str:
    """A path as users write it, from the compile spec down: "strategy.entry.all[1]"."""
    if steps[:1] == ["spec"]:
        steps = steps[1:]
    out = ""
    for step in steps:
        if isinstance(step, int):
            out += f"[{step}]"
        else:
            out += ("." if out else "") + step
    return out


def _located(request: Request, raw: Mapping[str, Any], where: bool = True) -> Located:
    """A diagnostic of the compiler, placed in the caller's text it lies in, if any; unless
    ``where``, one in text generated here is not placed."""
    syntax = raw["kind"] == "syntax"
    kind = cast(ErrorKind, "request" if syntax else raw["kind"])
    message: str = raw["message"]
    placed = raw["line"] is not None and (where or request.has_sources)
    location = request.locate(raw["line"], raw["column"], raw["index"]) if placed else None
    source = None if location is None else location.source
    if syntax:
        name = source.name if source is not None else "the request"
        message = f"{name} is not valid JSON: {message}"
    if location is not None and source is not None:
        return Diagnostic(raw["severity"], kind, message, _dotted(raw["path"]), location.line, location.column,
                          source.name, location.line_text, raw.get("hint")), location
    return Diagnostic(raw["severity"], kind, message, _dotted(raw["path"]), hint=raw.get("hint")), location


@dataclass(frozen=True)
class Outcome:
    """What a request came to: the answer (None when it was only diagnosed, or held back), its
    faults and warnings.

    Each diagnostic comes with its place in the request (``Location``; its
    ``source`` is None for text generated here), for showing the line.
    ``parsed`` is the answer read as JSON.
    """

    answer: str | None
    errors: tuple[Located, ...]
    warnings: tuple[Located, ...]
    parsed: dict[str, Any] | None = dataclasses.field(default=None, repr=False, compare=False)
    #: A compile's success, without its warnings, when asked for ``typed`` (the answer is then None).
    typed: CompileResult | None = dataclasses.field(default=None, repr=False, compare=False)

    @staticmethod
    def refused(kind: ErrorKind, message: str) -> Outcome:
        """A request refused with no place: before it was sent, or by a check around the call."""
        return Outcome(None, ((Diagnostic("error", kind, message), None),), ())

    @staticmethod
    def of_text_error(error: CompileError) -> Outcome:
        """A caller's text that is not one JSON value (``json_text_error``'s verdict), as the outcome
        of a request never sent."""
        diagnostic = error.diagnostics[0]
        location = None
        if diagnostic.line is not None and diagnostic.source is not None:
            location = Location(Source(diagnostic.source, ""), diagnostic.line, diagnostic.column or 0,
                                diagnostic.line_text or "")
        return Outcome(None, ((diagnostic, location),), ())

    def error(self) -> CompileError | None:
        if not self.errors:
            return None
        return CompileError.from_diagnostics([d for d, _ in self.errors])


# A tool chain's last word before a build writes anything: ready(kind, mcu, project_dir)
# raises CompileError when it cannot build the target.
Ready = Callable[[str, Union[str, None], str], object]


def exchange(compiler: Compiler, request: Request, echo: Echo = None, *, run: bool = True,
             ready: Ready | None = None, strict: bool = False, verbatim: Source | None = None,
             typed: bool = False, where: bool = True) -> Outcome:
    """Send a request (or only diagnose it, unless ``run``), and gather what is wrong with it, in
    one call of the compiler.

    ``ready`` is asked before a build writes anything; with ``strict`` a build whose request
    draws warnings is not run. ``verbatim`` is a text of the caller's spliced into the request as
    the strategy: unless it is exactly one JSON value, nothing runs and its CompileError is raised.
    With ``typed``, a compile's success comes as the outcome's ``typed``, made by the binding.
    Unless ``where``, a diagnostic in text generated here has no location (that is, none for
    showing its line: only the caller's texts are placed).
    """
    span = None if verbatim is None else request.span_of(verbatim)
    answer, data = _diagnosed(compiler, request.text, verbatim, span, run=run, echo=echo, ready=ready,
                              strict=strict, result=_RESULT_TYPES if typed else None)
    del compiler
    return _outcome(request, answer, data, where)


def _diagnosed(compiler: Compiler, text: str, verbatim: Source | None, span: tuple[int, int] | None, *,
               run: bool, echo: Echo, ready: Ready | None, strict: bool,
               result: tuple[type, type, type, type] | None) -> tuple[Any, str]:
    """The compiler's (answer, diagnostics) for a request text, in one call; ``span`` is where
    ``verbatim`` lies in it. A caller's text that is not one JSON value is raised as its
    CompileError."""
    try:
        # A job of a batch: its builds stop with the batch.
        answer, data = compiler.diagnose(text, run=run, echo=echo, cancel=_batch.stop_event(), ready=ready,
                                         strict=strict, strategy_text=span, result=result)
        if data is None:  # the caller's text is not one JSON value: that is its fault
            assert verbatim is not None
            error = json_text_error(verbatim)
            if error is not None:
                raise error
            answer, data = compiler.diagnose(text, run=run, echo=echo, cancel=_batch.stop_event(), ready=ready,
                                             strict=strict, result=result)
    except BaseException:
        # What is raised here (the caller's bad text, what a build's `ready` or a signal
        # handler raised) goes on with this frame in its traceback, and the frame, holding the
        # error, is a cycle that a collection on any thread may free; the handle must not be in
        # it, for that thread (a batch's caller, a collector) need not be the handle's.
        del compiler
        raise
    del compiler
    assert data is not None
    return answer, data


def _outcome(request: Request, answer: Any, data: str, where: bool) -> Outcome:
    """The Outcome of the compiler's (answer, diagnostics) for ``request``."""
    found = [_located(request, raw, where) for raw in json.loads(data)["diagnostics"]] if data != _NO_DIAGNOSTICS else []
    errors = tuple(item for item in found if item[0].severity == "error")
    warnings = tuple(item for item in found if item[0].severity == "warning")
    if isinstance(answer, CompileResult):
        return Outcome(None, errors, warnings, typed=answer)
    parsed = None if answer is None else json.loads(answer)
    if parsed is not None and not errors:
        refused = parsed.get("error")
        if refused is not None:  # a refusal decoding does not see, and the compiler did not place
            errors = ((Diagnostic("error", "request", refused), None),)
    return Outcome(answer, errors, warnings, parsed)


# What the binding makes a compile's success of (see Outcome.typed).
_RESULT_TYPES = (Target, Manifest, ManifestFile, CompileResult)


# The diagnostics of a request without a fault or warning, which need no reading.
_NO_DIAGNOSTICS = '{"diagnostics":[]}'
# The outcome of a request only diagnosed, without a fault or warning.
_CLEAN = Outcome(None, (), ())


def json_text_error(source: Source) -> CompileError | None:
    """The CompileError for a caller's text that is not exactly one JSON value; None when it is.

    A text sent verbatim must stand for one value: text that goes on after
    its value ends would otherwise become part of the request around it.
    """
    _, data = Compiler().diagnose(source.text, run=False)
    assert data is not None
    for raw in json.loads(data)["diagnostics"]:
        if raw["kind"] != "syntax":
            break
        line, column = raw["line"], raw["column"]
        lines = source.text.split("\n")
        if column == 0:  # at the end of the text, past its last line feed: shown where the text ends
            column = 1
            if line > 1:
                line -= 1
                column = len(lines[line - 1].encode("utf-8")) + 1
        message = f"{source.name} is not valid JSON: {raw['message']}"
        diagnostic = Diagnostic("error", "request", message, "", line, column, source.name,
                                lines[line - 1] if line <= len(lines) else "", hint=raw.get("hint"))
        return CompileError.from_diagnostics([diagnostic])
    return None


def _strategy_call(head: str, strategy: StrategyInput, tail: str, *, run: bool = True, echo: Echo = None,
                   ready: Ready | None = None, strict: bool = False) -> CompileResult | Outcome:
    """``compile``'s and ``check``'s one call of the compiler, with ``strategy`` between ``head``
    and ``tail`` (text generated here): a compile's success without a diagnostic as its
    CompileResult, anything else as its Outcome (nothing placed in text generated here).

    This is the road of every call, and its cost is the API's over the raw command: the request
    is one text, sent once, and the request's map of where its bytes came from is made only
    when there is a diagnostic to place. (The handle is a temporary: a raise leaves it in no
    frame; see ``_diagnosed``.)
    """
    if isinstance(strategy, str):
        start = len(head) if head.isascii() else len(head.encode("utf-8"))
        span: tuple[int, int] | None = (
            start, start + (len(strategy) if strategy.isascii() else len(strategy.encode("utf-8"))))
        middle = strategy
    else:
        span = None
        middle = _strategy_json(strategy)
    text = head + middle + tail
    answer, data = Compiler().diagnose(text, run=run, echo=echo, cancel=_batch.stop_event(), ready=ready,
                                       strict=strict, strategy_text=span, result=_RESULT_TYPES)
    if data == _NO_DIAGNOSTICS:
        if type(answer) is CompileResult:
            return answer
        if answer is None:
            return _CLEAN
    verbatim = None if span is None else Source(_STRATEGY_SOURCE, middle)
    if data is None:  # the caller's text is not one JSON value: that is its fault
        assert verbatim is not None
        error = json_text_error(verbatim)
        if error is not None:
            raise error
        answer, data = _diagnosed(Compiler(), text, None, None, run=run, echo=echo, ready=ready, strict=strict,
                                  result=_RESULT_TYPES)
    return _outcome(Request.around(head, verbatim or middle, tail), answer, data, False)


def _result(got: CompileResult | Outcome, strict: bool) -> CompileResult:
    """A compile's result from what ``_strategy_call`` gave, with its warnings; CompileError for a
    refusal (with ``strict``, for a warning too)."""
    if isinstance(got, CompileResult):
        return got
    _raise_for(got, strict)
    warnings = tuple(d for d, _ in got.warnings)
    if got.typed is not None:
        # The binding made this result for this call alone, and nothing has seen it yet: its
        # warnings are set as its own __init__ sets a field, without the copy that
        # dataclasses.replace makes (a third of the cost of a result that has warnings).
        object.__setattr__(got.typed, "warnings", warnings)
        return got.typed
    assert got.parsed is not None
    return result_from(got.parsed, warnings)


def _raise_for(outcome: Outcome, strict: bool) -> None:
    error = outcome.error()
    if error is not None:
        raise error
    if strict and outcome.warnings:
        raise CompileError.from_diagnostics([dataclasses.replace(d, severity="error") for d, _ in outcome.warnings])


def _target_from(value: Mapping[str, Any]) -> Target:
    return Target(cast(TargetKind, value["kind"]), value.get("mcu"))


def manifest_from(value: Mapping[str, Any]) -> Manifest:
    """A Manifest from its JSON form."""
    return Manifest(
        compiler_version=value["compiler_version"],
        target=_target_from(value["target"]),
        opt_level=cast(OptLevel, value["opt_level"]),
        crate_name=value["crate_name"],
        spec_hash=value["spec_hash"],
        backtest_dep=value["backtest_dep"],
        files=tuple(ManifestFile(f["path"], f["sha256"], f["bytes_len"]) for f in value["files"]),
        project_hash=value["project_hash"],
    )


def result_from(value: Mapping[str, Any], warnings: Sequence[Diagnostic] = ()) -> CompileResult:
    """A CompileResult from the JSON answer of a compile."""
    return CompileResult(
        target=_target_from(value["target"]),
        manifest=manifest_from(value["manifest"]),
        path=value.get("path"),
        built=value["built"],
        warnings=tuple(warnings),
        store_key=value["store"]["key"] if "store" in value else None,
        store_hit=value["store"]["hit"] if "store" in value else None,
    )


# The target member of the targets that take no mcu.
_TARGET_TEXTS = {kind: dumps({"kind": kind}) for kind in ("wasm", "binary", "no_std")}


def _strategy_json(strategy: StrategyInput) -> str:
    """A strategy given as a mapping or a sequence, as JSON text."""
    if type(strategy) is dict:  # the common case, without asking the abstract classes
        value: Any = strategy
    elif isinstance(strategy, Mapping):
        value = dict(strategy)
    elif isinstance(strategy, Sequence) and not isinstance(strategy, (bytes, bytearray)):
        value = list(strategy)
    else:
        raise TypeError("strategy must be a mapping, a sequence or JSON text (str), "
                        f"not {type(strategy).__name__}")
    return _json_of(value, "strategy")


# ---------------------------------------------------------------- public functions


def compile(
    strategy: StrategyInput,
    target: TargetKind = "wasm",
    opt_level: OptLevel | None = None,
    crate_name: str | None = None,
    embed_data: EmbedInput | None = None,
    out_dir: str | os.PathLike[str] | None = None,
    dry_run: bool = False,
    mcu: str | None = None,
    timeout: float | None = None,
    cache_dir: str | os.PathLike[str] | None = None,
    echo: Echo = None,
    strict: bool = False,
    store: str | os.PathLike[str] | None = None,
) -> CompileResult:
    """Compile a strategy document into a cargo project, and build it unless ``dry_run``.

    ``target`` is "wasm", "binary" or "no_std" (which needs ``mcu``, one of the
    triples that ``targets`` lists). ``opt_level`` None means the compiler's
    default ("release"); ``crate_name`` None derives the name from the
    strategy's ``symbol``. ``embed_data`` is a ``CsvData``, an ``InlineData``
    or the dataset's JSON form as a mapping. ``out_dir`` None means "_out".
    ``strict`` makes every warning (a member nothing declares, an indicator
    the strategy does not declare) an error, raised before anything is built;
    otherwise the result's ``warnings`` lists them. ``timeout`` limits a build (cargo and wasm-bindgen together) to that many
    seconds; when it runs out, the build's processes are killed and
    CompileError("build", "timed out after N s") is raised. A dry run ignores
    it. A signal whose handler raises while a build runs on the main thread
    (Ctrl-C's KeyboardInterrupt) stops the build too, and that exception is
    raised. ``cache_dir`` (default: the environment's ``ORVANE_CACHE_DIR``)
    is a folder through which builds share their compiled dependencies; it
    changes no digest. ``store`` (default: the environment's ``ORVANE_STORE``)
    is a folder, by its path or a ``file://`` URL, that keeps built artifacts
    by a key of everything that decides their bytes (the project, target, opt
    level, tool chain, dependency lock and the user's RUSTFLAGS): a build it
    holds already is copied from it instead of built, and answers the same;
    other builds are stored there. ``echo`` (a file descriptor or a file such as
    ``sys.stderr``) receives cargo's output as it comes, each line after the
    crate name, warnings of a successful build included. A build is judged
    first, and the tool chain is checked for its target (see ``doctor``) in
    the same call, before anything is written: what it surely lacks (cargo,
    the target's standard library, wasm-bindgen) is raised at once as
    CompileError("build", ...) naming it and how to get it. That check keeps
    to ``timeout`` too.

    Raises CompileError for anything the compiler refuses (and for NaN or an
    infinity in the strategy or dataset, which JSON cannot carry: kind
    "request", with its path; for a path that is not UTF-8: kind "io"); a
    strategy text that is a file's path, or a whole compile spec given as the
    strategy, gets a hint saying so on its first fault,
    TypeError for a strategy or dataset of a type not accepted, or holding
    values that have no JSON form, and ValueError for an ``mcu`` given with a
    target other than "no_std" (the compiler would silently drop it), a
    ``timeout`` that is not positive or an empty ``out_dir``.
    """
    # The checks of arguments not given are skipped: this is the road of every call.
    if mcu is not None:
        checked_mcu(target, mcu)
    if timeout is not None:
        timeout = checked_timeout(timeout)
    folder = None
    if out_dir is not None:
        checked_out_dir(out_dir)
        folder = path_text(out_dir)
    head, tail = _around_strategy(target, mcu, opt_level, crate_name, embed_data, dry_run=dry_run, out_dir=folder,
                                  timeout=timeout, cache_dir=cache_dir, store=store)
    try:
        got = _strategy_call(head, strategy, tail, echo=echo, ready=None if dry_run else tool_chain_check(timeout),
                             strict=strict)
        return got if type(got) is CompileResult else _result(got, strict)
    except CompileError as error:
        raise _with_input_hint(error, strategy) from None


def _around_strategy(target: TargetKind, mcu: str | None, opt_level: OptLevel | None, crate_name: str | None,
                     embed_data: EmbedInput | None, *, dry_run: bool, out_dir: str | None = None,
                     timeout: float | None = None, cache_dir: str | os.PathLike[str] | None = None,
                     store: str | os.PathLike[str] | None = None) -> tuple[str, str]:
    """The texts before and after the strategy in the request of ``compile``'s arguments (checked
    already): what compile_request(spec_object(...)) writes, put together in one go."""
    target_text = _TARGET_TEXTS.get(target) if mcu is None else None
    spec = ',"spec":{\n"target":' + (target_text or dumps(target_value(target, mcu)))
    if opt_level is not None:
        spec += ',\n"opt_level":' + dumps(opt_level)
    if crate_name is not None:
        spec += ',\n"crate_name":' + dumps(crate_name)
    if embed_data is not None:
        spec += ',\n"embed_data":' + embed_text(embed_data)
    # In a batch on threads, each cargo gets the batch's share of the cores.
    head = _request_head(dry_run, out_dir, timeout, default_cache_dir(cache_dir),
                         None if dry_run else _batch.build_jobs(), default_store(store))
    return head + spec + ',\n"strategy":', "\n}}\n"


def _with_input_hint(error: CompileError, strategy: StrategyInput) -> CompileError:
    """``error``, with a hint on its first fault when the strategy given is something else a
    caller easily passes instead: a file's path, or a whole compile spec."""
    hint = None
    if isinstance(strategy, str) and error.kind == "request" and error.source == _STRATEGY_SOURCE:
        text = strategy.strip()
        if text and "\n" not in text and text[0] not in "{[" and (text.endswith(".json") or os.path.isfile(text)):
            hint = ("this text is a file's path, not its contents: pass the document "
                    "(pathlib.Path(path).read_text(), or the parsed mapping)")
    elif isinstance(strategy, Mapping) and is_compile_spec(strategy) and error.kind == "bad spec":
        hint = ("this is a compile spec, not a strategy: pass its `strategy` as the strategy, "
                "and its target, opt_level, crate_name and embed_data as keywords")
    if hint is None or error.diagnostics[0].hint:
        return error
    first, *rest = error.diagnostics
    return CompileError.from_diagnostics([dataclasses.replace(first, hint=hint), *rest])


def tool_chain_check(timeout: float | None) -> Ready:
    """What a build asks before it writes anything: whether the tool chain can build the target
    (see ``doctor``), within the build's ``timeout``; CompileError when it surely cannot."""
    def ready(kind: str, mcu: str | None, project_dir: str) -> None:
        require_ready(Target(cast(TargetKind, kind), mcu), project_dir, timeout=timeout)

    return ready


def check(strategy: StrategyInput, *, strict: bool = False) -> list[Diagnostic]:
    """Check a strategy document against the strategy schema; its warnings, empty when clean.

    Only the document is judged, as a dry run for the wasm target under a
    fixed crate name judges it (nothing is generated), so a ``symbol`` from which no crate name can be
    derived (such as "1000PEPE") does not fail it, while ``compile`` without
    ``crate_name`` would. Raises CompileError: kind "bad spec" for a document
    that is not a valid strategy, with every fault in ``diagnostics``,
    "request" for text that is not JSON. The warnings name members nothing
    declares (a misspelt optional key is ignored, and its setting lost) and
    indicators the conditions name but ``indicators`` does not declare; with
    ``strict`` they are raised as errors.
    """
    head, tail = _around_strategy("wasm", None, None, _CHECK_CRATE_NAME, None, dry_run=True)
    try:
        outcome = _strategy_call(head, strategy, tail, run=False)
        assert isinstance(outcome, Outcome)
        _raise_for(outcome, strict)
    except CompileError as error:
        raise _with_input_hint(error, strategy) from None
    return [diagnostic for diagnostic, _ in outcome.warnings]


def strategy_schema() -> dict[str, Any]:
    """The JSON Schema (draft 2020-12) of a strategy document in object form.

    Generated by the compiler from the declarations it decodes strategies
    with; a fresh copy on every call. Its gaps: JSON Schema's "integer" also
    matches 5.0, which the compiler rejects where it wants an unsigned 32-bit
    integer, and the document itself is described in object form only; see
    the schema's ``$comment``.
    """
    schema: dict[str, Any] = json.loads(strategy_schema_json())
    return schema


# ---------------------------------------------------------------- batches

# Artifacts are digested this many bytes at a time.
_DIGEST_CHUNK = 1 << 20


def artifact_digest(path: str | os.PathLike[str]) -> tuple[str, int]:
    """The SHA-256 (hex) and the size of a file, read a piece at a time."""
    digest = hashlib.sha256()
    size = 0
    with open(path, "rb") as handle:
        while chunk := handle.read(_DIGEST_CHUNK):
            digest.update(chunk)
            size += len(chunk)
    return digest.hexdigest(), size


def compile_job(job: Mapping[str, Any]) -> CompileResult | CompileError:
    """One job of ``compile_many``: ``compile(**job)``, then the artifact's digest and size.

    A module-level function of a picklable job with a picklable outcome, so
    that any executor can run it, a process pool included. Refusals come back
    as the CompileError; so do jobs that ``compile`` rejects with TypeError or
    ValueError (kind "request", the exception's text as the message) and an
    artifact that cannot be read (kind "io").
    """
    try:
        result = compile(**job)
    except CompileError as error:
        return error
    except (TypeError, ValueError) as error:
        return CompileError("request", str(error))
    if result.path is None:
        return result
    try:
        sha256, size = artifact_digest(result.path)
    except OSError as error:
        return CompileError("io", f"reading {result.path}: {error.strerror or error}")
    return dataclasses.replace(result, artifact_sha256=sha256, artifact_size=size)


# Where a batch's caller runs: this machine, and the working folder its relative paths are in.
Home = tuple[str, str]


def _home() -> Home:
    """This machine (its machine id, else its boot id, else its host name) and working folder."""
    machine = ""
    for name in ("/etc/machine-id", "/proc/sys/kernel/random/boot_id"):
        try:
            with open(name, encoding="ascii") as handle:
                machine = handle.read().strip()
        except (OSError, ValueError):
            continue
        if machine:
            break
    return machine or socket.gethostname(), os.getcwd()


def farm_job(job: Mapping[str, Any], home: Home) -> tuple[CompileResult | CompileError, bytes | None, bool]:
    """``compile_job`` on whichever machine runs it, and how its artifact reaches the batch caller's
    ``home`` when that is another machine or another working folder: through the job's store
    (the last member true: the caller fetches it by its key), else as the artifact's bytes."""
    outcome = compile_job(job)
    if not isinstance(outcome, CompileResult) or outcome.path is None or _home() == home:
        return outcome, None, False
    if outcome.store_key is not None and job.get("store") is not None:
        return outcome, None, True
    try:
        with open(outcome.path, "rb") as handle:
            return outcome, handle.read(), False
    except OSError as error:
        return CompileError("io", f"reading {outcome.path}: {error.strerror or error}"), None, False


def _fetched(result: CompileResult, store: str | os.PathLike[str]) -> bytes | CompileError:
    """The artifact of a build through ``store``, read from there by its key."""
    from . import _store

    location = path_text(store)
    assert result.store_key is not None
    try:
        entry = _store.open_store(location).get(result.store_key)
    except Exception as error:  # the store's own fault, whatever its backend raises
        return CompileError("io", f"store {location}: {error}")
    if entry is None:
        return CompileError("io", f"store {location}: no entry {result.store_key} for {result.path}")
    return entry[1]


def _brought_home(result: CompileResult, data: bytes, folder: str) -> CompileResult | CompileError:
    """An artifact built elsewhere, put at its reported path here: inside the job's project folder,
    with the digest the builder reported, written whole or not at all."""
    assert result.path is not None
    path = os.path.abspath(result.path)
    if hashlib.sha256(data).hexdigest() != result.artifact_sha256:
        return CompileError("io", f"the artifact brought home for {result.path} does not match its digest")
    inside = os.path.abspath(folder)
    if os.path.commonpath([path, inside]) != inside:
        return CompileError("io", f"refusing to write {result.path}: outside the job's project folder {folder}")
    parent = os.path.dirname(path)
    temporary = f"{path}.{os.getpid()}.part"
    try:
        os.makedirs(parent, exist_ok=True)
        # Through no link to elsewhere: the folders made or met must stay inside the project's.
        real = os.path.realpath(parent)
        if os.path.commonpath([real, os.path.realpath(inside)]) != os.path.realpath(inside):
            return CompileError("io", f"refusing to write {result.path}: {parent} leads outside {folder}")
        if os.path.isfile(path) and artifact_digest(path)[0] == result.artifact_sha256:
            return result
        descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o755)
        with os.fdopen(descriptor, "wb") as handle:
            handle.write(data)
        os.replace(temporary, path)
    except OSError as error:
        if os.path.lexists(temporary):
            os.unlink(temporary)
        return CompileError("io", f"writing {result.path}: {error.strerror or error}")
    return result


def compile_many(
    jobs: Iterable[Mapping[str, Any]],
    *,
    executor: Executor | None = None,
    progress: Callable[[int, int, CompileResult | CompileError], object] | None = None,
) -> list[CompileResult | CompileError]:
    """Compile several strategies at once; one outcome per job, in the order of ``jobs``.

    Each job is a mapping of ``compile`` keyword arguments, ``strategy``
    included (``store`` too: jobs naming one store copy what any of them, or
    an earlier build anywhere, built already). Its outcome is the CompileResult, with ``artifact_sha256`` and
    ``artifact_size`` filled in after a build (computed where the build ran),
    or the CompileError that ``compile`` raised: a failure never stops the
    batch and is never raised. A job that ``compile`` rejects with TypeError
    or ValueError (an unknown keyword, a missing strategy, a bad ``timeout``)
    gives CompileError("request", <the exception's text>) in its slot.

    Every job is first judged as a dry run, which names its project folder;
    only then does any build start. A build into a folder that an earlier
    job of the batch builds into is refused: CompileError("io", "refusing to
    build into <folder>: job N of this batch builds there too"), N counting
    from 1 (paths are compared as folders, however spelt).

    ``executor`` runs the jobs through its ``submit``, and is not shut down;
    every job goes to it as ``compile_job(job)``, a module-level function, so
    a ProcessPoolExecutor works too when the jobs pickle. Without one, a
    ThreadPoolExecutor of ``min(len(jobs), os.cpu_count())`` threads runs
    them (the native call releases the interpreter lock), and, unless the
    environment sets CARGO_BUILD_JOBS already, each build's cargo gets
    ``max(1, cpu_count // threads)`` jobs (in its own environment only) so
    that the cargos do not oversubscribe the cores.

    ``progress(done, total, outcome)`` is called on the calling thread as
    each job finishes, ``done`` counting from 1 to ``total``.

    Through an ``executor``, a build may run on another machine, or in
    another working folder: its artifact is then brought home, to its
    reported path on the calling machine (inside the job's project folder,
    through no link leading out of it, only when its bytes have the digest
    the worker reported; CompileError("io", ...) otherwise). A job with a
    ``store`` is fetched from it by its key; otherwise the worker sends the
    bytes with the outcome. One on this machine and in this working folder
    sends nothing.

    Anything else is raised: exceptions of the executor itself (a broken
    process pool, a job that does not pickle), an exception from
    ``progress``, KeyboardInterrupt while waiting. Jobs that have not started
    then are cancelled; running ones are waited for, except that with the
    default executor an interrupt (KeyboardInterrupt) kills their builds.
    """
    batch = list(jobs)
    if not batch:
        return []
    if executor is not None:
        return _run_batch(executor.submit, batch, progress, _batch.FolderClaims(), _home())
    workers = min(len(batch), os.cpu_count() or 1)
    claims = _batch.FolderClaims()
    with _batch.BatchThreads(workers, _batch.cores_per_build(workers)) as pool:
        return _run_batch(pool.submit, batch, progress, claims)


_JobOutcome = Union[CompileResult, CompileError]
_Submit = Callable[[Callable[[Any], _JobOutcome], Any], "Future[_JobOutcome]"]


def _builds(job: Any) -> bool:
    """Whether a job asks for a build (one that is not a mapping is refused before it could)."""
    return isinstance(job, Mapping) and not job.get("dry_run", False)


def _run_batch(
    submit: _Submit,
    batch: Sequence[Any],
    progress: Callable[[int, int, CompileResult | CompileError], object] | None,
    claims: _batch.FolderClaims,
    home: Home | None = None,
) -> list[CompileResult | CompileError]:
    """Runs ``compile_many``'s batch through ``submit``; with a ``home``, on an executor whose
    builds may run on other machines, each artifact is brought to its reported path here."""
    outcomes: dict[int, CompileResult | CompileError] = {}
    folders: dict[int, str] = {}

    def finished(index: int, outcome: Any) -> None:
        if isinstance(outcome, tuple):  # a farm job's: (outcome, the artifact's bytes, from the store)
            outcome, data, from_store = outcome
            if from_store:
                data = _fetched(outcome, batch[index]["store"])
            if isinstance(data, CompileError):
                outcome = data
            elif data is not None:
                outcome = _brought_home(outcome, data, folders[index])
        outcomes[index] = outcome
        if progress is not None:
            progress(len(outcomes), len(batch), outcome)

    def preview(index: int) -> Future[_JobOutcome]:
        # Every job as a dry run first: its verdict, and where a build of it would write.
        job = batch[index]
        return submit(compile_job, {**job, "dry_run": True} if _builds(job) else job)

    def settled(index: int, outcome: _JobOutcome) -> _JobOutcome | None:
        return None if isinstance(outcome, CompileResult) and _builds(batch[index]) else outcome

    def admit(index: int, dry_run: _JobOutcome) -> _JobOutcome | None:
        assert isinstance(dry_run, CompileResult)
        out_dir = batch[index].get("out_dir")
        folder = project_folder(None if out_dir is None else os.fsdecode(out_dir), dry_run.manifest.crate_name)
        folders[index] = folder
        owner = claims.claim(folder, index)
        return None if owner is None else CompileError("io", _batch.refusal(folder, f"job {owner + 1} of this batch"))

    def build(index: int) -> Future[Any]:
        if home is None:
            return submit(compile_job, batch[index])
        return submit(functools.partial(farm_job, home=home), batch[index])  # type: ignore[arg-type]

    steps = _batch.Steps(preview, settled, admit, build)
    _batch.run_batch(len(batch), steps, finished)
    return [outcomes[index] for index in range(len(batch))]
