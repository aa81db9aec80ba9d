#!/usr/bin/env bash
# Checks that the sources are formatted as .clang-format says, builds the project twice (plain,
# and with AddressSanitizer + UndefinedBehaviorSanitizer) and runs every test suite in both
# builds. Exits non-zero on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/check-format.sh
jobs=$(nproc)
# One case more than cores at a time: the end-to-end cases spend much of their time waiting on
# the programs they start.
test_jobs=$((jobs + 1))

# Both builds keep line tables only (-g1): enough for a failure's or a sanitizer's file and line,
# and a third less compile time than full debug information.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG" "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG"
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$test_jobs"

# -O1, as the sanitizers advise: the creator's heavy cases run much faster than at -O0, and the
# build stays Debug, so asserts stay on.
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DQR_SANITIZE=ON -DQR_BUILD_BENCH=OFF \
  "-DCMAKE_C_FLAGS_DEBUG=-g1 -O1" "-DCMAKE_CXX_FLAGS_DEBUG=-g1 -O1"
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j "$test_jobs"
