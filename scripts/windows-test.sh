#!/usr/bin/env bash
# Cross-builds the Windows programs (hpatchi.exe, QuorlinRunner.exe, the stand-in application)
# with MinGW-w64 and runs end-to-end suites of them under Wine, in a throw-away Wine prefix: the
# hpatchi.exe cases here, then the runner's cases of tests/windows/runner_suite.sh. The patches
# are made on Linux by the Linux mkpatch, and the Linux hpatchi's results serve as a cross-check
# where the traces of the two builds must agree.
#
#   bash scripts/windows-test.sh
#
# Build folders (relative to the repository unless set): QR_MINGW_BUILD (build-mingw) for the
# Windows programs, QR_WINE_HOST_BUILD (build-wine-host) for the Linux mkpatch, hpatchi and
# standin_copy. Closes with "N passed, N failed" and exits non-zero when any case failed or a
# build broke.
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

# The tests' tree configures the stand-in's standin_copy; only the three programs are built.
echo "== Linux build of mkpatch, hpatchi and standin_copy in $host_build"
step "host configure" cmake -S "$root" -B "$host_build" -DCMAKE_BUILD_TYPE=Release \
  -DQR_BUILD_TESTS=ON -DQR_BUILD_BENCH=OFF -DQR_BUILD_RUNNER=OFF
step "host build" cmake --build "$host_build" -j "$jobs" --target mkpatch hpatchi standin_copy

# The patch creator stays Linux-only (libdivsufsort and liblzma have no MinGW packages); the
# Windows tree leaves it out by itself, and of the tests it builds only the stand-in.
echo "== Windows build of hpatchi.exe, QuorlinRunner.exe and the stand-in in $mingw_build"
step "MinGW configure" cmake -S "$root" -B "$mingw_build" \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DQR_BUILD_TESTS=ON -DQR_BUILD_RUNNER=ON
step "MinGW build" cmake --build "$mingw_build" -j "$jobs" \
  --target hpatchi QuorlinRunner quorlin_standin quorlin_standin_gui

# The Windows checks of the file streams, linked against the cross-built engine libraries.
stream_check=$mingw_build/tests-windows/stream_check.exe
mingw_cc=$(sed -n 's/^CMAKE_C_COMPILER:[A-Z]*=//p' "$mingw_build/CMakeCache.txt")
mkdir -p "$(dirname "$stream_check")"
step "stream checks build" "$mingw_cc" -std=c11 -Wall -Wextra -Werror -O1 -I"$root" \
  "$root/tests/windows/stream_check.c" "$mingw_build/patch/libhl_patch.a" \
  "$mingw_build/patch/decompress/libhl_decompress.a" -static -o "$stream_check"
# Holds the runner's lock name with an object of another kind, for the runner suite.
lock_squatter=$mingw_build/tests-windows/lock_squatter.exe
step "lock squatter build" "$mingw_cc" -std=c11 -Wall -Wextra -Werror -O1 -municode \
  "$root/tests/windows/lock_squatter.c" -static -o "$lock_squatter"

mkpatch=$host_build/tools/mkpatch/mkpatch
linux_hpatchi=$host_build/tools/hpatchi/hpatchi
exe=$mingw_build/tools/hpatchi/hpatchi.exe
wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)

# Wine reads the command line in the locale's character set: UTF-8 keeps non-ASCII paths whole.
export LC_ALL=C.UTF-8
export WINEDEBUG=-all
# No Mono or Gecko: a console program needs neither, and their set-up would only cost time.
export WINEDLLOVERRIDES="mscoree,mshtml="
WINEPREFIX=$(mktemp -d)
export WINEPREFIX
work=$(mktemp -d)
cleanup() {
  "$wineserver" -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX" "$work"
}
trap cleanup EXIT

echo "== Wine prefix $WINEPREFIX"
"$wine" wineboot --init >/dev/null 2>&1 || true
"$wineserver" -w >/dev/null 2>&1 || true

passed=0
failed=0
pass() {
  passed=$((passed + 1))
  echo "ok   $1"
}
fail() {
  failed=$((failed + 1))
  echo "FAIL $1${2:+: $2}"
}

# Windows' stdio writes text-mode streams: every "\n" of the driver arrives as "\r\n".
crlf() { sed 's/$/\r/'; }

