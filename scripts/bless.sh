#!/usr/bin/env bash
# After an intended change to what the compiler generates (a template, a version, the canonical
# form), rewrites the digests the C++ answer tables pin and shows what changed:
#
#   scripts/bless.sh            # build tests in build/tests, run the tables, rewrite, show the diff
#   ORVANE_BLESS_BUILD=DIR scripts/bless.sh    # the same with the tests built in DIR
#
# The tables and the case files (tests/cases/*.jsonl) log every answer that differs from the one
# a row expects (ORVANE_BLESS, see tests/core/schema_tables.hpp). Where the two differ only in
# their SHA-256 digests, each old digest is replaced by the new one in every test source and
# case file under tests/; any other difference is listed
# for a hand edit, since it is a change of wording or shape rather than of digests.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
BUILD="${ORVANE_BLESS_BUILD:-$ROOT/build/tests}"
if [[ ! -f "$BUILD/CMakeCache.txt" ]]; then
  cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVANE_BUILD_TESTS=ON >/dev/null
fi
cmake --build "$BUILD" --target core_tests >/dev/null
LOG="$(mktemp)"
trap 'rm -f "$LOG"' EXIT
ORVANE_BLESS="$LOG" "$BUILD/tests/core/core_tests" --gtest_brief=1 >/dev/null 2>&1 || true

python3 - "$LOG" tests <<'PY'
import pathlib
import re
import sys

log, root = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
DIGEST = re.compile(r"\b[0-9a-f]{64}\b")
renamed, by_hand = {}, []
for line in log.read_text(encoding="utf-8").splitlines():
    expected, _, got = line.partition("\t")
    old, new = DIGEST.findall(expected), DIGEST.findall(got)
    if len(old) != len(new) or DIGEST.sub("#", expected) != DIGEST.sub("#", got):
        by_hand.append(f"  expected {expected}\n  got      {got}")
        continue
    for a, b in zip(old, new):
        if a != b and renamed.setdefault(a, b) != b:
            by_hand.append(f"  {a} became both {renamed[a]} and {b}")
changed = 0
for path in sorted(p for p in root.rglob("*") if p.suffix in (".cpp", ".hpp", ".py", ".jsonl") and p.is_file()):
    text = path.read_text(encoding="utf-8")
    blessed = DIGEST.sub(lambda m: renamed.get(m.group(0), m.group(0)), text)
    if blessed != text:
        path.write_text(blessed, encoding="utf-8")
        changed += 1
print(f"bless: {len(renamed)} digests rewritten in {changed} files")
if by_hand:
    print("bless: these answers differ in more than their digests; edit them by hand:")
    print("\n".join(by_hand))
    sys.exit(1)
PY
git --no-pager diff --stat -- tests
