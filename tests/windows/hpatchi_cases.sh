#!/usr/bin/env bash
# One end-to-end case of hpatchi.exe under Wine, named by the arguments (tests/windows/CMakeLists.txt
# registers each with CTest):
#   worked_example | sample | type TYPE METHOD | missing_old | unicode_path | long_path LENGTH ERRNO
#   | new_is_old | truncated METHOD | usage
# What hpatchi.exe must print is what the Linux hpatchi prints for the same files and command line,
# whose trace the Linux suites pin, changed only where Windows differs: CR LF line ends, the zlib
# inflater's state, the C runtime's rendering of paths, and path rules of its own. The patches
# come from the Linux mkpatch. From CTest: QR_HPATCHI_EXE, QR_LINUX_HPATCHI, QR_MKPATCH,
# QR_SAMPLE_DIR, and those of case_support.sh.
source "$(dirname "$0")/case_support.sh"
exe=$QR_HPATCHI_EXE
linux_hpatchi=$QR_LINUX_HPATCHI
mkpatch=$QR_MKPATCH
sample=$QR_SAMPLE_DIR
rm -rf "$work"
mkdir -p "$work"

# Runs the Linux hpatchi, then hpatchi.exe, in folder $1 with the remaining arguments. The Linux
# build runs first, on a copy of the folder, $1.linux; each leaves out, err and code.
run_both() {
  local dir=$1
  shift
  rm -rf "$dir.linux"
  cp -a "$dir" "$dir.linux"
  (cd "$dir.linux" && "$linux_hpatchi" "$@" >out 2>err; echo $? >code)
  (cd "$dir" && "$wine" "$exe" "$@" >out 2>err; echo $? >code)
}

# The trace without its time line, which must be the last line and end in three decimals; $2 is
# the line end ("\r" for the Windows build).
trace_checked() {
  local file=$1 cr=${2:-}
  tail -n 1 "$file" | grep -Eq "^hpatchi time: [0-9]+\\.[0-9]{3} s$cr\$" || return 1
  head -n -1 "$file"
}

# What the Windows run in $1 must print, from the Linux run: want.out and want.err in CR LF,
# want.code. The sed script $2, when given, is applied to the trace first.
expect_linux() {
  local dir=$1 edit=${2:-}
  if ! trace_checked "$dir.linux/out" >"$dir.linux/trace"; then
    echo "the Linux trace has no time line: $(tail -n 1 "$dir.linux/out")"
    return 1
  fi
  LC_ALL=C sed "$edit" "$dir.linux/trace" | crlf >"$dir/want.out"
  crlf <"$dir.linux/err" >"$dir/want.err"
  cp "$dir.linux/code" "$dir/want.code"
}

# Checks the Windows run in $1 against want.code, want.out (its stdout without the time line)
# and want.err; case $2.
check_run() {
  local dir=$1 name=$2
  local got_code want_code
  got_code=$(cat "$dir/code")
  want_code=$(cat "$dir/want.code")
  if [ "$got_code" != "$want_code" ]; then
    fail "$name" "code $got_code, expected $want_code; stderr: $(tr -d '\r' <"$dir/err")"
    return 1
  fi
  if ! trace_checked "$dir/out" $'\r' >"$dir/out.trace"; then
    fail "$name" "no time line at the end of stdout: $(tail -n 1 "$dir/out" | od -c | head -n 2)"
    return 1
  fi
  if ! cmp -s "$dir/out.trace" "$dir/want.out"; then
    fail "$name" "stdout differs: $(diff <(od -c "$dir/want.out") <(od -c "$dir/out.trace") | head -n 8)"
    return 1
  fi
  if ! cmp -s "$dir/err" "$dir/want.err"; then
    fail "$name" "stderr differs: $(diff <(od -c "$dir/want.err") <(od -c "$dir/err") | head -n 8)"
    return 1
  fi
  return 0
}

# The driver's memory figure in trace file $1.
must_of() { sed -n 's/^  requirements memory size: (must) \([0-9]*\) + .*/\1/p' "$1"; }
# A sed script that sets the memory figure to $1.
set_must() { printf 's/^\\(  requirements memory size: (must) \\)[0-9]*/\\1%s/' "$1"; }

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
  local name="worked example" d=$work/worked
  mkdir -p "$d"
  printf '0123456789' >"$d/old"
  printf '\x68\x49\x00\x41\x0b\x03\x04\x82\x02\x61\x62\x03\x00\x01\x5a\x01\x01\x01\x00\x00\x01\x21' \
    >"$d/patch"
  run_both "$d" old patch new
  expect_linux "$d" || { fail "$name" "no Linux trace"; return; }
  check_run "$d" "$name" || return
  if [ "$(cat "$d/code")" != 0 ] || [ "$(cat "$d/new")" != "ab2345Z789!" ]; then
    fail "$name" "code $(cat "$d/code"), new file '$(cat "$d/new")'"
    return
  fi
  pass "$name: ab2345Z789! and the exact trace"
}