# Runs hpatchi.exe in folder $1 with the remaining arguments; leaves out, err and code there.
run_exe() {
  local dir=$1
  shift
  (cd "$dir" && "$wine" "$exe" "$@" >out 2>err; echo $? >code)
}

# Runs the Linux hpatchi on copies of old and patch of folder $1, in its subfolder linux, with
# the same command line "old patch new"; leaves linux.out, linux.err and linux.code in $1.
run_linux() {
  local dir=$1
  mkdir -p "$dir/linux"
  cp "$dir/old" "$dir/patch" "$dir/linux/"
  (cd "$dir/linux" && "$linux_hpatchi" old patch new >../linux.out 2>../linux.err
    echo $? >../linux.code)
}

# The trace without its time line, which must be the last line and end in three decimals.
trace_checked() {
  local file=$1
  tail -n 1 "$file" | grep -Eq $'^hpatchi time: [0-9]+\\.[0-9]{3} s\r$' || return 1
  head -n -1 "$file"
}

# Checks one Windows run in $1: result code $2, stdout without the time line equal to file $3,
# stderr equal to file $4.
check_run() {
  local dir=$1 want_code=$2 want_out=$3 want_err=$4 name=$5
  local got_code
  got_code=$(cat "$dir/code")
  if [ "$got_code" != "$want_code" ]; then
    fail "$name" "code $got_code, expected $want_code; stderr: $(tr -d '\r' <"$dir/err")"
    return 1
  fi
  if ! trace_checked "$dir/out" >"$dir/out.trace"; then
    fail "$name" "no time line at the end of stdout: $(tail -n 1 "$dir/out" | od -c | head -n 2)"
    return 1
  fi
  if ! cmp -s "$dir/out.trace" "$want_out"; then
    fail "$name" "stdout differs: $(diff <(od -c "$want_out") <(od -c "$dir/out.trace") | head -n 8)"
    return 1
  fi
  if ! cmp -s "$dir/err" "$want_err"; then
    fail "$name" "stderr differs: $(diff <(od -c "$want_err") <(od -c "$dir/err") | head -n 8)"
    return 1
  fi
  return 0
}

# The trace of a successful run up to the blank line before the time line, in CRLF.
success_trace() {
  local old=$1 diff=$2 out=$3 oldSize=$4 diffSize=$5 newSize=$6 decompresser=$7 must=$8
  printf 'old : "%s"\ndiff: "%s"\nout : "%s"\n' "$old" "$diff" "$out"
  printf 'oldDataSize : %s\ndiffDataSize: %s\nnewDataSize : %s\n' "$oldSize" "$diffSize" "$newSize"
  printf 'hpatchi run with decompresser: "%s"\n' "$decompresser"
  printf '  requirements memory size: (must) %s + (cache) 32768\n' "$must"
  printf '  patch ok!\n\n'
}

size_of() { wc -c <"$1" | tr -d ' '; }

# Unsigned byte at offset $2 of file $1.
byte_at() { od -An -tu1 -j "$2" -N 1 "$1" | tr -d ' '; }

# Offset of the decompressor prefix: after magic, type, the size-widths byte and the two sizes.
prefix_offset() {
  local widths n m
  widths=$(byte_at "$1" 3)
  n=$((widths & 7))
  m=$(((widths >> 3) & 7))
  echo $((4 + n + m))
}

