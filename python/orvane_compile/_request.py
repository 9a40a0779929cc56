"""Request texts assembled around the caller's own text, and positions mapped back.

When a request embeds text that a user wrote (a compile-spec file, a strategy
file, a candle array), that text goes into the request verbatim, and the
request remembers which of its bytes came from where, so that a place the
compiler reports (a line and column of the request text) can be mapped back to
the line and column of the user's own text.

Every piece of a request is either a slice of a user's text (copied byte for
byte) or text generated here (from keyword arguments or flags). The compiler
places some faults where a reader of the text stops for them, which is after
the value, sometimes after the object around it (candles are judged once the
whole dataset object has been read). So a place in generated text that only
whitespace, closing brackets and commas separate from the end of a user's
slice belongs to that slice, and is shown just past the value's last
character.

Lines and columns are counted the compiler's way: lines from 1, columns as the
number of bytes from the start of the line up to and including the faulty
byte.
"""

from __future__ import annotations

import bisect
import json
import re
from dataclasses import dataclass
from typing import Any, NamedTuple

__all__ = [
    "Location",
    "Request",
    "RequestBuilder",
    "Source",
    "dumps",
    "parse_object_members",
]

_JSON_SPACE = b" \t\n\r"
# What generated text may hold between a user's value and the point where the
# compiler reports a fault in that value.
_CLOSING = _JSON_SPACE + b"}],"


@dataclass(frozen=True)
class Source:
    """A text the user wrote, under the name it is shown with in messages."""

    name: str
    text: str


@dataclass(frozen=True)
class Location:
    """Where a reported fault lies.

    ``source`` is the user's text the fault lies in, or None when it lies in
    text generated here (``line`` and ``column`` then count in the request
    text). ``line_text`` is the text of that line, without its line feed.
    """

    source: Source | None
    line: int
    column: int
    line_text: str


class _Piece(NamedTuple):
    start: int  # byte offsets in the request text
    end: int
    source: Source | None  # None: generated here
    source_start: int  # byte offset of the piece in the source's UTF-8 text


class _Lines:
    """A text's UTF-8 bytes and where each of its lines starts, found once, so that placing
    many faults costs a binary search each rather than a walk from the start."""

    def __init__(self, data: bytes) -> None:
        self.data = data
        self.starts = [0, *(match.end() for match in re.finditer(b"\n", data))]
        # Each line's text, decoded once: a minified document is one long line that every
        # fault in it would otherwise decode again.
        self._texts: dict[int, str] = {}

    def start_of_line(self, line: int) -> int:
        """Where line ``line`` (from 1) starts; past the last line, the last line's start."""
        return self.starts[max(0, min(line - 1, len(self.starts) - 1))]

    def line_of(self, offset: int) -> tuple[int, int, str]:
        """(line, column, line text) of the byte at ``offset``."""
        index = bisect.bisect_right(self.starts, offset) - 1
        line_start = self.starts[index]
        text = self._texts.get(index)
        if text is None:
            line_end = self.starts[index + 1] - 1 if index + 1 < len(self.starts) else len(self.data)
            text = self._texts[index] = self.data[line_start:line_end].decode("utf-8", errors="replace")
        return index + 1, offset - line_start + 1, text


