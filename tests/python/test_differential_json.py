"""The JSON reader against Python's json module.

Each document is sent as the value of an unknown key of a valid strategy in a
dry-run compile. The reader either rejects the whole request (the envelope
error) or answers a manifest whose "src/spec.json" entry gives the length and
SHA-256 of the strategy's canonical text. The test recomputes that text from
json.loads with a canonical writer of its own (below), so the two readers must
agree on the verdict and on the value, number kinds included.

Documents come from the conformance corpus kept in the repository
(tests/vectors/jsontestsuite/test_parsing; the tests fail when it is missing)
and, when a fuzz run left them,
from the fuzz corpora under build/fuzz-corpus. Only texts that are valid UTF-8
can be sent at all: a command is a Python str.

Python's json differs from the reader on a few points, each in KNOWN_DIFFERENCES
with an example; a document that shows one of them must be rejected by the
reader, and every other document must get the same verdict from both.
"""

import hashlib
import json
import math
import os
import re

from pathlib import Path

import pytest

from orvane_compile import Compiler

from _requests import ENVELOPE_ERROR, compact, error_response, strategy

# The repository, found from this file: the tests run against an installed wheel, from
# a folder outside the tree.
ROOT = str(Path(__file__).resolve().parents[2])
SUITE = os.path.join(ROOT, "tests", "vectors", "jsontestsuite", "test_parsing")
FUZZ_CORPORA = [os.path.join(ROOT, "build", "fuzz-corpus", name)
                for name in ("fuzz_reader", "fuzz_compile_spec", "fuzz_dispatch")]
ENVELOPE = error_response(ENVELOPE_ERROR)

# The document sits at level 4: request, spec, strategy, then the document.
DOC_LEVEL = 4
MAX_DEPTH = 127

# ---------------------------------------------------------------------------
# The reader's value model, built from json.loads with hooks that see every
# number literal.


class Quirks:
    """What json.loads accepted that the reader is known to reject."""

    def __init__(self):
        self.found = set()


def load(text):
    """(value, quirks) as the reader's model sees it, or None when Python rejects."""
    quirks = Quirks()

    def parse_int(literal):
        digits = literal.lstrip("-")
        if literal == "-0":
            return -0.0  # the literal -0 is the float negative zero
        if len(digits) <= 20:
            n = int(literal)
            if -(1 << 63) <= n < (1 << 64):
                return n
        # Outside 64 bits: the nearest double, or out of range from about 1e309 on.
        if len(digits) > 309:
            quirks.found.add("out-of-range")
            return 0.0
        try:
            return float(int(literal))
        except OverflowError:
            quirks.found.add("out-of-range")
            return 0.0

    def parse_float(literal):
        value = float(literal)
        if math.isinf(value):
            quirks.found.add("out-of-range")
        return value

    def parse_constant(name):
        quirks.found.add("constant")
        return 0.0

    try:
        value = json.loads(text, parse_int=parse_int, parse_float=parse_float,
                           parse_constant=parse_constant)
    except (ValueError, RecursionError):
        return None, quirks
    scan(value, DOC_LEVEL, quirks)
    return value, quirks


SURROGATE = re.compile("[\ud800-\udfff]")


def scan(value, level, quirks):
    """Flags lone surrogates and nesting past the limit (iteratively: documents are deep)."""
    stack = [(value, level)]
    while stack:
        v, lvl = stack.pop()
        if isinstance(v, str):
            if SURROGATE.search(v):
                quirks.found.add("lone-surrogate")
        elif isinstance(v, (list, dict)):
            if lvl > MAX_DEPTH:
                quirks.found.add("too-deep")
                continue
            items = v.items() if isinstance(v, dict) else ((None, x) for x in v)
            for k, x in items:
                if k is not None and SURROGATE.search(k):
                    quirks.found.add("lone-surrogate")
                stack.append((x, lvl + 1))


