"""A user's files as the command line reads them: as the compiler reads its files, and as UTF-8 text."""

from __future__ import annotations

import os
import stat
from typing import TextIO

from ._request import Source


class Unreadable(Exception):
    """A file that could not be read, or is not UTF-8 text; the message says which and why."""


def _not_regular(mode: int) -> str | None:
    """Why a file of this mode is not read, in the compiler's words; None for a regular file or a
    folder (which fails as reading it does)."""
    if stat.S_ISREG(mode) or stat.S_ISDIR(mode):
        return None
    kinds = ((stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
             (stat.S_ISSOCK, "a socket"))
    kind = next((name for test, name in kinds if test(mode)), None)
    return "not a regular file" + (f" ({kind})" if kind else "")


def _read_file(path: str) -> bytes:
    """A file's bytes, read as the compiler reads its files: opened without waiting (for the writer
    of a FIFO, the carrier of a terminal line, which never becomes the controlling one), and only
    when it is a regular file; Unreadable otherwise."""

    def refused(reason: str) -> Unreadable:
        return Unreadable(f"cannot read {path}: {reason}")

    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    except OSError as error:
        try:
            reason = _not_regular(os.stat(path).st_mode)  # a socket cannot be opened at all
        except OSError:
            reason = None
        raise refused(reason or error.strerror or str(error)) from None
    try:
        reason = _not_regular(os.fstat(fd).st_mode)
        if reason is not None:
            raise refused(reason)
        with open(fd, "rb", closefd=False) as handle:
            return handle.read()
    except OSError as error:
        raise refused(error.strerror or str(error)) from None
    finally:
        os.close(fd)


def read_source(path: str, stdin: TextIO) -> Source:
    """The text of FILE, or of standard input for "-"; Unreadable when it cannot be read or is not UTF-8."""
    if path == "-":
        data = stdin.buffer.read() if hasattr(stdin, "buffer") else stdin.read().encode("utf-8")
        name = "<stdin>"
    else:
        data = _read_file(path)
        name = path
    try:
        return Source(name, data.decode("utf-8"))
    except UnicodeDecodeError as error:
        raise Unreadable(f"{name} is not UTF-8 text (byte {error.start})") from None
