#!/usr/bin/env bash
# Apply benchmark on real pairs with many covers: hpatchi applies the patch of each compress type
# next to decoding the same body alone (decode_body), zstd --patch-from and xdelta3 on the same
# pair, in the same run. For every program: wall, user and system time (time_runs.py: a monotonic
# clock and the child's resource usage), and, from separate runs, peak memory (/usr/bin/time) and
# the read/seek system calls (read, pread64, lseek) per MiB of output (perf's syscall tracepoints, or
# strace -c -f with SYSCALLS=strace). Every applied file is compared with the real new file.
# decode_body writes the body it decodes to the same output file as hpatchi, so that both sides
# pay for their output alike (rows decode-TYPE; rows discard-TYPE decode without writing); the row
# copy-old copies OLD to that file with plain reads and writes, the file traffic that any applier
# of the pair has on top of its decoding. The hostile
# pair is a patch of one-byte covers that jump between two old positions (hostile_patch).
#
#   bench/apply/run.sh [pair...]    pairs: crypto python chromium hostile (default: all)
#
#   RUNS=3          timed runs of each program at least; the least wall time is reported, user
#                   and system time are the runs' mean
#   MIN_SECONDS=1   each program is run again until this much time has passed (at most 200
#                   runs), so that a small pair's runs of milliseconds are timed often enough
#   TYPES="..."     compress types of our patches (default: lzma2 tuz zlib lzma none)
#   BEFORE=FILE     another hpatchi build, applied beside ours (rows "hpatchi-before")
#   ZSTD_LEVEL=19   level of the zstd patches
#   NO_PEERS=1      leaves zstd and xdelta3 out
#   NO_SYNTHETIC=1  leaves out the synthetic case of bench/patch_apply
#
# Downloads (through bench/compare/pairs.sh), patches and results go to bench/results/; patches
# are made once and kept there (the browser pair takes minutes and gigabytes per patch). The
# table goes to bench/results/apply/apply.md and the rows to apply.csv.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
OUT="$ROOT/bench/results"
WORK="$OUT/work"
A="$OUT/apply"
BUILD="${BUILD_DIR:-$ROOT/build-bench}"
RUNS=${RUNS:-3}
MIN_SECONDS=${MIN_SECONDS:-1}
TYPES=(${TYPES:-lzma2 tuz zlib lzma none})
ZSTD_LEVEL=${ZSTD_LEVEL:-19}
mkdir -p "$WORK/debs" "$WORK/pairs" "$A/patches" "$A/run"

for p in xdelta3 zstd time strace; do
  command -v "$p" >/dev/null || [ -x "/usr/bin/$p" ] || {
    echo "needs $p (apt-get install $p)" >&2
    exit 1
  }
done

# The benchmarks are asked for: bench/compare/run.sh configures the same build without them.
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DQR_BUILD_TESTS=OFF -DQR_BUILD_RUNNER=OFF -DQR_BUILD_BENCH=ON >/dev/null
cmake --build "$BUILD" -j2 --target mkpatch hpatchi decode_body hostile_patch patch_apply_bench >/dev/null
MKPATCH="$BUILD/tools/mkpatch/mkpatch"
HPATCHI="$BUILD/tools/hpatchi/hpatchi"
DECODE="$BUILD/bench/apply/decode_body"
HOSTILE="$BUILD/bench/apply/hostile_patch"

source "$ROOT/bench/compare/pairs.sh"

make_pair() {
  case $1 in
    crypto) deb_pair crypto libssl3 "$deb_libdir"/libcrypto.so.3 ;;
    python) deb_pair python libpython3.11 "$deb_libdir"/libpython3.11.so.1.0 ;;
    chromium) deb_pair chromium chromium usr/lib/chromium/chromium ;;
    hostile)
      [ -s "$WORK/pairs/hostile.old" ] && return 0
      "$HOSTILE" "$WORK/pairs/hostile.old" "$WORK/pairs/hostile.new" "$A/patches/hostile.none" 20 none
      ;;
    *) echo "unknown pair $1" >&2; return 1 ;;
  esac
}

# make_patch PAIR TOOL: the cached patch file of that tool, made when missing.
make_patch() {
  local pair=$1 tool=$2 old="$WORK/pairs/$1.old" new="$WORK/pairs/$1.new"
  local patch="$A/patches/$pair.$tool"
  [ -s "$patch" ] && { echo "$patch"; return 0; }
  case $tool in
    zstd) zstd -q -f "-$ZSTD_LEVEL" --long=30 -T2 --patch-from="$old" "$new" -o "$patch.tmp" 2>/dev/null ;;
    xdelta3) xdelta3 -9 -e -f -s "$old" "$new" "$patch.tmp" ;;
    *)
      if [ "$pair" = hostile ]; then
        "$HOSTILE" "$patch.old" "$patch.new" "$patch.tmp" 20 "$tool" >/dev/null
        rm -f "$patch.old" "$patch.new"
      else
        "$MKPATCH" -q --no-verify -c "$tool" "$old" "$new" "$patch.tmp"
      fi
      ;;
  esac
  mv "$patch.tmp" "$patch"
  echo "$patch"
}