class Request:
    """A request text with the origin of each of its bytes."""

    def __init__(self, text: str, pieces: list[_Piece]) -> None:
        self.text = text
        self._pieces = pieces
        self._lines: dict[int, _Lines] = {}  # by id() of the Source, None's for the request

    @staticmethod
    def around(head: str, middle: str | Source, tail: str) -> Request:
        """``middle`` (a caller's text, or JSON generated here) between two texts generated here."""
        if isinstance(middle, str):
            return Request(head + middle + tail, [])
        start = len(head) if head.isascii() else len(head.encode("utf-8"))
        text = middle.text
        end = start + (len(text) if text.isascii() else len(text.encode("utf-8")))
        pieces = [_Piece(0, start, None, 0), _Piece(start, end, middle, 0), _Piece(end, end + len(tail.encode("utf-8")), None, 0)]
        return Request(head + text + tail, pieces)

    @property
    def has_sources(self) -> bool:
        """Whether any of this text is a caller's."""
        return any(piece.source is not None for piece in self._pieces)

    @property
    def sources(self) -> list[Source]:
        """The user texts embedded, in order of first appearance."""
        found: list[Source] = []
        for piece in self._pieces:
            if piece.source is not None and piece.source not in found:
                found.append(piece.source)
        return found

    @property
    def _data(self) -> bytes:
        return self._lines_of(None).data

    def _lines_of(self, source: Source | None) -> _Lines:
        found = self._lines.get(id(source))
        if found is None:
            found = _Lines((self.text if source is None else source.text).encode("utf-8"))
            self._lines[id(source)] = found
        return found

    def locate(self, line: int, column: int, index: int | None = None) -> Location:
        """Map a (line, column) of this request text to where it came from; ``index``, the byte
        the two count up to (a diagnostic's), spares finding where the line starts."""
        if index is not None:
            # The column counts the bytes before the index on its line: the place is the last of
            # them, or the line's start.
            offset = index - 1 if column >= 1 else index
            for piece in self._pieces:
                if piece.start <= offset < piece.end and piece.source is not None:
                    return self._in_source(piece, offset)
        data = self._data
        lines = self._lines_of(None)
        offset = min(lines.start_of_line(line) + max(column, 1) - 1, len(data))
        previous: _Piece | None = None
        for piece in self._pieces:
            if piece.start <= offset < piece.end and piece.source is not None:
                return self._in_source(piece, offset)
            if piece.start > offset:
                break
            if piece.source is not None:
                previous = piece
        if previous is not None and not data[previous.end:offset + 1].strip(_CLOSING):
            # Just after a user's value: show the spot past its last character.
            end = previous.end
            while end > previous.start and data[end - 1] in _JSON_SPACE:
                end -= 1
            return self._in_source(previous, end)
        request_line, request_column, text = lines.line_of(offset)
        return Location(None, request_line, request_column, text)

    def span_of(self, source: Source) -> tuple[int, int] | None:
        """The bytes of this request text (first, end) that ``source`` was copied to, when it was
        copied in one piece."""
        pieces = [piece for piece in self._pieces if piece.source is source]
        if len(pieces) != 1:
            return None
        return pieces[0].start, pieces[0].end

    def _in_source(self, piece: _Piece, offset: int) -> Location:
        assert piece.source is not None
        line, column, text = self._lines_of(piece.source).line_of(piece.source_start + offset - piece.start)
        return Location(piece.source, line, column, text)


class RequestBuilder:
    """Assembles a request text piece by piece."""

    def __init__(self) -> None:
        self._parts: list[str] = []
        self._pieces: list[_Piece] = []
        self._size = 0

    def _add(self, text: str, source: Source | None, source_start: int) -> RequestBuilder:
        size = len(text) if text.isascii() else len(text.encode("utf-8"))
        self._parts.append(text)
        self._pieces.append(_Piece(self._size, self._size + size, source, source_start))
        self._size += size
        return self

    def own(self, text: str) -> RequestBuilder:
        """Text generated here."""
        return self._add(text, None, 0)

    def value(self, value: Any) -> RequestBuilder:
        """A value generated here, written as compact JSON."""
        return self.own(dumps(value))

    def source(self, source: Source, start: int = 0, end: int | None = None) -> RequestBuilder:
        """``source.text[start:end]`` (character indices), copied verbatim."""
        stop = len(source.text) if end is None else end
        byte_start = len(source.text[:start].encode("utf-8"))
        return self._add(source.text[start:stop], source, byte_start)

    def build(self) -> Request:
        return Request("".join(self._parts), list(self._pieces))


# One encoder for every call: json.dumps with options makes a new one each time.
_COMPACT = json.JSONEncoder(ensure_ascii=False, separators=(",", ":"))


def dumps(value: Any) -> str:
    """Compact JSON text of a Python value (non-ASCII kept as UTF-8)."""
    return _COMPACT.encode(value)


def parse_object_members(text: str) -> list[tuple[str, int, int]] | None:
    """The top-level members of a JSON object text: (key, start, end) each.

    ``start`` is the index of the key's opening quote, ``end`` the index just
    past the member's value. Returns None unless ``text`` is exactly one JSON
    object as Python's json reads it.
    """
    decoder = json.JSONDecoder()
    space = " \t\n\r"

    def skip(at: int) -> int:
        while at < len(text) and text[at] in space:
            at += 1
        return at

    try:
        at = skip(0)
        if text[at : at + 1] != "{":
            return None
        at = skip(at + 1)
        members: list[tuple[str, int, int]] = []
        if text[at : at + 1] == "}":
            return members if skip(at + 1) == len(text) else None
        while True:
            start = at
            if text[at : at + 1] != '"':
                return None
            key, at = decoder.raw_decode(text, at)
            at = skip(at)
            if text[at : at + 1] != ":":
                return None
            _, at = decoder.raw_decode(text, skip(at + 1))
            members.append((key, start, at))
            at = skip(at)
            if text[at : at + 1] == ",":
                at = skip(at + 1)
                continue
            if text[at : at + 1] == "}" and skip(at + 1) == len(text):
                return members
            return None
    except (ValueError, RecursionError):
        return None
