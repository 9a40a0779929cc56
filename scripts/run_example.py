"""Compiles a shipped example strategy as a dry run and prints its manifest.

This is what an application does: one Compiler handle, JSON commands in,
JSON answers out. The manifest names the crate and fingerprints the request
and every generated file; it is the same on every run and every machine.
"""

import json
import pathlib
import sys

from orvane_compile import Compiler, __version__
from orvane_compile.api import is_compile_spec

ROOT = pathlib.Path(__file__).resolve().parent.parent
DEFAULT_EXAMPLE = ROOT / "examples" / "ema_cross_trend.json"


def compile_request(document):
    # An example is either a bare strategy or a whole compile spec.
    if is_compile_spec(document):
        spec = document
    else:
        spec = {"strategy": document, "target": {"kind": "wasm"}}
    return {"cmd": "compile", "spec": spec, "dry_run": True}


def main(argv):
    path = pathlib.Path(argv[1]) if len(argv) > 1 else DEFAULT_EXAMPLE
    compiler = Compiler()
    print(f"orvane_compile {__version__}: dry run of {path.name}", file=sys.stderr)
    response = json.loads(compiler.command(json.dumps(compile_request(json.loads(path.read_text())))))
    if "error" in response:
        print(f"error: {response['error']}", file=sys.stderr)
        return 1
    print(json.dumps(response["manifest"], indent=2))
    return 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv))
