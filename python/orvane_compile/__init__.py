"""Strategy compiler driven by JSON commands.

``Compiler().command(cmd_json)`` takes one JSON command and answers JSON text;
see the README for the commands.
"""

from ._orvane_compile import Compiler, __version__

__all__ = ["Compiler", "__version__"]