# ---- the bundled sample patch ----
case_sample() {
  local name="bundled sample" d=$work/sample
  mkdir -p "$d"
  cp "$sample/old" "$sample/patch" "$d/"
  run_both "$d" old patch new
  expect_linux "$d" || { fail "$name" "no Linux trace"; return; }
  check_run "$d" "$name" || return
  if [ "$(cat "$d/code")" != 0 ] || ! cmp -s "$d/new" "$sample/new"; then
    fail "$name" "code $(cat "$d/code"), or the new file differs from tests/data/sample/new"
    return
  fi
  pass "$name: new file byte for byte and the exact trace"
}

# Deterministic text of about 130 KB in $1/old, more than the patch cache so that every cache
# refills, and its changed version in $1/new.
make_pair() {
  awk 'BEGIN { s = 12345; for (i = 0; i < 4000; i++) { s = (s * 1103515245 + 12345) % 2147483648;
    printf "line %05d value %d %s\n", i, s, (i % 7 == 0 ? "lorem ipsum dolor sit amet" : "x") } }' \
    >"$1/old"
  awk '{ if (NR % 50 == 0) print "changed " $0; else print; if (NR % 333 == 0) print "inserted " NR }' \
    "$1/old" >"$1/new"
}

# ---- compress_type 0 to 4: the new file byte for byte and the driver's memory figures ----
case_type() {
  local type=$1 method=$2
  local name="type $type ($method)" d=$work/type$type pair=$work/pair
  mkdir -p "$d" "$pair"
  make_pair "$pair"
  cp "$pair/old" "$d/old"
  if ! "$mkpatch" -q -c "$method" "$pair/old" "$pair/new" "$d/patch" >/dev/null 2>&1; then
    fail "$name" "mkpatch -c $method failed"
    return
  fi
  if [ "$(byte_at "$d/patch" 2)" != "$type" ]; then
    fail "$name" "mkpatch wrote compress_type $(byte_at "$d/patch" 2)"
    return
  fi
  run_both "$d" old patch new
  # Types 0 to 2 have figures of their own on Windows; LZMA and LZMA2 are measured by the LZMA
  # SDK's own allocation, the same code on both systems.
  local must edit=
  case $type in
    0) must=0 ;;
    1) must=$(od -An -tu4 -j "$(prefix_offset "$d/patch")" -N 4 "$d/patch" | tr -d ' ') ;;  # the dictionary
    2) must=$(zlib_must "$d/patch") ;;
    *) must=$(must_of "$d.linux/out") ;;
  esac
  [ "$type" = 2 ] && edit=$(set_must "$must")
  expect_linux "$d" "$edit" || { fail "$name" "no Linux trace"; return; }
  if [ "$(must_of "$d/want.out" | tr -d '\r')" != "$must" ]; then
    fail "$name" "the Linux build's memory figure is $(must_of "$d/want.out"), expected $must"
    return
  fi
  check_run "$d" "$name" || return
  if [ "$(cat "$d/code")" != 0 ] || ! cmp -s "$d/new" "$pair/new"; then
    fail "$name" "code $(cat "$d/code"), or the new file differs"
    return
  fi
  pass "$name: new file byte for byte, memory (must) $must"
}

# ---- a missing old file ----
case_missing_old() {
  local name="missing old file" d=$work/missing
  mkdir -p "$d"
  cp "$sample/patch" "$d/patch"
  run_both "$d" absent patch new
  expect_linux "$d" || { fail "$name" "no Linux trace"; return; }
  check_run "$d" "$name" || return
  if [ "$(cat "$d/code")" != 3 ] || [ -e "$d/new" ] ||
    ! grep -q '^call import system api error! errno: 2, errmsg: No such file or directory\.'$'\r''$' "$d/err"; then
    fail "$name" "code $(cat "$d/code"), a new file made, or no errno 2 line"
    return
  fi
  pass "$name: code 3, errno 2 line, no new file"
}

