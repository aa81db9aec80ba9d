#!/usr/bin/env bash
# Installs the Debian packages of the Windows cross-build and of its tests under Wine, on top of
# those of scripts/install-deps.sh. Safe to run again.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
packages=(
  cmake make lzma-dev
  g++-mingw-w64-x86-64 libz-mingw-w64-dev
  wine64 xvfb
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
