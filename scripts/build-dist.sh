#!/usr/bin/env bash
# Builds what is published into dist/: the sdist, and one abi3 wheel (CPython
# 3.10 and later) built from that sdist, so the sdist is known to build.
#
#   scripts/build-dist.sh
#
# The build front end (PyPA's `build`) and auditwheel come from PyPI into the
# venv build/dist-venv, made with PYTHON (default python3); nothing is
# installed into that interpreter itself. The build needs the system packages
# the README names (a C++23 compiler, pkg-config, libssl-dev, libutf8proc-dev;
# CMake and Ninja come from PyPI when the system's are missing or too old).
#
# On Linux, scripts/audit-wheel.sh then checks the wheel: it must need no
# shared library beyond the C and C++ runtime (the script fails otherwise), and
# it is retagged for the manylinux policy it meets, which is the wheel left in
# dist/. Elsewhere auditwheel does not apply and the wheel is kept as built.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
PY="${PYTHON:-python3}"
VENV="$ROOT/build/dist-venv"
RAW="$ROOT/build/dist-raw"
export PIP_DISABLE_PIP_VERSION_CHECK=1
unset PYTHONPATH PYTHONHOME

[[ -x "$VENV/bin/python" ]] || "$PY" -m venv "$VENV"
# -I: the repository's own build/ folder, in the working directory, must not pass for the
# build front end.
"$VENV/bin/python" -I -c 'import build.__main__' 2>/dev/null || "$VENV/bin/python" -m pip install --quiet build

rm -rf "$RAW" dist
mkdir -p dist
# Without --sdist/--wheel, build makes the sdist and then the wheel from it.
"$VENV/bin/python" -I -m build --outdir "$RAW" .

shopt -s nullglob
sdists=("$RAW"/orvane_compile-*.tar.gz)
wheels=("$RAW"/orvane_compile-*-cp310-abi3-*.whl)
shopt -u nullglob
if ((${#sdists[@]} != 1 || ${#wheels[@]} != 1)); then
  echo "build-dist: expected one sdist and one cp310-abi3 wheel, found: $(ls "$RAW")" >&2
  exit 1
fi
cp "${sdists[0]}" dist/

rc=0
"$ROOT/scripts/audit-wheel.sh" "${wheels[0]}" --repair dist || rc=$?
case "$rc" in
  0) ;;
  3) cp "${wheels[0]}" dist/ ;;  # not Linux: auditwheel does not apply
  *) echo "build-dist: the wheel failed the audit" >&2; exit 1 ;;
esac

echo
echo "dist/:"
ls -l dist
