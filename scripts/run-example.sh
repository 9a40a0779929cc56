#!/usr/bin/env bash
# Drives the installed package the way an application would: installs it into
# the default python if it is not there yet (or when --reinstall is given),
# then sends the example commands of scripts/run_example.py and prints each
# response.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PY="${PYTHON:-python3}"
export PIP_DISABLE_PIP_VERSION_CHECK=1
unset PYTHONPATH

reinstall=0
[[ "${1:-}" == "--reinstall" ]] && reinstall=1

# Work from a scratch directory: only an installed package can be imported,
# and whatever the commands write stays under build/.
WORK="$ROOT/build/example"
mkdir -p "$WORK"
cd "$WORK"

if ((reinstall)) || ! "$PY" -c 'import orvane_compile' 2>/dev/null; then
  "$ROOT/scripts/setup-system.sh" >&2
  echo "installing orvane_compile from $ROOT" >&2
  "$PY" -m pip install --quiet --force-reinstall --no-deps "$ROOT"
fi

exec "$PY" "$ROOT/scripts/run_example.py" "${@:1+reinstall}"
