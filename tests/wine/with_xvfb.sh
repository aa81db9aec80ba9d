#!/usr/bin/env bash
# with_xvfb.sh COMMAND...: runs COMMAND with a display of its own, an Xvfb server named in
# QR_FOCUS_DISPLAY, and stops the server after it. Without Xvfb it exits with 77, which CTest
# reads as a skip.
set -u
command -v Xvfb >/dev/null || { echo "SKIP: Xvfb is not installed"; exit 77; }
display_file=$(mktemp)
Xvfb -displayfd 3 -nolisten tcp -screen 0 800x600x24 3>"$display_file" >/dev/null 2>&1 &
xvfb=$!
for ((i = 0; i < 100; i++)); do
  [ -s "$display_file" ] && break
  sleep 0.05
done
display=$(head -n 1 "$display_file")
rm -f "$display_file"
if [ -z "$display" ]; then
  kill "$xvfb" 2>/dev/null
  echo "Xvfb did not start" >&2
  exit 1
fi
QR_FOCUS_DISPLAY=":$display" "$@"
code=$?
kill "$xvfb" 2>/dev/null
wait "$xvfb" 2>/dev/null
exit "$code"
