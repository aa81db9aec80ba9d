#!/usr/bin/env bash
# Cross-builds the Windows programs (hpatchi.exe, QuorlinRunner.exe, the stand-in application) and
# the Windows suites with MinGW-w64, and runs the suites under Wine through CTest, in a Wine prefix
# made afresh in the build folder (tests/windows/CMakeLists.txt lists them). The patches of the
# end-to-end cases are made on Linux by the Linux mkpatch; Linux test programs (tests/wine) drive
# the Windows programs under Wine.
#
#   bash scripts/windows-test.sh [CTEST ARGUMENTS]
#
# Build folders (relative to the repository unless set): QR_MINGW_BUILD (build-mingw) for the
# Windows programs, QR_WINE_HOST_BUILD (build-wine-host) for the Linux mkpatch and the programs of
# tests/wine. Closes with CTest's summary and exits non-zero when a test failed or a build broke.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
mingw_build=${QR_MINGW_BUILD:-$root/build-mingw}
host_build=${QR_WINE_HOST_BUILD:-$root/build-wine-host}
jobs=2

bash scripts/install-deps.sh || exit 1
bash scripts/install-windows-deps.sh || exit 1

# Runs a build step quietly; its log is shown only when it fails.
step() {
  local name=$1
  shift
  local log
  log=$(mktemp)
  if ! "$@" >"$log" 2>&1; then
    echo "== $name FAILED" >&2
    tail -n 60 "$log" >&2
    rm -f "$log"
    exit 1
  fi
  rm -f "$log"
}

# The tests' tree configures the programs of tests/wine; only those the Windows suites use are built.
echo "== Linux build of mkpatch and the Wine drivers in $host_build"
step "host configure" cmake -S "$root" -B "$host_build" -DCMAKE_BUILD_TYPE=Release \
  -DQR_BUILD_TESTS=ON -DQR_BUILD_BENCH=OFF -DQR_BUILD_RUNNER=OFF
step "host build" cmake --build "$host_build" -j "$jobs" --target mkpatch wine_hpatchi_cases wine_runner_cases

# The patch creator stays Linux-only (libdivsufsort and liblzma have no MinGW packages); the
# Windows tree leaves it out by itself.
echo "== Windows build of the programs and their suites in $mingw_build"
step "MinGW configure" cmake -S "$root" -B "$mingw_build" \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DQR_BUILD_TESTS=ON -DQR_BUILD_RUNNER=ON -DQR_HOST_BUILD="$host_build"
step "MinGW build" cmake --build "$mingw_build" -j "$jobs" --target windows_suites

# Xvfb for the focus case is started for that case alone (tests/wine/with_xvfb.sh).
echo "== the Windows suites under Wine"
ctest --test-dir "$mingw_build" --output-on-failure "$@"
