#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UndefinedBehaviorSanitizer) in
# build-fuzz and runs each one for a bounded time, starting from the seeds in fuzz/<group>/seeds/.
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]
#
# SECONDS_PER_TARGET defaults to 60. The working corpus grows in build-fuzz/corpus/<target>,
# crash inputs land in build-fuzz/artifacts/ and each run's log in build-fuzz/logs/<target>.log.
# Exits non-zero when any target crashed, leaked, broke one of its checks or failed to build. An
# input that runs longer than the time-out (-timeout, 30 s) ends that target's run and is listed
# as slow, with its file in build-fuzz/artifacts/, but is not a failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${1:-60}
shift || true
build=$root/build-fuzz

# group/target pairs; the group is the folder under fuzz/ that holds the target and its seeds.
all_targets=(
  patch_engine/fuzz_hpatch_lite
  patch_engine/fuzz_tuz_decode
  patch_engine/fuzz_lzma2_decode
  patch_driver/fuzz_hpatchi_run
  runner_inputs/fuzz_manifest
  runner_inputs/fuzz_version
  roundtrip/fuzz_roundtrip
)
selected=()
if [ $# -gt 0 ]; then
  for want in "$@"; do
    for t in "${all_targets[@]}"; do [ "${t#*/}" = "$want" ] && selected+=("$t"); done
  done
  [ ${#selected[@]} -eq $# ] || { echo "unknown target in: $*" >&2; exit 2; }
else
  selected=("${all_targets[@]}")
fi

cmake -S "$root" -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQR_FUZZ=ON -DQR_SANITIZE=ON \
  -DQR_BUILD_TESTS=OFF -DQR_BUILD_BENCH=OFF \
  -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
names=()
for t in "${selected[@]}"; do names+=("${t#*/}"); done
cmake --build "$build" -j 2 --target "${names[@]}"

mkdir -p "$build/corpus" "$build/artifacts" "$build/logs"
# Huge allocations asked for by a hostile patch must fail as in the driver (result 9), not be
# reported as a crash; real memory use stays bounded by -rss_limit_mb.
export ASAN_OPTIONS=${ASAN_OPTIONS:-allocator_may_return_null=1:detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=()
slow=()
for t in "${selected[@]}"; do
  group=${t%/*}
  name=${t#*/}
  binary=$(find "$build/fuzz/$group" -maxdepth 1 -name "$name" -type f | head -n1)
  corpus=$build/corpus/$name
  seeds=$root/fuzz/$group/seeds/$name
  mkdir -p "$corpus"
  extra=()
  case $name in
    fuzz_hpatchi_run|fuzz_roundtrip) extra+=(-close_fd_mask=3) ;;
  esac
  echo "== $name: ${seconds}s"
  status=0
  "$binary" "$corpus" "$seeds" -max_total_time="$seconds" -timeout=30 -timeout_exitcode=70 \
    -rss_limit_mb=3072 -malloc_limit_mb=1048576 -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$name-" "${extra[@]}" >"$build/logs/$name.log" 2>&1 || status=$?
  if [ "$status" -eq 0 ]; then
    grep -E '^Done [0-9]+ runs|stat::number_of_executed_units' "$build/logs/$name.log" | tail -n1 || true
  elif [ "$status" -eq 70 ]; then
    echo "$name: stopped at a slow input; see $build/artifacts/$name-timeout-*" >&2
    slow+=("$name")
  else
    echo "$name FAILED; see $build/logs/$name.log and $build/artifacts/" >&2
    tail -n 40 "$build/logs/$name.log" >&2 || true
    failed+=("$name")
  fi
done

if [ ${#slow[@]} -gt 0 ]; then
  echo "fuzz targets stopped early at a slow input: ${slow[*]}" >&2
fi
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz targets with findings: ${failed[*]}" >&2
  exit 1
fi
echo "${#selected[@]} fuzz targets ran up to ${seconds}s each; no crash, leak or broken check"
