"""The shipped JSON Schema of strategy documents agrees with the compiler's own check.

Every object-form strategy document the test suite uses goes through both the
schema (with the jsonschema package) and ``check()``, and the two must give
the same verdict. The documents are the shared table of strategy_cases.py,
the examples, and every strategy document found in the tables of the other
test modules (texts or mappings that parse to an object with strategy keys).

JSON Schema's "integer" accepts 5.0; the compiler does not. The agreement is
checked with a validator whose "integer" accepts only integer literals (as
Python's json reads them: 5 is an int, 5.0 and 5e0 are floats); the gap of a
stock validator is pinned by its own test.
"""

import importlib
import json
import math
from pathlib import Path

import pytest

from orvane_compile import CompileError, check, strategy_schema
from strategy_cases import CASES, FLOAT_INTEGER_IDS

jsonschema = pytest.importorskip("jsonschema", reason="jsonschema is not installed (pip install jsonschema)")
from jsonschema import Draft202012Validator, validators  # noqa: E402

HERE = Path(__file__).parent
EXAMPLES = HERE.parent.parent / "examples"
STRATEGY_KEYS = {"symbol", "timeframe", "indicators", "entry", "exit", "sizing", "spec_version"}
# Deeper documents cannot travel inside a compile request at all (the request
# reader stops at 127 levels), so they get no strategy verdict.
MAX_DEPTH = 100

STRICT_TYPES = Draft202012Validator.TYPE_CHECKER.redefine(
    "integer", lambda checker, value: isinstance(value, int) and not isinstance(value, bool))
StrictValidator = validators.extend(Draft202012Validator, type_checker=STRICT_TYPES)


def _float(literal):
    number = float(literal)
    if math.isinf(number):
        raise ValueError(literal)
    return number


def _int(literal):
    # The compiler reads -0 as a float.
    return -0.0 if literal == "-0" else int(literal)


def _reject(name):
    raise ValueError(name)


def load(text):
    return json.loads(text, parse_float=_float, parse_int=_int, parse_constant=_reject)


def depth(value):
    if isinstance(value, dict):
        return 1 + max(map(depth, value.values()), default=0)
    if isinstance(value, list):
        return 1 + max(map(depth, value), default=0)
    return 0


def as_document(item):
    """The object-form strategy document ``item`` holds, or None."""
    if isinstance(item, str):
        if not item.lstrip().startswith("{"):
            return None
        try:
            item = load(item)
        except (ValueError, RecursionError):
            return None
    if not isinstance(item, dict):
        return None
    if "strategy" in item and "target" in item:
        item = item["strategy"]
    if isinstance(item, dict) and item.keys() & STRATEGY_KEYS and depth(item) <= MAX_DEPTH:
        return item
    return None


def key(document):
    return json.dumps(document, sort_keys=True)


def harvest(known):
    """Strategy documents from the module-level tables of the other test modules, less ``known`` ones."""
    found = {}
    for path in sorted(HERE.glob("test_*.py")):
        if path.name == Path(__file__).name:
            continue
        try:
            module = importlib.import_module(path.stem)
        except Exception:  # a module that does not import fails on its own account
            continue
        for name, table in vars(module).items():
            if not isinstance(table, (list, tuple)) or name.startswith("__"):
                continue
            for index, row in enumerate(table):
                for item in row if isinstance(row, (list, tuple)) else (row,):
                    document = as_document(item)
                    if document is not None and key(document) not in known:
                        found.setdefault(key(document), (f"{path.stem}.{name}[{index}]", document))
    return list(found.values())


def documents():
    table = [(case_id, document) for case_id, document, _ in CASES]
    for path in sorted(EXAMPLES.glob("*.json")):
        table.append((f"examples/{path.name}", as_document(path.read_text())))
    return table + harvest({key(document) for _, document in table})


DOCUMENTS = documents()


def compiler_verdict(document):
    try:
        check(document)
    except CompileError as error:
        assert error.kind == "bad spec", str(error)
        return False
    return True


@pytest.fixture(scope="module")
def schema():
    return strategy_schema()


def test_schema_is_a_valid_draft_2020_12_schema(schema):
    Draft202012Validator.check_schema(schema)
    assert schema["$schema"] == "https://json-schema.org/draft/2020-12/schema"


def test_every_kind_of_document_is_covered():
    # The shared table, the four examples, and documents of other modules' tables.
    assert [sum(1 for d in DOCUMENTS if d[0].startswith("examples/")), len(DOCUMENTS) > len(CASES) + 4] == [4, True]


@pytest.mark.parametrize(("document_id", "document"), DOCUMENTS, ids=[d[0] for d in DOCUMENTS])
def test_schema_and_compiler_agree(schema, document_id, document):
    assert StrictValidator(schema).is_valid(document) == compiler_verdict(document)


GAP_CASES = [case for case in CASES if case[0] in FLOAT_INTEGER_IDS]


@pytest.mark.parametrize(("document", "message"), [c[1:] for c in GAP_CASES], ids=[c[0] for c in GAP_CASES])
def test_stock_validator_accepts_whole_floats_as_integers(schema, document, message):
    # The documented gap: valid for JSON Schema's "integer", refused by the compiler.
    assert (Draft202012Validator(schema).is_valid(document), StrictValidator(schema).is_valid(document),
            compiler_verdict(document)) == (True, False, False)


def test_stock_validator_agrees_elsewhere(schema):
    disagreements = [case_id for case_id, document, message in CASES
                     if case_id not in FLOAT_INTEGER_IDS
                     and Draft202012Validator(schema).is_valid(document) != (message is None)]
    assert disagreements == []
