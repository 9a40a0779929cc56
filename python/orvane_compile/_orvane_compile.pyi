"""The native module (`orvane_compile._orvane_compile`)."""

from typing import Final, Protocol, final

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
                 cancel: _HasIsSet | None = None) -> tuple[str | None, str]:
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
        """

    @staticmethod
    def version() -> str:
        """The library version."""

def strategy_schema_json() -> str:
    """The JSON Schema (draft 2020-12) of strategy documents, as JSON text.

    Generated from the declarations the compiler decodes strategies with.
    """
