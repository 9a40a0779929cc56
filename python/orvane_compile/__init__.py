"""Strategy compiler driven by JSON commands.

``Compiler().command(cmd_json)`` takes one JSON command and answers JSON text;
see the README for the commands.
"""

from ._orvane_compile import Compiler, __version__
from .api import (
    CompileError,
    CompileResult,
    CsvData,
    Diagnostic,
    InlineData,
    Manifest,
    ManifestFile,
    Target,
    check,
    compile,
    compile_many,
    strategy_schema,
)
from .doctor import DoctorReport, TargetStatus, ToolProblem, ToolStatus, doctor
from .verify import verify

__all__ = [
    "Compiler",
    "__version__",
    "CompileError",
    "CompileResult",
    "CsvData",
    "Diagnostic",
    "InlineData",
    "Manifest",
    "ManifestFile",
    "Target",
    "check",
    "compile",
    "compile_many",
    "strategy_schema",
    "DoctorReport",
    "TargetStatus",
    "ToolProblem",
    "ToolStatus",
    "doctor",
    "verify",
]
