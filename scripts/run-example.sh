#!/usr/bin/env bash
# Compiles a shipped example strategy as a dry run and prints its manifest
# (scripts/run_example.py), the way an application uses the package.
#
#   scripts/run-example.sh [--reinstall] [EXAMPLE.json]
#
# Runs in the project's own virtual environment .venv at the repository root.
# When the package is not installed there yet (or with --reinstall), it first
#   1. installs the Debian packages that building needs, those missing only
#      (scripts/setup-system.sh build: compiler, cmake, pkg-config, libssl-dev,
#      libutf8proc-dev; python3-venv and python3-dev too when the interpreter
#      lacks venv or its C headers), after an `apt-get update`;
#   2. creates .venv with PYTHON (default python3) when it is missing;
#   3. builds and installs the package from this checkout into .venv with pip
#      (its build tools and dependencies come from PyPI).
# Nothing is installed into PYTHON itself. Apart from the system packages,
# everything written stays inside the checkout: .venv, and build/ for pip's
# cache, temporary build files and the scratch folder the example runs in.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PY="${PYTHON:-python3}"
VENV="$ROOT/.venv"

reinstall=0
if [[ "${1:-}" == "--reinstall" ]]; then
  reinstall=1
  shift
fi

# Keep pip to the venv and the checkout: no user or target installs, no cache
# or temporary folders outside it, and nothing from the caller's PYTHONPATH.
unset PYTHONPATH PYTHONHOME PIP_USER PIP_TARGET PIP_PREFIX PIP_ROOT
export PIP_DISABLE_PIP_VERSION_CHECK=1
export PIP_CACHE_DIR="$ROOT/build/pip-cache"
export XDG_CACHE_HOME="$ROOT/build/cache"
export TMPDIR="$ROOT/build/tmp"
export PYTHONPYCACHEPREFIX="$ROOT/build/pycache"
mkdir -p "$TMPDIR"

installed() { [[ -x "$VENV/bin/python" ]] && "$VENV/bin/python" -c 'import orvane_compile' 2>/dev/null; }

if ((reinstall)) || ! installed; then
  # What the interpreter itself needs for the build, on top of the build packages.
  extra=()
  if ! command -v "$PY" >/dev/null; then
    [[ "$PY" == python3 ]] || { echo "run-example: $PY not found" >&2; exit 1; }
    extra+=(python3 python3-venv python3-dev)
  else
    if [[ ! -x "$VENV/bin/python" ]] && ! "$PY" -c 'import ensurepip, venv' 2>/dev/null; then
      extra+=(python3-venv)  # Debian's python3 has venv's pip bootstrap in a package of its own
    fi
    if ! "$PY" -c 'import os, sys, sysconfig
sys.exit(0 if os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h")) else 1)' 2>/dev/null; then
      extra+=(python3-dev)  # the C headers the extension is compiled against
    fi
  fi
  "$ROOT/scripts/setup-system.sh" build "${extra[@]}" >&2

  if [[ ! -x "$VENV/bin/python" ]]; then
    echo "creating $VENV with $("$PY" -c 'import sys; print(sys.executable, sys.version.split()[0])')" >&2
    "$PY" -m venv "$VENV"
  fi
  echo "installing orvane-compile from $ROOT into $VENV" >&2
  reinstall_flags=()
  ((reinstall)) && reinstall_flags=(--force-reinstall)
  "$VENV/bin/python" -m pip install --quiet "${reinstall_flags[@]}" "$ROOT"
fi

# An example file named relative to where the script was started.
args=()
for arg in "$@"; do
  [[ "$arg" == /* || "$arg" == -* ]] || arg="$PWD/$arg"
  args+=("$arg")
done

# Work from a scratch folder: only the installed package can be imported, and
# whatever the commands write stays under build/.
WORK="$ROOT/build/example"
mkdir -p "$WORK"
cd "$WORK"
exec "$VENV/bin/python" "$ROOT/scripts/run_example.py" "${args[@]}"