# ---- non-ASCII paths: old, patch and new in a folder with characters beyond any code page ----
case_unicode_path() {
  local name="UTF-8 path" folder="Ünïcødé ✓" d=$work/unicode
  mkdir -p "$d/$folder"
  cp "$sample/old" "$sample/patch" "$d/$folder/"
  run_both "$d" "$folder/old" "$folder/patch" "$folder/new"
  # The trace prints the UTF-16 path with %ls, which the C runtime renders in its "C" locale:
  # characters up to U+00FF as their Latin-1 byte, and the string ends at the first one beyond
  # (here the check mark). The file operations themselves see the whole name.
  local shown
  shown=$(printf '\xdcn\xefc\xf8d\xe9 ')
  expect_linux "$d" "1,3s/\"$folder\\/[a-z]*\"/\"$shown\"/" || { fail "$name" "no Linux trace"; return; }
  if [ "$(LC_ALL=C grep -c "\"$shown\"" "$d/want.out")" != 3 ]; then
    fail "$name" "the Linux trace does not name the three paths: $(head -n 3 "$d.linux/out")"
    return
  fi
  check_run "$d" "$name" || return
  if [ "$(cat "$d/code")" != 0 ] || ! cmp -s "$d/$folder/new" "$sample/new"; then
    fail "$name" "code $(cat "$d/code"), or \"$folder/new\" is missing or differs"
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
  local name="old path of $length characters" d=$work/long$length
  mkdir -p "$d"
  cp "$sample/patch" "$d/patch"
  local long
  long=$(printf 'a%.0s' $(seq "$length"))
  run_both "$d" "$long" patch new
  expect_linux "$d" || { fail "$name" "no Linux trace"; return; }
  # Linux refuses a name that long with its own errno; only the number is checked, the runtime's
  # text for it varies between C runtimes.
  local first
  first=$(head -n 1 "$d/err")
  if ! [[ $first =~ ^call\ import\ system\ api\ error!\ errno:\ $want_errno,\ errmsg:\ .+\.$'\r'$ ]]; then
    fail "$name" "first stderr line: $first"
    return
  fi
  { printf '%s\n' "$first"; tail -n +2 "$d/want.err"; } >"$d/want.err.windows"
  mv "$d/want.err.windows" "$d/want.err"
  check_run "$d" "$name" || return
  if [ "$(cat "$d/code")" != 3 ] || [ "$(tail -n +2 "$d/err")" != $'open oldFile for read ERROR!\r' ]; then
    fail "$name" "code $(cat "$d/code"), stderr $(tr -d '\r' <"$d/err")"
    return
  fi
  pass "$name: code 3 with errno $want_errno"
}

# ---- the new path names the old file under another spelling (Windows names ignore case); the
# Linux build is given the same spelling ----
case_new_is_old() {
  local name="new file is the old file" d=$work/same
  mkdir -p "$d"
  cp "$sample/old" "$sample/patch" "$d/"
  rm -rf "$d.linux"
  cp -a "$d" "$d.linux"
  (cd "$d.linux" && "$linux_hpatchi" old patch old >out 2>err; echo $? >code)
  (cd "$d" && "$wine" "$exe" old patch OLD >out 2>err; echo $? >code)
  expect_linux "$d" '3s/^out : "old"$/out : "OLD"/' || { fail "$name" "no Linux trace"; return; }
  check_run "$d" "$name" || return
  if [ "$(cat "$d/code")" != 4 ] || ! cmp -s "$d/old" "$sample/old"; then
    fail "$name" "code $(cat "$d/code"), or the old file was overwritten"
    return
  fi
  pass "$name: code 4, old file kept"
}

# ---- damaged patches: the Windows build fails as the Linux build does ----
case_truncated() {
  local method=$1
  local name="truncated $method patch" d=$work/truncated-$method pair=$work/pair
  mkdir -p "$d" "$pair"
  make_pair "$pair"
  cp "$pair/old" "$d/old"
  if ! "$mkpatch" -q -c "$method" "$pair/old" "$pair/new" "$d/full" >/dev/null 2>&1; then
    fail "$name" "mkpatch -c $method failed"
    return
  fi
  head -c $(($(size_of "$d/full") * 2 / 3)) "$d/full" >"$d/patch"
  run_both "$d" old patch new
  local edit=
  [ "$method" = zlib ] && edit=$(set_must "$(zlib_must "$d/patch")")
  expect_linux "$d" "$edit" || { fail "$name" "no Linux trace"; return; }
  if [ "$(cat "$d/want.code")" = 0 ]; then
    fail "$name" "the Linux build accepted the damaged patch"
    return
  fi
  check_run "$d" "$name" || return
  pass "$name: code $(cat "$d/code") and the same lines as on Linux"
}

# ---- wrong arguments ----
case_usage() {
  local name="usage" d=$work/usage
  mkdir -p "$d"
  (cd "$d" && "$wine" "$exe" only-one >out 2>err; echo $? >code)
  if [ "$(cat "$d/code")" != 1 ] || ! grep -q '^usage: hpatchi OLD PATCH NEW' "$d/err"; then
    fail "$name" "code $(cat "$d/code"), stderr: $(cat "$d/err")"
    return
  fi
  pass "$name: code 1 and the usage line"
}

what=${1:-}
shift
case $what in
  worked_example | sample | type | missing_old | unicode_path | long_path | new_is_old | truncated | usage)
    "case_$what" "$@" ;;
  *)
    echo "usage: hpatchi_cases.sh CASE [ARGUMENTS] (see the head of this file)" >&2
    exit 2 ;;
esac
finish
