#!/usr/bin/env bash
# Fetches Debian packages with `apt-get download` and unpacks them with
# `dpkg -x` into DIR/root, for a tool the tests run from a folder of its own:
# nothing is installed, and no service is started or enabled. DIR is made
# afresh, with an empty DIR/bin beside DIR/root for the caller's entry points;
# only a folder this script made (or an empty one) is replaced.
#
#   scripts/unpack-debs.sh DIR PACKAGE...
set -euo pipefail

DIR="$1"
shift
if [[ -d "$DIR" && ! -d "$DIR/root" && -n "$(ls -A "$DIR")" ]]; then
  echo "unpack-debs: $DIR holds something else; not replacing it" >&2
  exit 1
fi
rm -rf "$DIR"
mkdir -p "$DIR/debs" "$DIR/root" "$DIR/bin"
echo "unpacking into $DIR: $*"
# Stale package lists name files the archive no longer has: refresh them once.
(cd "$DIR/debs" && { apt-get download "$@" || { apt-get update && apt-get download "$@"; }; })
for deb in "$DIR"/debs/*.deb; do dpkg -x "$deb" "$DIR/root"; done
# The packages are kept by apt's cache anyway.
rm -rf "$DIR/debs" "$DIR/root/usr/share/doc" "$DIR/root/usr/share/man"