# ---------------------------------------------------------------------------
# The canonical writer: keys sorted by code point (which is UTF-8 byte order),
# strings escaped byte for byte, integers in decimal, floats in the shortest
# round-tripping digits, positional for decimal exponents -5 to 15.


def write_float(f):
    if f == 0.0:
        return "-0.0" if math.copysign(1.0, f) < 0 else "0.0"
    sign = "-" if f < 0 else ""
    mantissa, _, exp = repr(abs(f)).partition("e")
    whole, _, frac = mantissa.partition(".")
    digits = (whole + frac).lstrip("0")
    x = (int(exp) if exp else 0) + len(whole) - 1
    if whole == "0":  # 0.000123 style: the exponent is set by the leading zeros of frac
        x = -(len(frac) - len(frac.lstrip("0"))) - 1 + (int(exp) if exp else 0)
    digits = digits.rstrip("0") or "0"
    n = len(digits)
    if -5 <= x <= 15:
        if x >= n - 1:
            return sign + digits + "0" * (x - n + 1) + ".0"
        if x >= 0:
            return sign + digits[: x + 1] + "." + digits[x + 1:]
        return sign + "0." + "0" * (-x - 1) + digits
    out = digits[0] + ("." + digits[1:] if n > 1 else "")
    return sign + out + "e" + ("+" if x > 0 else "-") + str(abs(x))


ESCAPES = {'"': '\\"', "\\": "\\\\", "\b": "\\b", "\t": "\\t", "\n": "\\n", "\f": "\\f", "\r": "\\r"}


def write_string(s):
    out = ['"']
    for ch in s:
        if ch in ESCAPES:
            out.append(ESCAPES[ch])
        elif ch < " ":
            out.append("\\u%04x" % ord(ch))
        else:
            out.append(ch)
    out.append('"')
    return "".join(out)


def write_canonical(value):
    out = []
    stack = [value]
    while stack:
        v = stack.pop()
        if isinstance(v, _Raw):
            out.append(v.text)
        elif v is None:
            out.append("null")
        elif v is True:
            out.append("true")
        elif v is False:
            out.append("false")
        elif isinstance(v, int):
            out.append(str(v))
        elif isinstance(v, float):
            out.append(write_float(v))
        elif isinstance(v, str):
            out.append(write_string(v))
        elif isinstance(v, list):
            parts = [_Raw("[")]
            for i, x in enumerate(v):
                if i:
                    parts.append(_Raw(","))
                parts.append(x)
            parts.append(_Raw("]"))
            stack.extend(reversed(parts))
        else:
            parts = [_Raw("{")]
            for i, k in enumerate(sorted(v)):
                if i:
                    parts.append(_Raw(","))
                parts.append(_Raw(write_string(k) + ":"))
                parts.append(v[k])
            parts.append(_Raw("}"))
            stack.extend(reversed(parts))
    return "".join(out)


class _Raw:
    __slots__ = ("text",)

    def __init__(self, text):
        self.text = text


FLOATS = [
    (0.0, "0.0"), (-0.0, "-0.0"), (1.0, "1.0"), (100.0, "100.0"), (1.5, "1.5"), (12.5, "12.5"),
    (1e15, "1000000000000000.0"), (1e16, "1e+16"), (9999000000000000.0, "9999000000000000.0"),
    (0.00001, "0.00001"), (0.000001, "1e-6"), (2.5e-5, "0.000025"), (1.5e-7, "1.5e-7"),
    (0.30000000000000004, "0.30000000000000004"), (1.7976931348623157e308, "1.7976931348623157e+308"),
    (5e-324, "5e-324"), (18446744073709551616.0, "1.8446744073709552e+19"), (-2.5, "-2.5"),
    (123456789.125, "123456789.125"), (0.1, "0.1"), (1e-5, "0.00001"), (1.2345e-5, "0.000012345"),
]


@pytest.mark.parametrize(("value", "text"), FLOATS, ids=[t for _, t in FLOATS])
def test_the_tests_float_writer(value, text):
    assert write_float(value) == text


