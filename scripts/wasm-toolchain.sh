#!/usr/bin/env bash
# Unpacks Debian's Rust tool chain (rustc, cargo and the wasm32-unknown-unknown
# standard library) into a folder of its own, beside whatever rustc is on the
# PATH, so that the C++ tests can build a generated wasm project for real and
# offline (RealCargo.WasmBuildsOfflineWithDebiansToolChain). The packages are
# fetched with `apt-get download` and unpacked with `dpkg -x`: nothing is
# installed over the system's or rustup's tool chain, and no root is needed
# (but for an `apt-get update` when the package lists are missing).
#
#   scripts/wasm-toolchain.sh [DIR]      (default: build/wasm-toolchain)
#
# DIR/bin then holds `cargo` and `rustc`; put it first on the PATH. Its cargo
# always runs its own rustc. Linking wasm takes lld-14, and running rustc and
# cargo takes libllvm14 and libgit2-1.5: `scripts/setup-system.sh test`
# installs them. Idempotent: a complete folder (DIR/.complete) is left as it
# is; an incomplete one is unpacked afresh (scripts/unpack-debs.sh).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
DIR="${1:-$ROOT/build/wasm-toolchain}"
TRIPLE=wasm32-unknown-unknown
LLD=/usr/bin/lld-14

usable() {
  [[ -f "$DIR/.complete" ]] || return 1
  local libdir
  libdir="$("$DIR/bin/rustc" --print target-libdir --target "$TRIPLE" 2>/dev/null)" || return 1
  [[ -d "$libdir" ]] && "$DIR/bin/cargo" --version >/dev/null 2>&1
}

if [[ ! -x "$LLD" ]]; then
  echo "wasm-toolchain: $LLD is missing (install lld-14: scripts/setup-system.sh test)" >&2
  exit 1
fi
if usable; then
  echo "wasm tool chain: present in $DIR ($(cat "$DIR/.complete"))"
  exit 0
fi


# rustc pulls in its host standard library (libstd-rust-dev) and that one the
# shared library its driver links against (libstd-rust-1.NN).
stdlib_so() { apt-cache depends libstd-rust-dev 2>/dev/null | awk '/Depends: libstd-rust-[0-9]/ {print $2; exit}'; }
so_package="$(stdlib_so)"
if [[ -z "$so_package" ]]; then
  apt-get update
  so_package="$(stdlib_so)"
fi
packages=(rustc cargo libstd-rust-dev "$so_package" libstd-rust-dev-wasm32)
"$ROOT/scripts/unpack-debs.sh" "$DIR" "${packages[@]}"
DIR="$(cd "$DIR" && pwd)"
# Nothing here builds for WASI.
rm -rf "$DIR/root/usr/lib/rustlib/wasm32-wasi"

driver="$(find "$DIR/root/usr/lib" -maxdepth 2 -name 'librustc_driver-*.so' | head -n 1)"
if [[ -z "$driver" ]]; then
  echo "wasm-toolchain: no librustc_driver in the unpacked rustc" >&2
  exit 1
fi
libdir="${driver%/*}"
libdir="${libdir#"$DIR/"}"

# The unpacked rustc finds its sysroot from where it lies, but not its shared
# libraries: Debian's binary expects them in the system's library folder.
cat >"$DIR/bin/rustc" <<EOF
#!/bin/sh
# Debian's rustc, unpacked in ../root.
top=\$(cd "\$(dirname "\$0")/.." && pwd)
LD_LIBRARY_PATH="\$top/$libdir\${LD_LIBRARY_PATH:+:\$LD_LIBRARY_PATH}" exec "\$top/root/usr/bin/rustc" "\$@"
EOF
# This cargo runs the rustc beside it, whatever the PATH or RUSTC say.
cat >"$DIR/bin/cargo" <<'EOF'
#!/bin/sh
# Debian's cargo, unpacked in ../root, with the rustc beside this script.
here=$(cd "$(dirname "$0")" && pwd)
RUSTC="$here/rustc" exec "$here/../root/usr/bin/cargo" "$@"
EOF
chmod 755 "$DIR/bin/rustc" "$DIR/bin/cargo"
# rustc links wasm with `rust-lld`, which it looks for first among its own
# tools; Debian's is a link to lld-14.
host="$("$DIR/bin/rustc" -vV | awk '/^host:/ {print $2}')"
mkdir -p "$DIR/root/usr/lib/rustlib/$host/bin"
ln -sfn "$LLD" "$DIR/root/usr/lib/rustlib/$host/bin/rust-lld"

versions="$("$DIR/bin/rustc" --version), $("$DIR/bin/cargo" --version)"
echo "$versions" >"$DIR/.complete"
if ! usable; then
  rm -f "$DIR/.complete"
  echo "wasm-toolchain: the unpacked tool chain in $DIR does not run, or lacks $TRIPLE" >&2
  exit 1
fi
echo "wasm tool chain: $versions in $DIR"
