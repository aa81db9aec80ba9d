#!/usr/bin/env bash
# Side-by-side benchmark of mkpatch + hpatchi against bsdiff/bspatch, xdelta3 -9 and
# zstd -19 --patch-from on real pairs of program files: patch size, creation and apply time and
# peak memory, and a byte-for-byte check of every applied file.
#
#   bench/compare/run.sh [pair...]     (pairs: crypto python python311 libnode own pe-runner
#                                       pe-hpatchi lo lotar sshd git named chromium; default: all)
#
# Each pair's default mkpatch patch is held to its size in bench/compare/recorded_sizes.csv: the
# run fails, naming the pair, when one grows by more than 0.5%. RECORD=1 writes the sizes measured
# instead (the commit that re-records says why); RECORDED_SIZES names another file.
#
# Downloads and results go to bench/results/ (not in git); the final table and chart are also
# copied to docs/. Needs root or sudo for apt-get.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
OUT="$ROOT/bench/results"
WORK="$OUT/work"
BUILD="${BUILD_DIR:-$ROOT/build-bench}"
# COMPARE_CSV lets runs in parallel (say, the large pair) keep their rows apart until merged.
CSV="${COMPARE_CSV:-$OUT/compare.csv}"
mkdir -p "$WORK/debs" "$WORK/pairs" "$WORK/run"

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

# --- peers and tools, from Debian -------------------------------------------------------------
need=()
for p in bsdiff xdelta3 zstd time gnuplot-nox cmake g++ git; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}"
fi
bash "$ROOT/scripts/install-deps.sh"

# --- the project, in Release ------------------------------------------------------------------
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DQR_BUILD_TESTS=OFF -DQR_BUILD_BENCH=OFF >/dev/null
cmake --build "$BUILD" -j2 --target mkpatch hpatchi >/dev/null
MKPATCH="$BUILD/tools/mkpatch/mkpatch"
HPATCHI="$BUILD/tools/hpatchi/hpatchi"

# --- pairs --------------------------------------------------------------------------------------
source "$ROOT/bench/compare/pairs.sh"

# own_pair: mkpatch as built from two commits of this repository (RelWithDebInfo, as shipped
# with symbols): the first mkpatch and the one of the benchmark commit that added the sparse and
# large pairs, so that every run measures the same pair (OWN_OLD_COMMIT and OWN_NEW_COMMIT choose
# others).
own_pair() {
  [ -s "$WORK/pairs/own.old" ] && [ -s "$WORK/pairs/own.new" ] && return 0
  local i=0
  for c in "${OWN_OLD_COMMIT:-f4fd6e9}" "${OWN_NEW_COMMIT:-3ef96c4}"; do
    local side=old
    [ $i -eq 1 ] && side=new
    i=$((i + 1))
    local src="$WORK/own-$c"
    rm -rf "$src" && mkdir -p "$src"
    git -C "$ROOT" archive "$c" | tar -x -C "$src"
    # The runner of those commits took its POSIX lock from wxWidgets, which their configuration
    # looks for even when only mkpatch is built.
    if grep -q wx-config "$src/app/runner/CMakeLists.txt" 2>/dev/null; then
      bash "$ROOT/scripts/install-deps.sh" wx3.2-headers libwxgtk3.2-dev
    fi
    # The symbols name the source folder; mapped to ".", the pair's bytes do not depend on where
    # the benchmark runs.
    cmake -S "$src" -B "$src/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQR_BUILD_TESTS=OFF \
      -DQR_BUILD_BENCH=OFF "-DCMAKE_C_FLAGS=-ffile-prefix-map=$src=." \
      "-DCMAKE_CXX_FLAGS=-ffile-prefix-map=$src=." >/dev/null &&
      cmake --build "$src/build" -j2 --target mkpatch >/dev/null || {
      echo "skip own: commit $c does not build" >&2
      return 1
    }
    cp "$src/build/tools/mkpatch/mkpatch" "$WORK/pairs/own.$side"
    echo "own.$side: mkpatch at commit $c" >>"$WORK/pairs/versions.txt"
  done
}

