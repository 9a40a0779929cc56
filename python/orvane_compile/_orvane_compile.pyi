"""The native module (`orvane_compile._orvane_compile`)."""

from typing import Final, final

__version__: Final[str]
__all__ = ["__version__", "Compiler"]

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

    @staticmethod
    def version() -> str:
        """The library version."""