# The read/seek system calls of one run of CMD.
count_calls() {
  local file=$1
  shift
  if [ "${SYSCALLS:-perf}" = perf ] && perf stat -x, -o "$file" \
      -e syscalls:sys_enter_read,syscalls:sys_enter_pread64,syscalls:sys_enter_lseek "$@" \
      >/dev/null 2>&1; then
    awk -F, '/syscalls:/ {s += $1} END {print s + 0}' "$file"
  else
    strace -c -f -o "$file" "$@" >/dev/null 2>&1
    awk '$NF == "read" || $NF == "pread64" || $NF == "lseek" {s += $4} END {print s + 0}' "$file"
  fi
}

CSV="$A/apply.csv"
MD="$A/apply.md"
[ -f "$CSV" ] || echo "pair,program,patchBytes,outMiB,wallSec,userSec,sysSec,peakKiB,readSeekCalls,callsPerMiB,mustBytes,check" >"$CSV"

# measure PAIR PROGRAM PATCH OUTFILE CMD...: the timed runs, one run for the peak and one counted run.
measure() {
  local pair=$1 prog=$2 patch=$3 outFile=$4
  shift 4
  local d="$A/run/$pair-$prog" check=ok wall user sys peak
  mkdir -p "$d"
  local runs code
  read -r wall user sys runs code < <(python3 "$ROOT/bench/apply/time_runs.py" "$RUNS" \
    "$MIN_SECONDS" "$outFile" "$d/stdout" "$d/stderr" -- "$@")
  [ "$code" = 0 ] || check=failed
  rm -f "$outFile"
  /usr/bin/time -f "%M" -o "$d/time" "$@" >/dev/null 2>&1 || check=failed
  peak=$(tail -1 "$d/time")
  if [[ $prog == hpatchi-* || $prog == before-* || $prog == zstd || $prog == xdelta3 ]] &&
    [ $check = ok ] &&
    ! cmp -s "$outFile" "$WORK/pairs/$pair.new"; then
    check=differs
  fi
  local must
  must=$(sed -n 's/.*(must) \([0-9]*\) .*/\1/p' "$d/stdout" | head -1)
  local calls
  calls=$(count_calls "$d/calls" "$@")
  rm -f "$outFile"
  local newBytes mib
  newBytes=$(stat -L -c %s "$WORK/pairs/$pair.new")
  mib=$(awk -v b="$newBytes" 'BEGIN {printf "%.2f", b / 1048576}')
  local perMiB
  perMiB=$(awk -v c="$calls" -v m="$mib" 'BEGIN {printf "%.1f", c / m}')
  # A new measurement replaces the earlier one of the same program on the same pair.
  grep -v "^$pair,$prog," "$CSV" >"$CSV.tmp" || true
  mv "$CSV.tmp" "$CSV"
  echo "$pair,$prog,$(stat -L -c %s "$patch"),$mib,$wall,$user,$sys,$peak,$calls,$perMiB,${must:-},$check" >>"$CSV"
  printf '  %-16s patch %10s B  wall %7.3f s  user %6.3f s  sys %6.3f s  peak %7s KiB  %9s read/seek calls (%7s/MiB)  %s\n' \
    "$prog" "$(stat -L -c %s "$patch")" "$wall" "$user" "$sys" "$peak" "$calls" "$perMiB" "$check"
}

