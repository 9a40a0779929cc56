#!/usr/bin/env bash
# Compares what two versions of the core answer, byte for byte, over every input in the fuzz
# corpora: texts, verdicts, messages and dry-run responses. For changes that must not change
# any output (speed work, refactoring).
#
#   scripts/compare-outputs.sh BASE [DIR...]
#
# BASE is a git revision; the work tree is compared against it. The inputs default to
# build/fuzz-corpus/* (filled by scripts/fuzz.sh). Builds go to build/compare/.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
BASE="${1:?usage: scripts/compare-outputs.sh BASE [DIR...]}"
shift
DIRS=("$@")
if [[ ${#DIRS[@]} -eq 0 ]]; then DIRS=(build/fuzz-corpus/*); fi
OUT="$ROOT/build/compare"
mkdir -p "$OUT"

build_core() {  # source tree, build dir
  cmake -S "$1" -B "$2" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVANE_BUILD_PYTHON=OFF >/dev/null
  cmake --build "$2" --target orvane_core >/dev/null
}

rm -rf "$OUT/base-src"
git worktree prune
git worktree add --detach -q "$OUT/base-src" "$BASE"
trap 'git worktree remove --force "$OUT/base-src"' EXIT
build_core "$OUT/base-src" "$OUT/base-build"
build_core "$ROOT" "$OUT/head-build"

for side in base head; do
  src="$ROOT"
  [[ $side == base ]] && src="$OUT/base-src"
  # The JSON layer's folder was once named canonical/: a base that old is read through a link.
  shim=()
  if [[ ! -d "$src/core/src/json" ]]; then
    mkdir -p "$OUT/$side-shim" && ln -sfn "$src/core/src/canonical" "$OUT/$side-shim/json"
    shim=(-I "$OUT/$side-shim")
  fi
  g++ -O2 -std=c++23 -I "$src/core/src" "${shim[@]}" scripts/compare-outputs/driver.cpp \
    "$OUT/$side-build/core/liborvane_core.a" -lcrypto -lutf8proc -lpthread -o "$OUT/$side-driver"
done

# Absolute paths for the inputs: each side runs in a scratch directory of its own.
ABS=()
for d in "${DIRS[@]}"; do ABS+=("$(cd "$d" && pwd)"); done
for side in base head; do
  rm -rf "$OUT/$side-run" && mkdir -p "$OUT/$side-run"
  (cd "$OUT/$side-run" && "$OUT/$side-driver" "${ABS[@]}" >"$OUT/$side.txt") &
done
wait

if cmp -s "$OUT/base.txt" "$OUT/head.txt"; then
  echo "same output for $(grep -c '^== ' "$OUT/head.txt") inputs"
else
  echo "outputs differ:"
  diff "$OUT/base.txt" "$OUT/head.txt" | head -20
  exit 1
fi