# pe_pair NAME TARGET PATH-IN-BUILD: a Windows program of this repository cross-built with
# MinGW-w64 at two commits (PE_OLD_COMMIT, PE_NEW_COMMIT): the first whose runner builds for
# Windows and a later one. Each commit is built once for all its programs.
pe_pair() {
  local name=$1 target=$2 path=$3
  [ -s "$WORK/pairs/$name.old" ] && [ -s "$WORK/pairs/$name.new" ] && return 0
  bash "$ROOT/scripts/install-windows-deps.sh" >/dev/null
  local i=0
  for c in "${PE_OLD_COMMIT:-22a21ea}" "${PE_NEW_COMMIT:-2a65fab}"; do
    local side=old
    [ $i -eq 1 ] && side=new
    i=$((i + 1))
    local src="$WORK/pe-$c"
    if [ ! -d "$src" ]; then
      mkdir -p "$src"
      git -C "$ROOT" archive "$c" | tar -x -C "$src"
    fi
    # Mapped source folder and no link time stamp: the pair's bytes do not depend on where or
    # when the benchmark runs.
    cmake -S "$src" -B "$src/build" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64-x86_64.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DQR_BUILD_TESTS=OFF -DQR_BUILD_BENCH=OFF -DQR_BUILD_RUNNER=ON \
      "-DCMAKE_C_FLAGS=-ffile-prefix-map=$src=." "-DCMAKE_CXX_FLAGS=-ffile-prefix-map=$src=." \
      "-DCMAKE_EXE_LINKER_FLAGS=-Wl,--no-insert-timestamp" >/dev/null &&
      cmake --build "$src/build" -j2 --target "$target" >/dev/null || {
      echo "skip $name: commit $c does not build $target" >&2
      return 1
    }
    cp "$src/build/$path" "$WORK/pairs/$name.$side"
    echo "$name.$side: $target at commit $c (MinGW-w64, Release)" >>"$WORK/pairs/versions.txt"
  done
}

make_pair() {
  case $1 in
    crypto) deb_pair crypto libssl3 "$deb_libdir"/libcrypto.so.3 ;;
    python) deb_pair python libpython3.11 "$deb_libdir"/libpython3.11.so.1.0 ;;
    python311) deb_pair python311 python3.11-minimal usr/bin/python3.11 3.11.2-6+deb12u8 \
      3.11.2-6+deb12u9 ;;
    libnode) deb_pair libnode libnode108 "$deb_libdir"/libnode.so.108 18.20.4+dfsg-1~deb12u2 \
      18.20.4+dfsg-1~deb12u3 ;;
    own) own_pair ;;
    # Windows programs: PE executables, statically linked.
    pe-runner) pe_pair pe-runner QuorlinRunner app/runner/QuorlinRunner.exe ;;
    pe-hpatchi) pe_pair pe-hpatchi hpatchi tools/hpatchi/hpatchi.exe ;;
    lo) deb_pair lo libreoffice-core usr/lib/libreoffice/program/libmergedlo.so ;;
    lotar) deb_pair lotar libreoffice-core - ;;
    # Sparse pairs: point releases with a small security fix, bsdiff's patch under 3% of NEW.
    sshd) deb_pair sshd openssh-server usr/sbin/sshd 1:9.2p1-2+deb12u9 1:9.2p1-2+deb12u10 ;;
    git) deb_pair git git usr/bin/git 1:2.39.5-0+deb12u2 1:2.39.5-0+deb12u3 ;;
    named) deb_pair named bind9 usr/sbin/named 1:9.18.49-1~deb12u1 1:9.18.49-1~deb12u3 ;;
    # A large pair: a browser binary of about 300 MB from two releases.
    chromium) deb_pair chromium chromium usr/lib/chromium/chromium 150.0.7871.100-1~deb12u1 \
      156.0.8078.129-1~deb12u1 ;;
    *) echo "unknown pair $1" >&2; return 1 ;;
  esac
}