pairs=("$@")
[ ${#pairs[@]} -eq 0 ] && pairs=(crypto python chromium hostile)
for pair in "${pairs[@]}"; do
  make_pair "$pair" || continue
  old="$WORK/pairs/$pair.old"
  echo "$pair: $(stat -L -c %s "$old") -> $(stat -L -c %s "$WORK/pairs/$pair.new") bytes"
  out="$A/run/$pair.out"
  measure "$pair" copy-old "$old" "$out" dd if="$old" of="$out" bs=128k status=none
  for type in "${TYPES[@]}"; do
    patch=$(make_patch "$pair" "$type")
    measure "$pair" "decode-$type" "$patch" "$out" "$DECODE" "$patch" "$out"
    measure "$pair" "discard-$type" "$patch" - "$DECODE" "$patch"
    measure "$pair" "hpatchi-$type" "$patch" "$out" "$HPATCHI" "$old" "$patch" "$out"
    if [ -n "${BEFORE:-}" ]; then
      measure "$pair" "before-$type" "$patch" "$out" "$BEFORE" "$old" "$patch" "$out"
    fi
  done
  if [ "$pair" != hostile ] && [ -z "${NO_PEERS:-}" ]; then
    patch=$(make_patch "$pair" zstd)
    measure "$pair" zstd "$patch" "$out" zstd -q -f -d --long=30 --patch-from="$old" "$patch" -o "$out"
    patch=$(make_patch "$pair" xdelta3)
    measure "$pair" xdelta3 "$patch" "$out" xdelta3 -d -f -s "$old" "$patch" "$out"
  fi
done

if [ -z "${NO_SYNTHETIC:-}" ]; then
  echo "synthetic uncompressed case (bench/patch_apply):"
  "$BUILD/bench/patch_apply/patch_apply_bench" 2 256 | tail -4 | sed 's/^/  /' | tee "$A/patch_apply.txt"
fi

python3 - "$CSV" "$MD" <<'EOF'
import csv, sys
rows = list(csv.DictReader(open(sys.argv[1])))
by = {}
for r in rows:
    by.setdefault(r["pair"], {})[r["program"]] = r
out = ["| pair | program | patch bytes | wall s | user s | sys s | peak KiB | read/seek calls | per MiB | check |",
       "|---|---|---|---|---|---|---|---|---|---|"]
for r in rows:
    out.append("| {pair} | {program} | {patchBytes} | {wallSec} | {userSec} | {sysSec} | {peakKiB} | "
               "{readSeekCalls} | {callsPerMiB} | {check} |".format(**r))
out.append("")
out.append("Targets:")
def f(r, k):
    return float(r[k])
for pair, progs in by.items():
    for name, r in progs.items():
        if not name.startswith("hpatchi-"):
            continue
        calls = f(r, "callsPerMiB")
        line = f"- {pair} {name}: {calls:.1f} read/seek calls per MiB (target <= 100: {'met' if calls <= 100 else 'MISSED'})"
        if r["mustBytes"]:
            limit = 4096 + int(r["mustBytes"]) / 1024
            peak = int(r["peakKiB"])
            line += f"; peak {peak} KiB (target <= {limit:.0f} KiB: {'met' if peak <= limit else 'MISSED'})"
        if pair == "chromium":
            line += f"; system {f(r, 'sysSec'):.2f} s (target <= 1 s: {'met' if f(r, 'sysSec') <= 1 else 'MISSED'})"
        out.append(line)
    lz, dec, xd = progs.get("hpatchi-lzma2"), progs.get("decode-lzma2"), progs.get("xdelta3")
    for floor in ("decode-lzma2", "discard-lzma2"):
        dec = progs.get(floor)
        if lz and dec:
            q = f(lz, "wallSec") / max(f(dec, "wallSec"), 0.0005)
            cpu = f(lz, "userSec") + f(lz, "sysSec")
            floorCpu = f(dec, "userSec") + f(dec, "sysSec")
            out.append(f"- {pair} lzma2: apply/{floor} wall {q:.2f} (target <= 1.2: {'met' if q <= 1.2 else 'MISSED'}), "
                       f"CPU {cpu:.4f} s vs {floorCpu:.4f} s ({cpu / max(floorCpu, 0.0005):.2f})")
    dec = progs.get("decode-lzma2")
    cp = progs.get("copy-old")
    if lz and dec and cp:
        out.append(f"- {pair} lzma2: apply minus decode {f(lz,'wallSec')-f(dec,'wallSec'):.4f} s wall, "
                   f"copying OLD alone {f(cp,'wallSec'):.4f} s")
    if lz and xd:
        out.append(f"- {pair} lzma2: wall {f(lz,'wallSec'):.3f} s vs xdelta3 {f(xd,'wallSec'):.3f} s "
                   f"(target <=: {'met' if f(lz,'wallSec') <= f(xd,'wallSec') else 'MISSED'}), "
                   f"CPU {f(lz,'userSec')+f(lz,'sysSec'):.3f} s vs {f(xd,'userSec')+f(xd,'sysSec'):.3f} s")
    tz, zs = progs.get("hpatchi-tuz"), progs.get("zstd")
    if tz and zs:
        q = f(tz, "wallSec") / max(f(zs, "wallSec"), 0.005)
        out.append(f"- {pair} tuz: wall {q:.2f}x zstd's (target <= 1.5: {'met' if q <= 1.5 else 'MISSED'}), "
                   f"CPU {f(tz,'userSec')+f(tz,'sysSec'):.3f} s vs {f(zs,'userSec')+f(zs,'sysSec'):.3f} s")
open(sys.argv[2], "w").write("\n".join(out) + "\n")
print("\n".join(out[out.index("Targets:"):]))
EOF
echo "written: $MD $CSV"
