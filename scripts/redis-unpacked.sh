#!/usr/bin/env bash
# Unpacks Debian's redis-server binary into a folder of its own for the
# build-farm test, which starts and stops a server of its own on 127.0.0.1.
# Installing the redis-server package instead would start a system service and
# enable it at boot; this leaves the machine's services as they were. The
# package (redis-tools, which holds the binary) is fetched with
# `apt-get download` and unpacked with `dpkg -x`; only its shared libraries
# (libjemalloc2, liblzf1: `scripts/setup-system.sh test` installs them) come
# from the system.
#
#   scripts/redis-unpacked.sh [DIR]      (default: build/redis)
#
# DIR/bin then holds `redis-server`; put it on the PATH. Idempotent.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
DIR="${1:-$ROOT/build/redis}"

if [[ -x "$DIR/bin/redis-server" ]] && "$DIR/bin/redis-server" --version >/dev/null 2>&1; then
  echo "redis-server: present in $DIR"
  exit 0
fi
"$ROOT/scripts/unpack-debs.sh" "$DIR" redis-tools
DIR="$(cd "$DIR" && pwd)"
# The binary serves when it is not called by a checker's name.
ln -sf ../root/usr/bin/redis-check-rdb "$DIR/bin/redis-server"
"$DIR/bin/redis-server" --version