# --- measuring ----------------------------------------------------------------------------------
# measure FILE CMD...: runs CMD, stores "wall-seconds peak-KiB cpu-seconds" in FILE (CPU is
# user + system: the machine may be shared); fails when CMD fails.
measure() {
  local file=$1
  shift
  /usr/bin/time -f "%e %M %U %S" -o "$file.raw" "$@" >/dev/null 2>"$file.err" || return 1
  awk '{printf "%s %s %.2f\n", $1, $2, $3 + $4}' "$file.raw" >"$file"
}

# run_tool PAIR TOOL: makes a patch, applies it, checks the result and appends a CSV row.
run_tool() {
  local pair=$1 tool=$2
  local old="$WORK/pairs/$pair.old" new="$WORK/pairs/$pair.new"
  local d="$WORK/run/$pair-$tool"
  rm -rf "$d" && mkdir -p "$d"
  local patch="$d/patch" out="$d/out"
  local -a mk ap
  case $tool in
    mkpatch) mk=("$MKPATCH" -q "$old" "$new" "$patch"); ap=("$HPATCHI" "$old" "$patch" "$out") ;;
    mkpatch-lzma) mk=("$MKPATCH" -q -c lzma "$old" "$new" "$patch"); ap=("$HPATCHI" "$old" "$patch" "$out") ;;
    mkpatch-tuz) mk=("$MKPATCH" -q -c tuz "$old" "$new" "$patch"); ap=("$HPATCHI" "$old" "$patch" "$out") ;;
    mkpatch-zlib) mk=("$MKPATCH" -q -c zlib "$old" "$new" "$patch"); ap=("$HPATCHI" "$old" "$patch" "$out") ;;
    bsdiff) mk=(bsdiff "$old" "$new" "$patch"); ap=(bspatch "$old" "$out" "$patch") ;;
    xdelta3) mk=(xdelta3 -9 -e -f -s "$old" "$new" "$patch"); ap=(xdelta3 -d -f -s "$old" "$patch" "$out") ;;
    zstd) mk=(zstd -q -f -19 --long=31 --patch-from="$old" "$new" -o "$patch")
          ap=(zstd -q -f -d --long=31 --patch-from="$old" "$patch" -o "$out") ;;
  esac
  local ok=yes
  measure "$d/create.time" "${mk[@]}" || ok=create-failed
  if [ $ok = yes ]; then
    measure "$d/apply.time" "${ap[@]}" || ok=apply-failed
  fi
  if [ $ok = yes ] && ! cmp -s "$out" "$new"; then ok=output-differs; fi
  local ct=NA cm=NA cc=NA at=NA am=NA ac=NA size=NA
  [ -s "$d/create.time" ] && read -r ct cm cc <"$d/create.time"
  [ -s "$d/apply.time" ] && read -r at am ac <"$d/apply.time"
  [ -f "$patch" ] && size=$(stat -L -c %s "$patch")
  echo "$pair,$(stat -L -c %s "$old"),$(stat -L -c %s "$new"),$tool,$size,$ct,$cm,$at,$am,$ok,$cc,$ac" >>"$CSV"
  echo "  $tool: patch $size bytes, create ${ct}s (cpu ${cc}s) ${cm}KiB, apply ${at}s (cpu ${ac}s) ${am}KiB, $ok"
  rm -f "$out"
}