# The zlib plugin's memory: the window 2^w plus the 7152 bytes of the inflater's state on
# Windows x64 (Linux' larger longs make it 7160 there).
zlib_must() {
  local b w
  b=$(byte_at "$1" "$(prefix_offset "$1")")
  [ "$b" -gt 127 ] && b=$((b - 256))
  w=${b#-}
  [ "$w" -gt 15 ] && w=$((w - 16))
  echo $(((1 << w) + 7152))
}

# ---- the worked example of the format: ten digits and a 22-byte uncompressed patch ----
case_worked_example() {
  local d=$work/worked
  mkdir -p "$d"
  printf '0123456789' >"$d/old"
  printf '\x68\x49\x00\x41\x0b\x03\x04\x82\x02\x61\x62\x03\x00\x01\x5a\x01\x01\x01\x00\x00\x01\x21' \
    >"$d/patch"
  run_exe "$d" old patch new
  success_trace old patch new 10 22 11 "" 0 | crlf >"$d/want.out"
  : >"$d/want.err"
  check_run "$d" 0 "$d/want.out" "$d/want.err" "worked example" || return
  if [ "$(cat "$d/new")" != "ab2345Z789!" ]; then
    fail "worked example" "new file is '$(cat "$d/new")'"
    return
  fi
  pass "worked example: ab2345Z789! and the exact trace"
}

# ---- the bundled sample patch ----
sample=$root/tests/data/sample
case_sample() {
  local d=$work/sample
  mkdir -p "$d"
  cp "$sample/old" "$sample/patch" "$d/"
  run_exe "$d" old patch new
  success_trace old patch new "$(size_of "$sample/old")" "$(size_of "$sample/patch")" \
    "$(size_of "$sample/new")" "" 0 | crlf >"$d/want.out"
  : >"$d/want.err"
  check_run "$d" 0 "$d/want.out" "$d/want.err" "bundled sample" || return
  if ! cmp -s "$d/new" "$sample/new"; then
    fail "bundled sample" "new file differs from tests/data/sample/new"
    return
  fi
  pass "bundled sample: new file byte for byte and the exact trace"
}

# ---- a larger pair, patched through each decompressor ----
pair=$work/pair
mkdir -p "$pair"
# Deterministic text of about 130 KB, more than the patch cache, so that every cache refills.
awk 'BEGIN { s = 12345; for (i = 0; i < 4000; i++) { s = (s * 1103515245 + 12345) % 2147483648;
  printf "line %05d value %d %s\n", i, s, (i % 7 == 0 ? "lorem ipsum dolor sit amet" : "x") } }' \
  >"$pair/old"
awk '{ if (NR % 50 == 0) print "changed " $0; else print; if (NR % 333 == 0) print "inserted " NR }' \
  "$pair/old" >"$pair/new"

make_patch() {
  local method=$1 patch=$2
  "$mkpatch" -q -c "$method" "$pair/old" "$pair/new" "$patch" >/dev/null 2>&1
}

# compress_type 0 to 4: the new file byte for byte and the driver's memory figures.
case_type() {
  local type=$1 method=$2 decompresser=$3
  local name="type $type ($method)"
  local d=$work/type$type
  mkdir -p "$d"
  cp "$pair/old" "$d/old"
  if ! make_patch "$method" "$d/patch"; then
    fail "$name" "mkpatch -c $method failed"
    return
  fi
  if [ "$(byte_at "$d/patch" 2)" != "$type" ]; then
    fail "$name" "mkpatch wrote compress_type $(byte_at "$d/patch" 2)"
    return
  fi
  local must prefix
  prefix=$(prefix_offset "$d/patch")
  case $type in
    0) must=0 ;;
    1) # the dictionary size, 4 bytes little-endian
      must=$(od -An -tu4 -j "$prefix" -N 4 "$d/patch" | tr -d ' ') ;;
    2) must=$(zlib_must "$d/patch") ;;
    3|4) # measured by the LZMA SDK's own allocation, the same code on both systems
      run_linux "$d"
      must=$(sed -n 's/^  requirements memory size: (must) \([0-9]*\) + .*/\1/p' "$d/linux.out") ;;
  esac
  run_exe "$d" old patch new
  success_trace old patch new "$(size_of "$d/old")" "$(size_of "$d/patch")" \
    "$(size_of "$pair/new")" "$decompresser" "$must" | crlf >"$d/want.out"
  : >"$d/want.err"
  check_run "$d" 0 "$d/want.out" "$d/want.err" "$name" || return
  if ! cmp -s "$d/new" "$pair/new"; then
    fail "$name" "new file differs"
    return
  fi
  pass "$name: new file byte for byte, memory (must) $must"
}

# The lines of a run that stopped after the header, up to the time line.
header_only_trace() {
  local old=$1 diff=$2 out=$3 oldSize=$4 diffSize=$5 newSize=$6
  printf 'old : "%s"\ndiff: "%s"\nout : "%s"\n' "$old" "$diff" "$out"
  printf 'oldDataSize : %s\ndiffDataSize: %s\nnewDataSize : %s\n\n' "$oldSize" "$diffSize" "$newSize"
}

