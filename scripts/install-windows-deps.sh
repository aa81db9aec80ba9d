#!/usr/bin/env bash
# Installs the Debian packages of the Windows cross-build and of its tests under Wine, on top of
# those of scripts/install-deps.sh. Safe to run again.
set -euo pipefail
exec bash "$(dirname "$0")/install-deps.sh" \
  cmake make lzma-dev \
  g++-mingw-w64-x86-64 libz-mingw-w64-dev googletest \
  wine64 xvfb
