#!/usr/bin/env bash
# Runs the Windows build's serial link tests (WinSerial*) under Wine, with COM1
# mapped to a pseudo-terminal served by the native simulated instrument.
#
#   usage: wine-serial-tests.sh XRSIM XR_TESTS_EXE [extra test arguments...]
#
# WINEPREFIX must be set (created when missing). COM1 is mapped through the
# prefix's registry (HKLM\Software\Wine\Ports, value COM1) and its dosdevices
# link, and both are removed again at the end. Exit status: that of the tests
# (1 when the simulated instrument did not start).
set -u
if [ $# -lt 2 ]; then
  echo "usage: $0 XRSIM XR_TESTS_EXE [extra test arguments...]" >&2
  exit 2
fi
xrsim=$1
exe=$2
shift 2
source "$(dirname "$0")/wine-loader.sh"
: "${WINEPREFIX:?set WINEPREFIX}"
export WINEPREFIX
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml="}

if [ ! -d "$WINEPREFIX" ]; then wineboot -i >/dev/null 2>&1 || true; fi

work=$(mktemp -d)
sim_pid=
# The prefix's COM links as they were, to put back at the end (the mount
# manager moves an auto-detected port to COM2 while COM1 is taken).
declare -A saved_links
for n in 1 2 3 4; do
  link="$WINEPREFIX/dosdevices/com$n"
  if [ -L "$link" ]; then saved_links[$n]=$(readlink "$link"); fi
done
cleanup() {
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
    kill -TERM "$sim_pid" 2>/dev/null
    wait "$sim_pid" 2>/dev/null
  fi
  wine reg delete 'HKLM\Software\Wine\Ports' /v COM1 /f >/dev/null 2>&1
  wineserver -w 2>/dev/null
  for n in 1 2 3 4; do
    rm -f "$WINEPREFIX/dosdevices/com$n"
    if [ -n "${saved_links[$n]:-}" ]; then ln -s "${saved_links[$n]}" "$WINEPREFIX/dosdevices/com$n"; fi
  done
  rm -rf "$work"
}
trap cleanup EXIT

"$xrsim" >"$work/out" 2>"$work/err" &
sim_pid=$!
pty=
for _ in $(seq 100); do
  pty=$(head -n 1 "$work/out" 2>/dev/null)
  [ -n "$pty" ] && break
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.05
done
if [ -z "$pty" ]; then
  echo "wine-serial-tests: the simulated instrument did not start" >&2
  cat "$work/err" >&2
  exit 1
fi
echo "wine-serial-tests: COM1 is $pty; running $exe"

# Wine's mount manager makes the dosdevices links from the registry when the
# wine server starts, so the server must start afresh after the change.
wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /t REG_SZ /d "$pty" /f >/dev/null 2>&1
wineserver -w 2>/dev/null
mkdir -p "$WINEPREFIX/dosdevices"
ln -sfn "$pty" "$WINEPREFIX/dosdevices/com1"

# A wine server of our own, so that its diagnostics go to a file: Wine 8 dumps
# its whole object table on stderr when a serial line hangs up under a read.
wineserver -p3 2>"$work/wineserver.log"
XR_WINE_COM1=1 wine "$exe" --gtest_filter='WinSerial*' "$@"
status=$?
if [ -s "$work/wineserver.log" ]; then
  echo "wine-serial-tests: the wine server wrote $(wc -l <"$work/wineserver.log") lines of diagnostics (not shown)"
fi
kill -TERM "$sim_pid" 2>/dev/null
wait "$sim_pid" 2>/dev/null
sim_pid=
echo "wine-serial-tests: $(tail -n 1 "$work/err")"
exit $status
