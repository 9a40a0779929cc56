#!/usr/bin/env bash
# Builds the libFuzzer targets and runs one of them for a while.
#
#   scripts/fuzz.sh TARGET [SECONDS]      run TARGET (default 60 s)
#   scripts/fuzz.sh --list                name the targets
#   scripts/fuzz.sh --build               only build them
#
# Targets: fuzz_reader, fuzz_strategy, fuzz_compile_spec,
# fuzz_dispatch (fuzz/*.cpp says what each one checks).
#
# Builds with clang-19 into build/fuzz (FUZZ_BUILD_DIR). Seeds come from
# scripts/fuzz_seeds.py (build/fuzz-seeds); what the fuzzer learns is kept in
# build/fuzz-corpus/TARGET and reused by the next run; crashing inputs land in
# build/fuzz-artifacts/TARGET. Each run appends "date target seconds runs result"
# to build/fuzz-runs.log. Extra libFuzzer flags can be given in FUZZ_FLAGS.
# Exits non-zero when the target found a crash, a leak or a broken invariant.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
BUILD="${FUZZ_BUILD_DIR:-$ROOT/build/fuzz}"
TARGETS=(fuzz_reader fuzz_strategy fuzz_compile_spec fuzz_dispatch)

build() {
  mkdir -p "$BUILD"
  # Two runs started side by side must not build in the same tree at once.
  exec 9>"$BUILD/.build-lock"
  flock 9
  if [[ ! -f "$BUILD/build.ninja" && ! -f "$BUILD/Makefile" ]]; then
    local gen=()
    command -v ninja >/dev/null && gen=(-G Ninja)
    CC=clang-19 CXX=clang++-19 cmake -S "$ROOT" -B "$BUILD" "${gen[@]}" \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_BUILD_FUZZ=ON -DORVANE_BUILD_PYTHON=OFF \
      -DORVANE_BUILD_TESTS=OFF >/dev/null
  fi
  cmake --build "$BUILD" -j "${JOBS:-2}" >/dev/null
  flock -u 9
  exec 9>&-
}

case "${1:-}" in
  --list) printf '%s\n' "${TARGETS[@]}"; exit 0 ;;
  --build) build; exit 0 ;;
  ""|-h|--help) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 2 ;;
esac

target="$1"
seconds="${2:-60}"
if [[ ! " ${TARGETS[*]} " == *" $target "* ]]; then
  echo "unknown fuzz target: $target (one of: ${TARGETS[*]})" >&2
  exit 2
fi

build
seeds="$ROOT/build/fuzz-seeds/$target"
[[ -d "$seeds" ]] || python3 "$ROOT/scripts/fuzz_seeds.py" "$ROOT/build/fuzz-seeds" >/dev/null
corpus="$ROOT/build/fuzz-corpus/$target"
artifacts="$ROOT/build/fuzz-artifacts/$target"
mkdir -p "$corpus" "$artifacts"
log="$ROOT/build/fuzz-logs/$target.$(date +%Y%m%d-%H%M%S).$$.log"
mkdir -p "$(dirname "$log")"

rc=0
# -rss_limit_mb also bounds single allocations; inputs stay below 64 KiB.
"$BUILD/fuzz/$target" "$corpus" "$seeds" \
  -dict="$ROOT/fuzz/json.dict" -max_total_time="$seconds" -max_len=65536 -len_control=200 \
  -timeout=60 -rss_limit_mb=4096 -print_final_stats=1 \
  -artifact_prefix="$artifacts/" ${FUZZ_FLAGS:-} >"$log" 2>&1 || rc=$?

runs="$(grep -o 'Done [0-9]* runs' "$log" | tail -1 | grep -o '[0-9]*' || true)"
[[ -n "$runs" ]] || runs="$(grep -o '^stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo '?')"
result=$([[ $rc -eq 0 ]] && echo ok || echo "FAILED(rc=$rc)")
printf '%s %s %ss %s runs %s\n' "$(date -u +%FT%TZ)" "$target" "$seconds" "$runs" "$result" \
  | tee -a "$ROOT/build/fuzz-runs.log"
if [[ $rc -ne 0 ]]; then
  echo "--- last lines of $log:"
  tail -40 "$log"
fi
exit "$rc"