# ---------------------------------------------------------------------------
# Sending a document through the reader.


def request_for(doc_text):
    return ('{"cmd":"compile","spec":{"strategy":' + strategy(doc=doc_text)
            + ',"target":{"kind":"wasm"},"crate_name":"d"},"dry_run":true}')


def reader_sees(compiler, doc_text):
    """None when the reader rejects; otherwise (bytes_len, sha256) of src/spec.json."""
    answer = compiler.command(request_for(doc_text))
    if answer == ENVELOPE:
        return None
    files = json.loads(answer)["manifest"]["files"]
    (entry,) = [f for f in files if f["path"] == "src/spec.json"]
    return entry["bytes_len"], entry["sha256"]


BASE = json.loads(strategy())


def model_sees(value):
    whole = dict(BASE)
    whole["doc"] = value
    text = write_canonical(whole).encode("utf-8")
    return len(text), hashlib.sha256(text).hexdigest()


def verdicts(compiler, doc_text):
    """(what the reader saw, what the model expects, quirks), for a text that stands alone."""
    value, quirks = load(doc_text)
    # A text that is no complete value on its own could splice itself into the
    # request ('1},"x":{"y":1' closes the strategy early and still makes valid
    # JSON): such texts are left out.
    whole, _ = load(request_for(doc_text))
    if (value is None) != (whole is None):
        return None
    expected = None if value is None or quirks.found else model_sees(value)
    return reader_sees(compiler, doc_text), expected, quirks


# ---------------------------------------------------------------------------
# Known differences, each with an example. The reader rejects all of them.

KNOWN_DIFFERENCES = [
    # (name, quirk, document, what json.loads gives)
    ("nan", "constant", "[NaN]", "nan"),
    ("infinity", "constant", "[Infinity]", "inf"),
    ("minus-infinity", "constant", "[-Infinity]", "-inf"),
    ("big-exponent", "out-of-range", "[1e400]", "inf"),
    ("big-negative-exponent-float", "out-of-range", "[-1.5e999]", "-inf"),
    ("integer-beyond-doubles", "out-of-range", "[1" + "0" * 309 + "]", "a 310-digit int"),
    ("lone-leading-surrogate", "lone-surrogate", '["\\ud800"]', "a str holding U+D800"),
    ("lone-trailing-surrogate", "lone-surrogate", '["\\udc00x"]', "a str holding U+DC00"),
    ("reversed-pair", "lone-surrogate", '{"\\udc00\\ud800":1}', "a key of two lone surrogates"),
    ("nesting-past-127", "too-deep", "[" * 125 + "]" * 125, "125 nested lists: levels 4 to 128"),
]


@pytest.mark.parametrize(("quirk", "doc"), [c[1:3] for c in KNOWN_DIFFERENCES],
                         ids=[c[0] for c in KNOWN_DIFFERENCES])
def test_known_differences_from_python(compiler, quirk, doc):
    value, quirks = load(doc)
    assert value is not None, "json.loads accepts it"
    assert quirks.found == {quirk}
    assert reader_sees(compiler, doc) is None, "the reader rejects it"


def test_one_level_less_is_read_by_both(compiler):
    doc = "[" * 124 + "]" * 124
    seen, expected, quirks = verdicts(compiler, doc)
    assert quirks.found == set() and seen == expected is not None