pairs=("$@")
[ ${#pairs[@]} -eq 0 ] &&
  pairs=(crypto python python311 libnode own pe-runner pe-hpatchi lo lotar sshd git named chromium)
tools=(${TOOLS:-mkpatch mkpatch-lzma mkpatch-tuz mkpatch-zlib bsdiff xdelta3 zstd})

# --- the size guard -----------------------------------------------------------------------------
RECORDED="${RECORDED_SIZES:-$ROOT/bench/compare/recorded_sizes.csv}"
GUARDED_TOOL=mkpatch
grown=()
measured=()

# guard_size PAIR: holds the pair's last measured patch of GUARDED_TOOL to its recorded size,
# 0.5% over it at most; a pair never recorded only says so.
guard_size() {
  local pair=$1 size rec
  [[ " ${tools[*]} " == *" $GUARDED_TOOL "* ]] || return 0
  size=$(awk -F, -v p="$pair" -v t=$GUARDED_TOOL '$1 == p && $4 == t {s = $5} END {print s}' "$CSV")
  [ -n "$size" ] || return 0
  measured+=("$pair,$GUARDED_TOOL,$size")
  [ "${RECORD:-0}" = 1 ] && return 0
  rec=""
  [ -f "$RECORDED" ] && rec=$(awk -F, -v p="$pair" -v t=$GUARDED_TOOL '$1 == p && $2 == t {print $3}' "$RECORDED")
  if [ -z "$rec" ]; then
    echo "  size guard: $pair has no recorded $GUARDED_TOOL size (RECORD=1 records it)"
  elif [ "$size" = NA ] || [ $((size * 1000)) -gt $((rec * 1005)) ]; then
    echo "  size guard: $pair's $GUARDED_TOOL patch is $size bytes, recorded $rec" >&2
    grown+=("$pair")
  fi
}

# record_sizes: the sizes measured in this run replace the recorded ones of their pairs.
record_sizes() {
  [ -f "$RECORDED" ] || echo "pair,tool,patchSize" >"$RECORDED"
  printf '%s\n' "${measured[@]}" | awk -F, '
    NR == FNR { size[$1 "," $2] = $3; order[++n] = $1 "," $2; next }
    FNR == 1 { print; next }
    { k = $1 "," $2; if (k in size) { print k "," size[k]; delete size[k] } else print }
    END { for (i = 1; i <= n; i++) if (order[i] in size) print order[i] "," size[order[i]] }
  ' - "$RECORDED" >"$RECORDED.tmp"
  mv "$RECORDED.tmp" "$RECORDED"
  echo "recorded: ${#measured[@]} sizes in $RECORDED"
}

HEADER="pair,oldSize,newSize,tool,patchSize,createSec,createKiB,applySec,applyKiB,check,createCpu,applyCpu"
# A CSV from before the CPU columns is started afresh.
[ -f "$CSV" ] && [ "$(head -1 "$CSV")" != "$HEADER" ] && mv "$CSV" "$CSV.old"
[ -f "$CSV" ] || echo "$HEADER" >"$CSV"
for pair in "${pairs[@]}"; do
  make_pair "$pair" || continue
  # Measurements of this pair by these tools replace earlier ones.
  grep -v -E "^$pair,[^,]*,[^,]*,($(IFS='|'; echo "${tools[*]}"))," "$CSV" >"$CSV.tmp" || true
  mv "$CSV.tmp" "$CSV"
  echo "$pair: $(stat -L -c %s "$WORK/pairs/$pair.old") -> $(stat -L -c %s "$WORK/pairs/$pair.new") bytes"
  for tool in "${tools[@]}"; do run_tool "$pair" "$tool"; done
  guard_size "$pair"
done

python3 "$ROOT/bench/compare/report.py" "$CSV" "$OUT" "$WORK/pairs/versions.txt"
mkdir -p "$ROOT/docs"
cp "$OUT/compare.md" "$ROOT/docs/patch-benchmark.md"
[ -f "$OUT/compare.png" ] && cp "$OUT/compare.png" "$ROOT/docs/patch-benchmark.png"
echo "written: $OUT/compare.md $OUT/compare.png (copied to docs/)"

if [ "${RECORD:-0}" = 1 ]; then
  record_sizes
elif [ ${#grown[@]} -gt 0 ]; then
  echo "size guard: the $GUARDED_TOOL patch grew by more than 0.5% on: ${grown[*]}" >&2
  exit 1
fi
