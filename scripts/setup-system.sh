#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when missing.
# Usage: scripts/setup-system.sh [extra packages...]
set -euo pipefail

apt_packages=(build-essential cmake pkg-config libssl-dev libutf8proc-dev libgtest-dev libgmock-dev
              librust-serde-json-dev "$@")
missing=()
for pkg in "${apt_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
else
  echo "all present"
fi
