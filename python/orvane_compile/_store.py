"""Artifact stores the compiler has no backend of its own for: a URL such as
``s3://bucket/prefix``, through fsspec (for S3, s3fs; the endpoint and the
credentials come from the environment, as for any AWS client:
``AWS_ENDPOINT_URL``, ``AWS_ACCESS_KEY_ID``, ...).

The binding opens one when a request's ``build.store`` names such a URL, and
asks it for entries by key; the keys, the records and the check of what comes
back are the compiler's. An entry is ``<prefix>/<key[0:2]>/<key>/artifact``
and ``.../record.json``, laid out as in a local store. Its record is written
last: an entry without one is not there yet, and an artifact that does not
match its record is never served (the compiler drops the entry and builds
again). Objects are written whole; two builders of one key write the same
bytes.
"""

from __future__ import annotations

import importlib
import os
import urllib.parse
from typing import Any

__all__ = ["open_store"]


class _Folders:
    """The few file-system calls a store makes, on this machine's folders, for when fsspec is not
    installed: a local store (a farm's caller fetching from one) needs nothing more."""

    def cat_file(self, path: str) -> bytes:
        with open(path, "rb") as handle:
            return handle.read()

    def pipe_file(self, path: str, data: bytes) -> None:
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(f"{path}.{os.getpid()}.part", "wb") as handle:
            handle.write(data)
        os.replace(f"{path}.{os.getpid()}.part", path)

    def exists(self, path: str) -> bool:
        return os.path.exists(path)

    def rm_file(self, path: str) -> None:
        os.unlink(path)

    def invalidate_cache(self, path: str | None = None) -> None:
        pass


class FsspecStore:
    """A store under a URL fsspec knows (or a local folder, by its path or a file:// URL)."""

    def __init__(self, url: str) -> None:
        self._fs: Any
        try:
            fsspec: Any = importlib.import_module("fsspec")  # an optional dependency
        except ImportError:
            scheme = url.split("://", 1)[0] if "://" in url else "file"
            if scheme != "file":
                raise RuntimeError("this store needs fsspec (and s3fs for s3://): "
                                   "pip install 'orvane-compile[store]'") from None
            self._fs, root = _Folders(), urllib.parse.unquote(url.removeprefix("file://"))
        else:
            # A fresh instance each time: a cached one keeps the endpoint and credentials the
            # environment had when it was made, and a connection that may have gone since.
            self._fs, root = fsspec.url_to_fs(url, skip_instance_cache=True)
        self._root = root.rstrip("/")

    def _entry(self, key: str) -> str:
        return f"{self._root}/{key[:2]}/{key}"

    def get(self, key: str) -> tuple[bytes, bytes] | None:
        entry = self._entry(key)
        try:
            record = self._fs.cat_file(f"{entry}/record.json")
        except FileNotFoundError:
            return None
        try:
            artifact = self._fs.cat_file(f"{entry}/artifact")
        except FileNotFoundError:
            artifact = b""  # a record without its artifact: it does not match, and goes
        return bytes(record), bytes(artifact)

    def put(self, key: str, artifact: bytes, record: bytes) -> None:
        entry = self._entry(key)
        self._fs.invalidate_cache(entry)  # another machine may have stored it meanwhile
        if self._fs.exists(f"{entry}/record.json"):
            return  # another builder's, of the same bytes
        self._fs.pipe_file(f"{entry}/artifact", artifact)
        self._fs.pipe_file(f"{entry}/record.json", record)

    def drop(self, key: str) -> None:
        entry = self._entry(key)
        for name in ("record.json", "artifact"):
            try:
                self._fs.rm_file(f"{entry}/{name}")
            except FileNotFoundError:
                pass


def open_store(url: str) -> FsspecStore:
    """The store at ``url`` (a scheme fsspec knows); raises when it cannot be used."""
    return FsspecStore(url)
