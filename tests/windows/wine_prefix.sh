#!/usr/bin/env bash
# The Wine prefix of the Windows suites, a CTest fixture: "start" makes it afresh, "stop" ends its
# wineserver and removes it (some 700 MB). WINEPREFIX, QR_WINE and QR_WINESERVER come from CTest.
set -u
case ${1:-} in
  start)
    "$QR_WINESERVER" -k >/dev/null 2>&1
    rm -rf "$WINEPREFIX"
    "$QR_WINE" wineboot --init >/dev/null 2>&1
    "$QR_WINESERVER" -w >/dev/null 2>&1
    [ -d "$WINEPREFIX/drive_c/users" ] || { echo "wineboot made no prefix in $WINEPREFIX" >&2; exit 1; }
    echo "Wine prefix $WINEPREFIX under $("$QR_WINE" --version 2>/dev/null)"
    ;;
  stop)
    "$QR_WINESERVER" -k >/dev/null 2>&1
    "$QR_WINESERVER" -w >/dev/null 2>&1
    rm -rf "$WINEPREFIX"
    ;;
  *)
    echo "usage: wine_prefix.sh start|stop" >&2
    exit 2
    ;;
esac
