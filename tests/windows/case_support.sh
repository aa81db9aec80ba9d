# Shared by the end-to-end cases under Wine (sourced): counting checks and the case's folder.
# From CTest's environment (tests/windows/CMakeLists.txt): QR_WINE, QR_WINESERVER and QR_WORK,
# the folder of the case.
set -uo pipefail
wine=$QR_WINE
wineserver=$QR_WINESERVER
work=$QR_WORK

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

# Ends the script with its counts; it fails when a check failed or none ran.
finish() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
  exit
}

# Windows' stdio writes text-mode streams: every "\n" arrives as "\r\n".
crlf() { sed 's/$/\r/'; }

size_of() { wc -c <"$1" | tr -d ' '; }

# Unsigned byte at offset $2 of file $1.
byte_at() { od -An -tu1 -j "$2" -N 1 "$1" | tr -d ' '; }

# Windows path of a Unix path: Wine maps drive Z: to the root folder.
winpath() { local path=$1; printf 'Z:%s' "${path//\//\\}"; }
