"""The native module (`orvane_compile._orvane_compile`)."""

from collections.abc import Callable
from typing import Any, Final, Protocol, final

__version__: Final[str]
__all__ = ["__version__", "Compiler"]

class _HasFileno(Protocol):
    def fileno(self) -> int: ...

class _HasIsSet(Protocol):
    def is_set(self) -> bool: ...

@final
class Compiler:
    """A compiler driven by JSON commands.

    `unsendable`: the handle holds a stateful build cache, so it is bound to the
    thread that created it.
    """

    def __init__(self) -> None: ...
    def command(self, cmd_json: str) -> str:
        """Apply a command JSON and return the response JSON.

        Domain errors are reported in-band as `{"ok": false, "error": ...}` JSON,
        not raised.
        """

    def diagnose(self, cmd_json: str, *, run: bool = True,
                 echo: int | _HasFileno | None = None,
                 cancel: _HasIsSet | None = None,
                 ready: Callable[[str, str | None, str], object] | None = None,
                 strict: bool = False,
                 strategy_text: tuple[int, int] | None = None,
                 result: tuple[type, type, type] | tuple[type, type, type, type] | None = None,
                 ) -> tuple[str | tuple[Any, Any, str | None, bool, tuple[str, bool] | None] | Any | None, str | None]:
        """Apply a command JSON as `command` does (unless `run` is false), and also
        return what is wrong with it as data: (response JSON or None, diagnostics JSON).

        `echo` (a file descriptor, or an object with fileno() such as sys.stderr)
        receives a build's cargo and wasm-bindgen output as it comes, each line
        after the crate name and ": ".

        `cancel` (an object with is_set(), such as a threading.Event) stops a build
        once it is set, on any thread; the answer is then the build's "cancelled".

        The diagnostics are {"diagnostics": [...]}, every fault decoding finds and
        warnings about members nothing declares and indicators no strategy declares,
        each with severity, kind, message, path, and index, line and column in cmd_json.

        `ready(kind, mcu, project_dir)` is called before a build writes anything; what it
        raises stops the build and is raised. With `strict`, a build whose request draws
        warnings does not run (the answer is None). `strategy_text` (first, end), byte offsets
        of cmd_json, must hold the strategy and only whitespace beside it; when it does not,
        nothing runs and the diagnostics are None.

        With `result` (Target, Manifest, ManifestFile), a compile's successful answer comes
        as the tuple (target, manifest, path, built, (store key, hit) or None) instead of JSON;
        with (Target, Manifest, ManifestFile, CompileResult), as a CompileResult.

        The request is read once when it is a compile request without a fault.
        """

    @staticmethod
    def version() -> str:
        """The library version."""

def strategy_schema_json() -> str:
    """The JSON Schema (draft 2020-12) of strategy documents, as JSON text.

    Generated from the declarations the compiler decodes strategies with.
    """

def json_text(value: Any, root: str) -> str | tuple[str, str]:
    """`value` as compact JSON text, non-ASCII kept as UTF-8; or (message, path) for its first
    NaN or infinity, `root` being the path of `value`."""

def vocabulary_json() -> str:
    """What requests and answers are made of, as JSON text: the versions, target kinds,
    optimisation levels, MCU triples, the wasm triple, error kinds, each target's project
    paths, every path a project may hold, and the lock and record files."""
