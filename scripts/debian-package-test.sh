#!/usr/bin/env bash
# Builds the Debian package and tries it as a user would:
#   - an optimized build and `cpack -G DEB`; the package's files and dependencies;
#   - `cmake --install` into a temporary folder;
#   - the package unpacked into a temporary root (dpkg -x): the installed xrupdate
#     --version and --info on a sample, a --batch update into the installed xrsim,
#     the manual pages;
#   - as the user "nobody", with the program's folder read-only: a change made in
#     the configuration form (a device typed for COM1, Skip Version Check) lands in
#     ~/.config/xrupdate/xrupdate.ini and is there after a restart, whose update
#     goes through that device;
#   - when the machine has no xrupdate installed: a real dpkg -i and dpkg -r.
#
#   scripts/debian-package-test.sh [BUILD]     (BUILD defaults to build/deb)
set -u
cd "$(dirname "$0")/.."
root=$(pwd)
build=${1:-$root/build/deb}
jobs=${XR_JOBS:-2}
mkdir -p "$build"

passed=0
failed=0
ok() { passed=$((passed + 1)); echo "  ok    $1"; }
bad() { failed=$((failed + 1)); echo "  FAIL  $1"; }
check() {  # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then ok "$what"; else bad "$what"; fi
}

work=$(mktemp -d /tmp/xr-deb.XXXXXX)
chmod 755 "$work"
tmux_server=xr-deb-$$
T() { tmux -L "$tmux_server" "$@"; }
sim_pid=
installed=0
cleanup() {
  T kill-server 2>/dev/null
  [ "$installed" -eq 1 ] && dpkg -r xrupdate >/dev/null 2>&1
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# ---------------------------------------------------------------- the package

echo "building the package in $build ..."
cmake -S "$root" --preset package -B "$build" >"$build.configure.log" 2>&1 ||
  { cat "$build.configure.log"; exit 1; }
cmake --build "$build" -j "$jobs" >"$build.build.log" 2>&1 || { tail -30 "$build.build.log"; exit 1; }
rm -f "$build"/xrupdate_*.deb
(cd "$build" && cpack -G DEB >"$build.cpack.log" 2>&1) || { tail -30 "$build.cpack.log"; exit 1; }
deb=$(ls "$build"/xrupdate_*.deb 2>/dev/null | head -n1)
[ -n "$deb" ] || { echo "no package made"; exit 1; }
echo "package: $deb"

depends=$(dpkg-deb -f "$deb" Depends)
check "the package depends on libasound2" grep -q "libasound2" <<<"$depends"
check "the package depends on libncursesw6" grep -q "libncursesw6" <<<"$depends"
check "it is called xrupdate, version 1.3" test "$(dpkg-deb -f "$deb" Package Version | tr '\n' ' ')" = "Package: xrupdate Version: 1.3 "
expected_files="./usr/bin/xrsim
./usr/bin/xrupdate
./usr/share/bash-completion/completions/xrupdate
./usr/share/doc/xrupdate/README.md
./usr/share/doc/xrupdate/copyright
./usr/share/man/man1/xrsim.1.gz
./usr/share/man/man1/xrupdate.1.gz"
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
check "no files but its own" test "$files" = "$expected_files"
folders=$(dpkg-deb -c "$deb" | awk '$1 ~ /^d/ {print $6}' | grep -vxE '\./usr/((bin|share|share/man|share/man/man1|share/doc|share/doc/xrupdate|share/bash-completion|share/bash-completion/completions)/)?')
check "no folders but the system's and its own" test -z "$folders"

destdir=$work/destdir
DESTDIR=$destdir cmake --install "$build" --prefix /usr/local >"$work/install.log" 2>&1
check "cmake --install --prefix /usr/local" test -x "$destdir/usr/local/bin/xrupdate" -a -x "$destdir/usr/local/bin/xrsim" \
  -a -f "$destdir/usr/local/share/man/man1/xrupdate.1.gz" -a -f "$destdir/usr/local/share/doc/xrupdate/README.md"

# ---------------------------------------------------------------- unpacked into a temporary root

inst=$work/root
dpkg -x "$deb" "$inst"
xrupdate=$inst/usr/bin/xrupdate
xrsim=$inst/usr/bin/xrsim
check "the installed xrupdate --version" test "$("$xrupdate" --version)" = "XR3300/R SystemUpdate Utility v1.3"
check "the installed xrsim --version" test "$("$xrsim" --version)" = "xrsim v1.3"
completion=$(bash -c 'source "$1"; COMP_WORDS=(xrupdate --dry); COMP_CWORD=1; _xrupdate; echo "${COMPREPLY[*]}";
  COMP_WORDS=(xrupdate --port C); COMP_CWORD=2; _xrupdate; echo "${COMPREPLY[*]}"' _ \
  "$inst/usr/share/bash-completion/completions/xrupdate")
check "the bash completion completes options and ports" test "$completion" = $'--dry-run\nCOM1 COM2 COM3 COM4'

sample=$work/sample.sys
python3 - "$sample" <<'EOF'
import os, sys
data = bytearray(os.urandom(262144))
data[0:8] = b"PELD" + bytes([2, 0, 0x58, 0])
open(sys.argv[1], "wb").write(data)
EOF
info=$("$xrupdate" --info "$sample")
check "--info on a sample" test $? -eq 0
check "--info names its type and version" grep -q "SYSTEM" <<<"$info"

start_sim() {  # the installed simulated instrument; sets $pty
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -f "$work/image.bin" "$work/sim.path"
  "$xrsim" --image "$work/image.bin" >"$work/sim.path" 2>"$work/sim.err" &
  sim_pid=$!
  pty=
  for _ in $(seq 100); do
    pty=$(head -n1 "$work/sim.path" 2>/dev/null)
    [ -n "$pty" ] && return 0
    sleep 0.05
  done
  echo "xrsim did not start: $(cat "$work/sim.err")" >&2
  return 1
}

start_sim
mkdir -m 755 "$work/batch"
printf '[XR3300/R SystemUpdate Utility]\r\nWarning=0\r\nDeviceType=0\r\nComPortNum=1\r\nCom1Device=%s\r\n' "$pty" \
  >"$work/batch/x.ini"
(cd "$work/batch" && XDG_RUNTIME_DIR=$work/batch "$xrupdate" --batch --ini x.ini "$sample" >"$work/batch.out" 2>&1)
check "a --batch update into the installed xrsim exits 0" test $? -eq 0
check "and the instrument got the sample byte for byte" cmp -s "$sample" "$work/image.bin"
check "the support log is written in the start folder" grep -q "Update completed successfully." "$work/batch/vup_log.txt"

man_page=$(MANWIDTH=80 man -l "$inst/usr/share/man/man1/xrupdate.1.gz" 2>&1)
check "the manual page formats" grep -q "Com1Device" <<<"$man_page"
check "xrsim's manual page formats" bash -c "MANWIDTH=80 man -l '$inst/usr/share/man/man1/xrsim.1.gz' 2>&1 | grep -q -- '--line-speed'"

# ---------------------------------------------------------------- as a user, program folder read-only

user=65534
home=$work/home
run=$work/run
start=$work/start
mkdir -m 755 "$home" "$start"
mkdir -m 700 "$run"
chown "$user:$user" "$home" "$start" "$run"
# A settings file beside the program that its user cannot write is no portable copy.
printf '[XR3300/R SystemUpdate Utility]\r\nSkipVersionCheck=0\r\n' >"$inst/usr/bin/xrupdate.ini"
chmod 444 "$inst/usr/bin/xrupdate.ini"
beside_before=$(cat "$inst/usr/bin/xrupdate.ini")
chmod a-w "$inst/usr/bin"
start_sim
chmod 666 "$pty"  # the user's own device, as a USB adapter of the group dialout would be
cp "$sample" "$start/sample.sys"
chown "$user:$user" "$start/sample.sys"

screen() { T capture-pane -p -t app 2>/dev/null; }
wait_for() {  # wait_for TEXT [SECONDS]
  local deadline=$((SECONDS + ${2:-10}))
  while [ $SECONDS -lt $deadline ]; do
    screen | grep -qF -- "$1" && return 0
    sleep 0.05
  done
  return 1
}
wait_gone() {
  local deadline=$((SECONDS + ${2:-10}))
  while [ $SECONDS -lt $deadline ]; do
    screen | grep -qF -- "$1" || return 0
    sleep 0.05
  done
  return 1
}
keys() { T send-keys -t app "$@"; }
text() { T send-keys -t app -l "$1"; }
start_app() {  # start_app [ARGS...]: the installed program as the user, in a new tmux session
  T kill-server 2>/dev/null
  sleep 0.2
  local launcher=$work/app.sh
  {
    printf 'cd %q && setpriv --reuid=%s --regid=%s --clear-groups env -i HOME=%q XDG_RUNTIME_DIR=%q PATH=/usr/bin:/bin TERM="$TERM" LC_ALL=C.UTF-8 %q' \
      "$start" "$user" "$user" "$home" "$run" "$xrupdate"
    for a in "$@"; do printf ' %q' "$a"; done
    echo
    echo 'echo "[exit $?]"'
    echo 'sleep 600'
  } >"$launcher"
  chmod 755 "$launcher"
  T -u new-session -d -s app -x 80 -y 24 "LC_ALL=C.UTF-8 bash $launcher"
  wait_for "XR3300/R SystemUpdate Utility v1.3" 5
}
settings=$home/.config/xrupdate/xrupdate.ini

start_app
check "the installed front end starts as the user" wait_for "Config..." 5
# The built-in COM1 does not open for this user: start-up names it and why.
check "the serial port that does not open is named" wait_for "The serial port COM1 (/dev/ttyS0)" 5
keys Enter
wait_gone "The serial port COM1" 3
keys c
check "the configuration form" wait_for "Device Select" 3
# From OK: "Skip Version Check", "38.4kBps", then the device field of COM1.
keys Up Up Up C-u
text "$pty"
keys Enter
check "a device typed for COM1 opens" wait_for "COM1: $pty opens." 3
keys Down Space
check "Skip Version Check ticks" wait_for "[X] Skip Version Check" 2
keys Enter
check "OK closes the form" wait_gone "Device Select" 3
keys e
check "the program ends with 0" wait_for "[exit 0]" 10
check "the settings are saved in ~/.config/xrupdate" test -f "$settings"
check "with the device" grep -qx "Com1Device=$pty"$'\r' "$settings"
check "and the check box" grep -qx "SkipVersionCheck=1"$'\r' "$settings"
check "the folder belongs to the user alone" test "$(stat -c '%a %u' "$home/.config/xrupdate")" = "700 $user"
check "the read-only file beside the program is left as it was" test "$(cat "$inst/usr/bin/xrupdate.ini")" = "$beside_before"

start_app sample.sys
check "after a restart the update goes through the saved device" wait_for "Update Complete!" 30
check "byte for byte" cmp -s "$sample" "$work/image.bin"
keys c
wait_for "Device Select" 3
check "the form shows the saved device" wait_for "COM1 $pty" 2
check "and the saved check box" wait_for "[X] Skip Version Check" 2
keys Escape
wait_gone "Device Select" 3
keys e
check "and ends with 0" wait_for "[exit 0]" 10
chmod u+w "$inst/usr/bin"

# ---------------------------------------------------------------- installed for real

if dpkg-query -W xrupdate >/dev/null 2>&1 || [ -e /usr/bin/xrupdate ] || [ -e /usr/bin/xrsim ] || [ "$(id -u)" -ne 0 ]; then
  echo "  skip  dpkg -i and dpkg -r (xrupdate is installed already, or not root)"
else
  installed=1  # removed again at the end, also when a check fails
  dpkg -i "$deb" >"$work/dpkg-i.log" 2>&1
  check "dpkg -i installs the package" test $? -eq 0
  check "the installed program runs from PATH" test "$(xrupdate --version 2>&1)" = "XR3300/R SystemUpdate Utility v1.3"
  check "man finds its page" bash -c "man -w xrupdate | grep -q /usr/share/man/man1/xrupdate.1.gz"
  check "dpkg lists its files" bash -c "dpkg -L xrupdate | grep -qx /usr/bin/xrsim"
  dpkg -r xrupdate >"$work/dpkg-r.log" 2>&1
  check "dpkg -r removes it" test $? -eq 0 -a ! -e /usr/bin/xrupdate -a ! -e /usr/share/man/man1/xrupdate.1.gz
  installed=0
fi

echo
echo "Debian package: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
