"""``python -m orvane_compile``: the same command line as ``orvane-compile``."""

from .cli import main

if __name__ == "__main__":
    raise SystemExit(main())