AGREEMENTS = [
    # Points where the two might be expected to differ but do not.
    ("duplicate-keys-last-wins", '{"a":1,"b":2,"a":3}'),
    ("duplicate-keys-nested", '[{"k":{"x":1},"k":{"y":2}}]'),
    ("minus-zero-integer", "[-0]"),
    ("minus-zero-float", "[-0.0]"),
    ("u64-max", "[18446744073709551615]"),
    ("u64-max-plus-one", "[18446744073709551616]"),
    ("i64-min", "[-9223372036854775808]"),
    ("i64-min-minus-one", "[-9223372036854775809]"),
    ("underflow", "[1e-400, -1e-400]"),
    ("largest-double", "[1.7976931348623157e308]"),
    ("rounds-down-to-largest-double", "[1.7976931348623158e308]"),
    ("one-and-one-point-zero", "[1, 1.0, 1.00, 10e-1, 1E2]"),
    ("surrogate-pair", '["\\ud83d\\ude00"]'),
    ("escaped-nul", '["\\u0000", {"\\u0000":0}]'),
    ("raw-non-ascii", '["é\u2028\u2029\x7f", {"\ufb00":1, "\U0001f600":2}]'),
    ("control-escapes", '["\\b\\f\\n\\r\\t\\/\\u001f"]'),
    ("whitespace", ' \t\n\r[ 1 ,\t2 ]\n '),
    ("empty-containers", '[{}, [], {"a":{}}]'),
    ("integer-kept-as-integer", "[123456789012345678]"),
]


@pytest.mark.parametrize("doc", [c[1] for c in AGREEMENTS], ids=[c[0] for c in AGREEMENTS])
def test_agreement_on_tricky_documents(compiler, doc):
    seen, expected, quirks = verdicts(compiler, doc)
    assert quirks.found == set()
    assert expected is not None
    assert seen == expected


# ---------------------------------------------------------------------------
# Whole corpora.


def corpus_files(directories):
    out = []
    for d in directories:
        if os.path.isdir(d):
            out.extend(os.path.join(d, name) for name in sorted(os.listdir(d)))
    return out


def compare_corpus(paths):
    compiler = Compiler()
    compared = skipped = 0
    mismatches = []
    for path in paths:
        try:
            with open(path, "rb") as f:
                data = f.read()
        except FileNotFoundError:
            skipped += 1  # a running fuzzer replaced it with a smaller input
            continue
        if len(data) > 1 << 20:
            skipped += 1
            continue
        try:
            text = data.decode("utf-8")
        except UnicodeDecodeError:
            skipped += 1  # no Python str encodes to these bytes
            continue
        outcome = verdicts(compiler, text)
        if outcome is None:
            skipped += 1
            continue
        seen, expected, quirks = outcome
        compared += 1
        if quirks.found:
            ok = seen is None
        else:
            ok = seen == expected
        if not ok:
            mismatches.append((os.path.basename(path), sorted(quirks.found), seen, expected))
    return compared, skipped, mismatches


def suite_files():
    assert os.path.isdir(SUITE), f"conformance corpus not found at {SUITE}"
    paths = corpus_files([SUITE])
    assert len(paths) == 318, f"expected the 318 files of the conformance corpus in {SUITE}"
    return paths


def test_conformance_corpus_agrees():
    paths = suite_files()
    compared, skipped, mismatches = compare_corpus(paths)
    assert mismatches == []
    # Most of the corpus is valid UTF-8 and is compared.
    assert compared >= 250, (compared, skipped)


def test_conformance_corpus_verdicts_by_name():
    """y_ files are accepted by both, n_ files rejected by the reader."""
    paths = suite_files()
    compiler = Compiler()
    wrong = []
    for path in paths:
        name = os.path.basename(path)
        try:
            with open(path, "rb") as f:
                text = f.read().decode("utf-8")
        except UnicodeDecodeError:
            continue
        if name.startswith(("y_", "n_")) and verdicts(compiler, text) is not None:
            seen = reader_sees(compiler, text)
            if (seen is not None) != name.startswith("y_"):
                wrong.append(name)
    assert wrong == []


def test_fuzz_corpora_agree():
    paths = corpus_files(FUZZ_CORPORA)
    if not paths:
        pytest.skip("no fuzz corpora under build/fuzz-corpus (run scripts/fuzz.sh first)")
    compared, skipped, mismatches = compare_corpus(paths)
    assert mismatches[:20] == []