# ---- a missing old file ----
case_missing_old() {
  local name="missing old file"
  local d=$work/missing
  mkdir -p "$d"
  cp "$sample/patch" "$d/patch"
  run_exe "$d" absent patch new
  printf 'old : "absent"\ndiff: "patch"\nout : "new"\n\n' | crlf >"$d/want.out"
  printf 'call import system api error! errno: 2, errmsg: No such file or directory.\n' |
    crlf >"$d/want.err"
  printf 'open oldFile for read ERROR!\n' | crlf >>"$d/want.err"
  check_run "$d" 3 "$d/want.out" "$d/want.err" "$name" || return
  if [ -e "$d/new" ]; then
    fail "$name" "a new file was created"
    return
  fi
  pass "$name: code 3, errno 2 line, no new file"
}

# ---- non-ASCII paths: old, patch and new in a folder with characters beyond any code page ----
case_unicode_path() {
  local name="UTF-8 path"
  local folder="Ünïcødé ✓"
  local d=$work/unicode
  mkdir -p "$d/$folder"
  cp "$sample/old" "$sample/patch" "$d/$folder/"
  run_exe "$d" "$folder/old" "$folder/patch" "$folder/new"
  # The trace prints the UTF-16 path with %ls, which the C runtime renders in its "C" locale:
  # characters up to U+00FF as their Latin-1 byte, and the string ends at the first one beyond
  # (here the check mark). The file operations themselves see the whole name.
  local shown
  shown=$(printf '\xdcn\xefc\xf8d\xe9 ')
  {
    printf 'old : "%s"\ndiff: "%s"\nout : "%s"\n' "$shown" "$shown" "$shown"
    printf 'oldDataSize : %s\ndiffDataSize: %s\nnewDataSize : %s\n' \
      "$(size_of "$sample/old")" "$(size_of "$sample/patch")" "$(size_of "$sample/new")"
    printf 'hpatchi run with decompresser: ""\n'
    printf '  requirements memory size: (must) 0 + (cache) 32768\n  patch ok!\n\n'
  } | crlf >"$d/want.out"
  : >"$d/want.err"
  check_run "$d" 0 "$d/want.out" "$d/want.err" "$name" || return
  if ! cmp -s "$d/$folder/new" "$sample/new"; then
    fail "$name" "\"$folder/new\" is missing or differs"
    return
  fi
  if [ "$(find "$d" -name new | wc -l)" != 1 ]; then
    fail "$name" "the new file went elsewhere too: $(find "$d" -name new)"
    return
  fi
  pass "$name: \"$folder/new\" byte for byte"
}

# ---- an old path of 2048 characters does not fit the 2048-character wide buffer with its
# terminator: errno 38 and the path printed unconverted; 2047 characters still convert ----
case_long_path() {
  local length=$1 want_errno=$2
  local name="old path of $length characters"
  local d=$work/long$length
  mkdir -p "$d"
  cp "$sample/patch" "$d/patch"
  local long
  long=$(printf 'a%.0s' $(seq "$length"))
  run_exe "$d" "$long" patch new
  printf 'old : "%s"\ndiff: "patch"\nout : "new"\n\n' "$long" | crlf >"$d/want.out"
  # Only the number is checked: the runtime's text for it varies between C runtimes.
  local first
  first=$(head -n 1 "$d/err")
  if ! [[ $first =~ ^call\ import\ system\ api\ error!\ errno:\ $want_errno,\ errmsg:\ .+\.$'\r'$ ]]; then
    fail "$name" "first stderr line: $first"
    return
  fi
  head -n 1 "$d/err" >"$d/want.err"
  printf 'open oldFile for read ERROR!\n' | crlf >>"$d/want.err"
  check_run "$d" 3 "$d/want.out" "$d/want.err" "$name" || return
  pass "$name: code 3 with errno $want_errno"
}

