"""Whether an artifact is what its provenance record says, and holds the strategy given.

Beside each artifact a build leaves, the compiler writes its provenance record
(``<artifact>.provenance.json``): an in-toto Statement whose subject is the
artifact's SHA-256 and whose predicate holds the manifest the build was made
from (its generated files' digests, the embedded strategy ``src/spec.json``
among them) and the build's inputs (tool chain, lock, flags). ``verify`` reads
the three against each other; it runs nothing the artifact holds.
"""

from __future__ import annotations

import hashlib
import json
import os
from typing import Any

from ._model import TargetKind
from .api import StrategyInput, compile

__all__ = ["verify"]

PROVENANCE_SUFFIX = ".provenance.json"
_STATEMENT = "https://in-toto.io/Statement/v1"
_PREDICATE = "https://orvane-compile.dev/provenance/v1"
_SPEC_FILE = "src/spec.json"


def verify(artifact: str | os.PathLike[str], strategy: StrategyInput | None = None) -> str:
    """"ok" when the artifact is the one its provenance record describes, embeds the strategy
    the record names and, if ``strategy`` is given (a mapping, or JSON text), that strategy;
    otherwise the first difference, in a sentence.

    Checked in this order: the record is there and is one the compiler writes; the artifact's
    SHA-256 is the record's subject; the artifact's bytes hold the embedded strategy text whose
    digest the record's manifest lists; the strategy given, judged as a dry run for the same
    target, embeds that same text. Raises CompileError for a ``strategy`` the compiler refuses,
    OSError for an artifact that cannot be read.
    """
    path = os.fspath(artifact)
    record_path = f"{path}{PROVENANCE_SUFFIX}"
    try:
        with open(record_path, "rb") as handle:
            record = json.loads(handle.read())
    except FileNotFoundError:
        return f"no provenance record: {record_path} does not exist"
    except ValueError:
        return f"the provenance record {record_path} is not JSON"
    facts = _facts(record)
    if facts is None:
        return f"the provenance record {record_path} is not one this compiler writes"
    subject, spec, target = facts
    with open(path, "rb") as handle:
        data = handle.read()
    digest = hashlib.sha256(data).hexdigest()
    if digest != subject:
        return f"the artifact's SHA-256 is {digest}; its record names {subject}"
    if not _embeds(data, spec):
        return f"the artifact does not embed the strategy its record names ({_SPEC_FILE}, SHA-256 {spec[0]})"
    if strategy is not None:
        given = _spec_file_of(strategy, target)
        if given != spec:
            return (f"the artifact was built from another strategy: it embeds {_SPEC_FILE} with SHA-256 "
                    f"{spec[0]}, the strategy given {given[0]}")
    return "ok"


def _facts(record: Any) -> tuple[str, tuple[str, int], dict[str, Any]] | None:
    """The subject's SHA-256, the embedded strategy's (SHA-256, length) and the target of a record
    the compiler wrote; None for anything else."""
    try:
        if record["_type"] != _STATEMENT or record["predicateType"] != _PREDICATE:
            return None
        (subject,) = record["subject"]
        manifest = record["predicate"]["manifest"]
        spec = next((f["sha256"], f["bytes_len"]) for f in manifest["files"] if f["path"] == _SPEC_FILE)
        target = manifest["target"]
        if not (isinstance(subject["digest"]["sha256"], str) and isinstance(spec[0], str)
                and isinstance(spec[1], int) and isinstance(target, dict)):
            return None
        return subject["digest"]["sha256"], spec, target
    except (KeyError, TypeError, ValueError, StopIteration):
        return None


def _embeds(data: bytes, spec: tuple[str, int]) -> bool:
    """Whether ``data`` holds, somewhere, the bytes of length ``spec[1]`` with SHA-256 ``spec[0]``:
    a JSON object, so only slices from a "{" to a "}" are digested."""
    sha256, length = spec
    at = data.find(b"{")
    while 0 <= at <= len(data) - length:
        if data[at + length - 1:at + length] == b"}" and hashlib.sha256(data[at:at + length]).hexdigest() == sha256:
            return True
        at = data.find(b"{", at + 1)
    return False


def _spec_file_of(strategy: StrategyInput, target: dict[str, Any]) -> tuple[str, int]:
    """The embedded strategy's (SHA-256, length) that a build of ``strategy`` for ``target`` has."""
    kind: TargetKind = target["kind"]
    result = compile(strategy, target=kind, mcu=target.get("mcu"), crate_name="verified", dry_run=True)
    found = next(f for f in result.manifest.files if f.path == _SPEC_FILE)
    return found.sha256, found.bytes_len
