#!/usr/bin/env bash
# Installs the Debian packages that building (or testing) needs, those that are
# missing only. Runs `apt-get update` first whenever something is to be
# installed; installs nothing and touches no package list when all are there.
#
#   scripts/setup-system.sh build [extra packages...]
#       what building the package from source needs: a C++ compiler
#       (build-essential), cmake, pkg-config, libssl-dev (libcrypto.a) and
#       libutf8proc-dev (libutf8proc.a)
#   scripts/setup-system.sh test [extra packages...]
#       those, and what the C++ tests add: libgtest-dev, libgmock-dev,
#       librust-serde-json-dev and librust-wasm-bindgen-dev (crate sources for
#       the offline real-cargo tests), libbenchmark-dev (the C++
#       micro-benchmarks, which the test build compiles so that they keep
#       compiling), and for the wasm build among them what Debian's Rust tool
#       chain (scripts/wasm-toolchain.sh) needs to run: libllvm14, libgit2-1.5
#       and lld-14
#
# Needs root; as another user it runs apt-get through sudo when sudo exists.
# On a system without dpkg and apt-get it names the packages and installs nothing.
set -euo pipefail

build_packages=(build-essential cmake pkg-config libssl-dev libutf8proc-dev)
test_packages=(libgtest-dev libgmock-dev libbenchmark-dev librust-serde-json-dev librust-wasm-bindgen-dev
               libllvm14 libgit2-1.5 lld-14)

mode="${1:-}"
case "$mode" in
  build) packages=("${build_packages[@]}") ;;
  test) packages=("${build_packages[@]}" "${test_packages[@]}") ;;
  *) sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
esac
shift
packages+=("$@")

if ! command -v dpkg-query >/dev/null || ! command -v apt-get >/dev/null; then
  echo "setup-system: not a Debian-like system; make sure the equivalents of these are installed:" \
       "${packages[*]}" >&2
  exit 0
fi

missing=()
for pkg in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if ((${#missing[@]} == 0)); then
  echo "system packages: all present (${packages[*]})"
  exit 0
fi

as_root=()
if ((EUID != 0)); then
  if command -v sudo >/dev/null; then
    as_root=(sudo)
  else
    echo "setup-system: these packages are missing and installing them needs root: ${missing[*]}" >&2
    exit 1
  fi
fi
echo "system packages: installing ${missing[*]}"
"${as_root[@]}" apt-get update
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
