#!/usr/bin/env bash
# Installs the Debian packages named as arguments, by default every package that building and
# testing need; only the missing ones are fetched. Safe to run again.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
packages=("$@")
if [ ${#packages[@]} -eq 0 ]; then
  packages=(
    build-essential cmake g++ clang libclang-rt-14-dev clang-format-14
    libgtest-dev
    libeasyloggingpp-dev nlohmann-json3-dev
    zlib1g-dev liblzma-dev lzma-dev
    libdivsufsort-dev libssl-dev
  )
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
