"""Sends a few commands through one Compiler handle and prints the answers.

Each entry of COMMANDS is a label and a command document; the document is
sent as JSON text, exactly as an application would.
"""

import json

from orvane_compile import Compiler, __version__

COMMANDS = [
    ("version", {"cmd": "version"}),
    ("targets", {"cmd": "targets"}),
]


def main():
    compiler = Compiler()
    print(f"orvane_compile {__version__}")
    failed = False
    for label, document in COMMANDS:
        response = compiler.command(json.dumps(document))
        print(f"{label}: {response}")
        failed |= "error" in json.loads(response)
    return 1 if failed else 0


if __name__ == "__main__":
    raise SystemExit(main())
