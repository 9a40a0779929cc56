#!/usr/bin/env python3
"""Builds the seed corpora of the fuzz targets from the tests' inputs.

    python3 scripts/fuzz_seeds.py [OUT_DIR]      (default: build/fuzz-seeds)

Writes OUT_DIR/<target>/ with one file per input, named by its SHA-1, for the
targets fuzz_reader, fuzz_strategy, fuzz_compile_spec
and fuzz_dispatch. Inputs come from:
  - the JSON parsing conformance files in tests/vectors/jsontestsuite;
  - every string constant of tests/python/*.py, and every call of the request
    builders of tests/python/_requests.py (strategy(...), compile_request(...))
    that can be evaluated from the module's constants;
  - the raw string literals R"(...)" of tests/core/*.cpp;
  - the requests of the case files tests/cases/*.jsonl;
  - a few requests written here for the files that fuzz_dispatch may read.
Nothing is imported from the package; the script needs only the standard library.
"""

import ast
import hashlib
import json
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SUITE = os.path.join(ROOT, "tests", "vectors", "jsontestsuite", "test_parsing")
TESTS = os.path.join(ROOT, "tests", "python")
CORE_TESTS = os.path.join(ROOT, "tests", "core")
CASES = os.path.join(ROOT, "tests", "cases")
FILES_DIR = "/tmp/orvane-fuzz-files/"  # fuzz_dispatch creates and allows only this directory
MAX_SEED = 64 * 1024

TARGETS = ("fuzz_reader", "fuzz_strategy", "fuzz_compile_spec",
           "fuzz_dispatch")


def load_requests_module():
    path = os.path.join(TESTS, "_requests.py")
    namespace = {"__name__": "_requests_seed", "__file__": path}
    with open(path, encoding="utf-8") as f:
        exec(compile(f.read(), path, "exec"), namespace)
    return namespace


def python_inputs(builders):
    """String constants and evaluable builder calls of the Python tests."""
    out = []
    names = {"strategy", "compile_request"}
    for name in sorted(os.listdir(TESTS)):
        if not name.endswith(".py"):
            continue
        path = os.path.join(TESTS, name)
        with open(path, encoding="utf-8") as f:
            tree = ast.parse(f.read(), path)
        namespace = dict(builders)
        # Module-level constants first, so builder calls can refer to them.
        for node in tree.body:
            if isinstance(node, ast.Assign):
                try:
                    value = eval(compile(ast.Expression(node.value), path, "eval"), namespace)
                except Exception:
                    continue
                for target in node.targets:
                    if isinstance(target, ast.Name):
                        namespace[target.id] = value
        for node in ast.walk(tree):
            if isinstance(node, ast.Constant) and isinstance(node.value, str):
                out.append(node.value)
            elif (isinstance(node, ast.Call) and isinstance(node.func, ast.Name)
                  and node.func.id in names):
                try:
                    value = eval(compile(ast.Expression(node), path, "eval"), namespace)
                except Exception:
                    continue
                if isinstance(value, str):
                    out.append(value)
    return out


def cpp_inputs():
    out = []
    raw = re.compile(r'R"([^(\s]{0,16})\((.*?)\)\1"', re.S)
    for name in sorted(os.listdir(CORE_TESTS)):
        if name.endswith(".cpp"):
            with open(os.path.join(CORE_TESTS, name), encoding="utf-8") as f:
                out.extend(m.group(2) for m in raw.finditer(f.read()))
    return out


def case_inputs():
    """Each case's request, and its strategy as written there (a repeated key kept)."""
    out = []
    head = '{"cmd":"compile","spec":{"strategy":'
    for name in sorted(os.listdir(CASES)):
        if not name.endswith(".jsonl"):
            continue
        with open(os.path.join(CASES, name), encoding="utf-8") as f:
            for line in f:
                request = json.loads(line)["request"]
                out.append(request)
                if request.startswith(head):
                    try:
                        _, end = json.JSONDecoder().raw_decode(request, len(head))
                    except (ValueError, RecursionError):
                        continue
                    out.append(request[len(head):end])
    return out


def suite_inputs():
    if not os.path.isdir(SUITE):
        sys.exit(f"fuzz_seeds: the conformance corpus is missing: {SUITE}")
    out = []
    for name in sorted(os.listdir(SUITE)):
        with open(os.path.join(SUITE, name), "rb") as f:
            out.append(f.read())
    return out


def loads(text):
    try:
        return json.loads(text)
    except (ValueError, RecursionError):
        return None


def compact(value):
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"))


def extra_requests(builders):
    strategy = builders["MIN_STRATEGY"]
    compile_request = builders["compile_request"]
    return [
        '{"cmd":"version"}', '{"cmd":"targets"}', '{"cmd":"reset"}', '["version"]',
        '{"cmd":"artifact_bytes","path":"%sartifact.bin"}' % FILES_DIR,
        '{"cmd":"artifact_bytes","path":"%sempty"}' % FILES_DIR,
        '{"cmd":"artifact_bytes","path":"%ssubdir"}' % FILES_DIR,
        '{"cmd":"artifact_bytes","path":"%smissing"}' % FILES_DIR,
        '["artifact_bytes"]',
        compile_request(strategy, embed_data='{"kind":"csv","path":"%scandles.csv"}' % FILES_DIR),
        compile_request(strategy, embed_data='{"kind":"csv","path":"%sbad_utf8.csv"}' % FILES_DIR),
        compile_request(strategy, embed_data='{"kind":"inline","candles":[[1,2.5,3,1,2,10]]}',
                        target='{"kind":"no_std","mcu":"thumbv7em-none-eabihf"}',
                        opt_level='"size"', crate_name='"abc"'),
    ]


def main():
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "fuzz-seeds")
    builders = load_requests_module()
    texts = python_inputs(builders) + cpp_inputs() + case_inputs() + extra_requests(builders)
    suite = suite_inputs()

    seeds = {t: set() for t in TARGETS}
    for raw in suite:
        seeds["fuzz_reader"].add(raw)
        seeds["fuzz_compile_spec"].add(raw)
        seeds["fuzz_dispatch"].add(raw)
    for text in texts:
        data = text.encode("utf-8", "surrogatepass")
        if not data or len(data) > MAX_SEED:
            continue
        value = loads(text)
        if value is None and not text.lstrip().startswith(("{", "[")):
            continue  # prose, messages and other non-JSON strings
        seeds["fuzz_reader"].add(data)
        seeds["fuzz_compile_spec"].add(data)
        if not isinstance(value, dict):
            continue
        if "cmd" in value:
            seeds["fuzz_dispatch"].add(data)
            spec = value.get("spec")
            if isinstance(spec, dict):
                seeds["fuzz_compile_spec"].add(compact(spec).encode("utf-8", "surrogatepass"))
                if "strategy" in spec:
                    seeds["fuzz_strategy"].add(
                        compact(spec["strategy"]).encode("utf-8", "surrogatepass"))
        elif "strategy" in value and "target" in value:
            seeds["fuzz_compile_spec"].add(data)
        elif "symbol" in value or "entry" in value or "sizing" in value:
            seeds["fuzz_strategy"].add(data)

    for target, items in seeds.items():
        path = os.path.join(out_dir, target)
        os.makedirs(path, exist_ok=True)
        for data in items:
            with open(os.path.join(path, hashlib.sha1(data).hexdigest()), "wb") as f:
                f.write(data)
        print(f"{target}: {len(items)} seeds in {path}")


if __name__ == "__main__":
    main()
