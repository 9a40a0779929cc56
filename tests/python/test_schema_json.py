"""The JSON Schema of strategy documents, which the compiler generates from its
declarations, agrees with the compiler's own check.

Every object-form strategy document the test suite uses goes through both the
schema (with the jsonschema package) and ``check()``, and the two must give
the same verdict. The documents are the shared table of strategy_cases.py,
the examples, a table with every condition, bar and operand keyword, and
every strategy document found in the tables of the other test modules (texts
or mappings that parse to an object with strategy keys) and in the requests of
the case files (tests/cases).

The known differences, each pinned by its own test: JSON Schema's "integer"
accepts 5.0, the compiler does not (the agreement is checked with a validator
whose "integer" accepts only integer literals, as Python's json reads them:
5 is an int, 5.0 and 5e0 are floats); and the schema describes the document
itself in object form only, while the compiler also reads it as an array.
"""

import importlib
import json
import math
from pathlib import Path

import pytest

from orvane_compile import CompileError, check, strategy_schema
from strategy_cases import CASES, FLOAT_INTEGER_IDS, doc, entry, operand

jsonschema = pytest.importorskip("jsonschema", reason="jsonschema is not installed (pip install jsonschema)")
from jsonschema import Draft202012Validator, validators  # noqa: E402

HERE = Path(__file__).parent
EXAMPLES = HERE.parent.parent / "examples"
CASES_DIR = HERE.parent / "cases"
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
    """Strategy documents from the module-level tables of the other test modules and from the
    compile specs of the case files, less ``known`` ones."""
    found = {}
    for path in sorted(CASES_DIR.glob("*.jsonl")):
        for line in path.read_text(encoding="utf-8").removesuffix("\n").split("\n"):
            row = json.loads(line)
            try:
                request = load(row["request"])
            except (ValueError, RecursionError):
                continue
            document = as_document(request.get("spec") if isinstance(request, dict) else None)
            if document is not None and key(document) not in known:
                found.setdefault(key(document), (f"cases/{path.stem}/{row['name']}", document))
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


# (kind, keyword, content, valid): every keyword once with content the compiler
# takes and once with content it refuses.
KEYWORDS = [
    ("condition", "gt", ["a", 1], True),
    ("condition", "gt", ["a"], False),
    ("condition", "lt", [1, "b"], True),
    ("condition", "lt", ["a", 1, 2], False),
    ("condition", "ge", [{"price": "low"}, 1], True),
    ("condition", "ge", "a", False),
    ("condition", "le", ["a", -0.5], True),
    ("condition", "le", [True, 1], False),
    ("condition", "eq", ["a", "b"], True),
    ("condition", "eq", {"a": 1}, False),
    ("condition", "ne", ["a", 0], True),
    ("condition", "ne", [], False),
    ("condition", "cross_above", ["f", "s"], True),
    ("condition", "cross_above", ["f"], False),
    ("condition", "cross_below", ["f", "s"], True),
    ("condition", "cross_below", ["f", None], False),
    ("condition", "between", ["a", 1, 2], True),
    ("condition", "between", ["a", 1], False),
    ("condition", "rising", ["a", 3], True),
    ("condition", "rising", ["a", "3"], False),
    ("condition", "falling", ["a", 0], True),
    ("condition", "falling", ["a", -1], False),
    ("condition", "all", [{"in_position": True}], True),
    ("condition", "all", [{"in_position": 1}], False),
    ("condition", "any", [], True),
    ("condition", "any", {"gt": ["a", 1]}, False),
    ("condition", "not", {"in_position": False}, True),
    ("condition", "not", [{"in_position": False}], False),
    ("condition", "in_position", True, True),
    ("condition", "in_position", "true", False),
    ("condition", "bars_since_entry", {"le": 3}, True),
    ("condition", "bars_since_entry", {"ne": 3}, False),
    ("bars", "gt", 0, True),
    ("bars", "gt", -1, False),
    ("bars", "lt", 4294967295, True),
    ("bars", "lt", 4294967296, False),
    ("bars", "ge", 1, True),
    ("bars", "ge", None, False),
    ("bars", "le", 2, True),
    ("bars", "le", 1.5, False),
    ("bars", "eq", 3, True),
    ("bars", "eq", "3", False),
    ("operand", "price", "open", True),
    ("operand", "price", "last", False),
    ("operand", "prev", ["a", 1], True),
    ("operand", "prev", ["a"], False),
    ("operand", "add", [1, 2], True),
    ("operand", "add", [1], False),
    ("operand", "sub", ["a", {"price": "close"}], True),
    ("operand", "sub", ["a", True], False),
    ("operand", "mul", [2, "a"], True),
    ("operand", "mul", [2, "a", 3], False),
    ("operand", "div", [1, {"prev": ["a", 2]}], True),
    ("operand", "div", {"a": 1}, False),
]
KEYWORD_DEFS = {"condition": "Condition", "bars": "BarsCompare", "operand": "OperandExpr"}