# ---- the new path names the old file under another spelling (Windows names ignore case) ----
case_out_is_old() {
  local name="new file is the old file"
  local d=$work/same
  mkdir -p "$d"
  cp "$sample/old" "$sample/patch" "$d/"
  run_exe "$d" old patch OLD
  header_only_trace old patch OLD "$(size_of "$sample/old")" "$(size_of "$sample/patch")" \
    "$(size_of "$sample/new")" | crlf >"$d/want.out"
  printf 'open out newFile for write ERROR!\n' | crlf >"$d/want.err"
  check_run "$d" 4 "$d/want.out" "$d/want.err" "$name" || return
  if ! cmp -s "$d/old" "$sample/old"; then
    fail "$name" "the old file was overwritten"
    return
  fi
  pass "$name: code 4, old file kept"
}

# ---- damaged patches: the Windows build fails as the Linux build does ----
case_truncated() {
  local method=$1
  local name="truncated $method patch"
  local d=$work/truncated-$method
  mkdir -p "$d"
  cp "$pair/old" "$d/old"
  if ! make_patch "$method" "$d/full"; then
    fail "$name" "mkpatch -c $method failed"
    return
  fi
  head -c $(($(size_of "$d/full") * 2 / 3)) "$d/full" >"$d/patch"
  run_exe "$d" old patch new
  run_linux "$d"
  local want_code
  want_code=$(cat "$d/linux.code")
  if [ "$want_code" = 0 ]; then
    fail "$name" "the Linux build accepted the damaged patch"
    return
  fi
  if ! tail -n 1 "$d/linux.out" | grep -Eq '^hpatchi time: [0-9]+\.[0-9]{3} s$'; then
    fail "$name" "the Linux trace has no time line"
    return
  fi
  local must_line='s/^\(  requirements memory size: (must) \)[0-9]*/\1'
  if [ "$method" = zlib ]; then
    head -n -1 "$d/linux.out" | sed "$must_line$(zlib_must "$d/patch")/" | crlf >"$d/want.out"
  else
    head -n -1 "$d/linux.out" | crlf >"$d/want.out"
  fi
  crlf <"$d/linux.err" >"$d/want.err"
  check_run "$d" "$want_code" "$d/want.out" "$d/want.err" "$name" || return
  pass "$name: code $want_code and the same lines as on Linux"
}

# ---- wrong arguments ----
case_usage() {
  local name="usage"
  local d=$work/usage
  mkdir -p "$d"
  run_exe "$d" only-one
  if [ "$(cat "$d/code")" != 1 ] || ! grep -q '^usage: hpatchi OLD PATCH NEW' "$d/err"; then
    fail "$name" "code $(cat "$d/code"), stderr: $(cat "$d/err")"
    return
  fi
  pass "$name: code 1 and the usage line"
}

echo "== hpatchi.exe under $("$wine" --version 2>/dev/null)"
case_worked_example
case_sample
case_type 0 none ""
case_type 1 tuz tuz
case_type 2 zlib zlib
case_type 3 lzma lzma
case_type 4 lzma2 lzma2
case_missing_old
case_unicode_path
case_long_path 2047 2
case_long_path 2048 38
case_out_is_old
case_truncated tuz
case_truncated zlib
case_truncated lzma
case_truncated lzma2
case_usage

# ---- the file streams' Windows branches, checked from inside ----
case_stream_checks() {
  local d=$work/streams
  mkdir -p "$d"
  (cd "$d" && "$wine" "$stream_check" >out 2>err; echo $? >code)
  local line count=0
  while IFS= read -r line; do
    line=${line%$'\r'}
    case $line in
      "ok   "*) pass "streams: ${line#ok   }"; count=$((count + 1)) ;;
      "FAIL "*) fail "streams: ${line#FAIL }"; count=$((count + 1)) ;;
    esac
  done <"$d/out"
  if [ "$count" -eq 0 ] || { [ "$(cat "$d/code")" != 0 ] && [ "$failed" -eq 0 ]; }; then
    fail "stream checks" "exit code $(cat "$d/code") after $count checks"
  fi
}
case_stream_checks

runner_exe=$mingw_build/app/runner/QuorlinRunner.exe
standin_exe=$mingw_build/tests/standin/quorlin_standin.exe
standin_gui_exe=$mingw_build/tests/standin/quorlin_standin_gui.exe
standin_copy=$host_build/tests/standin/standin_copy
# shellcheck source=tests/windows/runner_suite.sh
source "$root/tests/windows/runner_suite.sh"

[ "$rs_known" -gt 0 ] && echo "$rs_known known, not counted (see SKIP above)"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