def keyword_document(kind, keyword, content):
    if kind == "condition":
        return entry({keyword: content})
    if kind == "bars":
        return entry({"bars_since_entry": {keyword: content}})
    return operand({keyword: content})


KEYWORD_IDS = [f"{kind}-{keyword}-{'ok' if valid else 'bad'}" for kind, keyword, _, valid in KEYWORDS]


def documents():
    table = [(case_id, document) for case_id, document, *_ in CASES]
    table += [(case_id, keyword_document(*row[:3])) for case_id, row in zip(KEYWORD_IDS, KEYWORDS)]
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


@pytest.mark.parametrize(("document", "message"), [c[1:3] for c in GAP_CASES], ids=[c[0] for c in GAP_CASES])
def test_stock_validator_accepts_whole_floats_as_integers(schema, document, message):
    # The documented gap: valid for JSON Schema's "integer", refused by the compiler.
    assert (Draft202012Validator(schema).is_valid(document), StrictValidator(schema).is_valid(document),
            compiler_verdict(document)) == (True, False, False)


def test_stock_validator_agrees_elsewhere(schema):
    disagreements = [case_id for case_id, document, message, _ in CASES
                     if case_id not in FLOAT_INTEGER_IDS
                     and Draft202012Validator(schema).is_valid(document) != (message is None)]
    assert disagreements == []


@pytest.mark.parametrize(("kind", "keyword", "content", "valid"), KEYWORDS, ids=KEYWORD_IDS)
def test_keyword_verdicts(schema, kind, keyword, content, valid):
    document = keyword_document(kind, keyword, content)
    assert (StrictValidator(schema).is_valid(document), compiler_verdict(document)) == (valid, valid)


def test_keyword_table_names_every_keyword(schema):
    named = {(kind, keyword) for kind, name in KEYWORD_DEFS.items()
             for keyword in schema["$defs"][name]["propertyNames"]["enum"]}
    assert {row[:2] for row in KEYWORDS} == named


POSITIONAL_BASE = [1, "BTC/USDT", None, "1h", {}, {"gt": ["a", 1]}, {"lt": ["a", 1]}, None, None,
                   {"type": "fixed_qty", "qty": 1}]


def test_document_in_array_form_is_the_one_other_difference(schema):
    # The compiler reads the document itself as an array of its fields; the schema does not.
    assert (StrictValidator(schema).is_valid(POSITIONAL_BASE), compiler_verdict(POSITIONAL_BASE)) == (False, True)


# Every default the schema states, by record and field: the record's own initial value.
DEFAULTS = {
    "StrategySpec.spec_version": 1,
    "StrategySpec.costs": {"maker_bps": 0.0, "taker_bps": 0.0, "slippage": {"type": "fixed_bps", "bps": 0.0},
                           "funding": False},
    "StrategySpec.risk": {"liquidation": False},
    "StrategySpec.execution": {"order_type": "market", "fill_timing": "next_open", "latency_bars": 0,
                               "partial_fills": False},
    "IndicatorSpec.params": [],
    "Costs.maker_bps": 0.0,
    "Costs.taker_bps": 0.0,
    "Costs.slippage": {"type": "fixed_bps", "bps": 0.0},
    "Costs.funding": False,
    "Risk.liquidation": False,
    "Execution.order_type": "market",
    "Execution.fill_timing": "next_open",
    "Execution.latency_bars": 0,
    "Execution.partial_fills": False,
}


def stated_defaults(schema):
    """{"Record.field": default} from the object forms; the array forms state the same, in field order."""
    records = {"StrategySpec": (schema, None)}
    records.update((name, tuple(d["anyOf"])) for name, d in schema["$defs"].items()
                   if [form.get("type") for form in d.get("anyOf", ())] == ["object", "array"])
    found = {}
    for name, (obj, array) in records.items():
        fields = obj["properties"]
        found.update((f"{name}.{field}", s["default"]) for field, s in fields.items() if "default" in s)
        if array is not None:
            assert [s.get("default", "-") for s in array["prefixItems"]] \
                == [s.get("default", "-") for s in fields.values()], name
    return found


def test_defaults_are_the_records_initial_values(schema):
    assert stated_defaults(schema) == DEFAULTS


def test_a_document_with_its_defaults_written_out_is_valid(schema):
    document = doc(**{k.split(".")[1]: v for k, v in DEFAULTS.items() if k.startswith("StrategySpec.")})
    document["indicators"] = {"x": {"type": "ema", "params": DEFAULTS["IndicatorSpec.params"]}}
    assert (StrictValidator(schema).is_valid(document), compiler_verdict(document)) == (True, True)
