#!/usr/bin/env bash
# Drives the terminal front end in tmux, against the simulated instrument on a
# pseudo-terminal: keys go in with send-keys, the screen comes back with
# capture-pane. Writes the screens it saw at the moments that matter to
# BUILD/term-ui/SCENARIO.txt, and all of them to BUILD/term-ui/recording.txt.
#
#   scripts/term-ui-test.sh [BUILD [SCENARIO...]]
#       BUILD defaults to build/native (xrupdate and xrsim built there);
#       without scenarios all run; the names are listed at the end of this file.
set -u
cd "$(dirname "$0")/.."
build=$(cd "${1:-build/native}" && pwd)
shift
xrupdate=$build/xrupdate
xrsim=$build/xrsim
for tool in "$xrupdate" "$xrsim"; do
  [ -x "$tool" ] || { echo "missing $tool: build first" >&2; exit 2; }
done
command -v tmux >/dev/null || { echo "tmux is needed" >&2; exit 2; }
command -v python3 >/dev/null || { echo "python3 is needed" >&2; exit 2; }

artifacts=$build/term-ui
mkdir -p "$artifacts"
work=$(mktemp -d /tmp/xr-term-ui.XXXXXX)
export XDG_RUNTIME_DIR=$work/run
mkdir -m 700 "$XDG_RUNTIME_DIR"
socket=$XDG_RUNTIME_DIR/XR3300_R_SystemUpdate_Utility.sock
tmux_server=xr-term-ui-$$
T() { tmux -L "$tmux_server" "$@"; }
sim_pid=

cleanup() {
  T kill-server 2>/dev/null
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

passed=0
failed=0
current=""
ok() { passed=$((passed + 1)); echo "  ok    $current: $1"; }
bad() {
  failed=$((failed + 1))
  echo "  FAIL  $current: $1"
  screen | sed 's/^/        | /'
}
check() {  # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then ok "$what"; else bad "$what"; fi
}

# ---------------------------------------------------------------- fixtures

# An update file: the maker tag, the version, the product id 0x58, the attribute code, then data.
make_update() {  # make_update PATH ATTR MAJOR MINOR SIZE
  python3 - "$@" <<'EOF'
import os, sys
path, attr, major, minor, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
data = bytearray(os.urandom(size))
data[0:8] = b"PELD" + bytes([major, minor, 0x58, attr])
open(path, "wb").write(data)
EOF
}

start_sim() {  # start_sim [XRSIM OPTIONS...]: the instrument; sets $pty
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -f "$work/image.bin" "$work/sim.path"
  "$xrsim" --image "$work/image.bin" "$@" >"$work/sim.path" 2>"$work/sim.err" &
  sim_pid=$!
  for _ in $(seq 100); do
    pty=$(head -n1 "$work/sim.path" 2>/dev/null)
    [ -n "$pty" ] && return 0
    sleep 0.05
  done
  echo "xrsim did not start: $(cat "$work/sim.err")" >&2
  return 1
}

write_ini() {  # write_ini [EXTRA KEY=VALUE...]
  {
    echo "[XR3300/R SystemUpdate Utility]"
    echo "Warning=0"
    echo "DeviceType=0"
    echo "ComPortNum=1"
    echo "SkipVersionCheck=0"
    echo "Com1Device=$pty"
    echo "Com2Device=$work/no-such-com2"
    echo "Com3Device=$work/no-such-com3"
    echo "Com4Device=$work/no-such-com4"
    echo "CurrentPath=$work"
    for kv in "$@"; do echo "$kv"; done
  } >"$work/xr.ini"
}

# The front end in a fresh 80x24 tmux session named SESSION, started by the
# shell text COMMAND followed by ARGS; when it ends the pane shows "[exit N]"
# and the terminal modes.
launch_app() {  # launch_app SESSION COMMAND [ARGS...]
  local session=$1 command=$2; shift 2
  local launcher=$work/app-$session.sh
  {
    printf '%s' "$command"
    for a in "$@"; do printf ' %q' "$a"; done
    echo
    echo 'echo "[exit $?]"'
    echo "stty -a | tr ' ;' '\\n\\n' | grep -x -- '-\\?icanon\\|-\\?echo' | tr '\\n' ' '; echo"
    echo 'sleep 600'
  } >"$launcher"
  # A UTF-8 terminal whatever the caller's locale, so the screens read the same everywhere.
  T -u new-session -d -s "$session" -x 80 -y 24 "LC_ALL=C.UTF-8 bash $launcher"
  app_session=$session
  wait_for "XR3300/R SystemUpdate Utility v1.3" 5
}

start_app() {  # start_app SESSION [ARGS...]: with the test's settings file
  local session=$1; shift
  launch_app "$session" "$(printf 'cd %q && %q --ini %q' "$work" "$xrupdate" "$work/xr.ini")" "$@"
}

screen() { T capture-pane -p -t "$app_session" 2>/dev/null; }
screen_attrs() { T capture-pane -p -e -t "$app_session" 2>/dev/null; }
keys() { T send-keys -t "$app_session" "$@"; }
text() { T send-keys -t "$app_session" -l "$1"; }

wait_for() {  # wait_for TEXT [SECONDS]: until the screen shows TEXT
  local deadline=$((SECONDS + ${2:-10}))
  while [ $SECONDS -lt $deadline ]; do
    screen | grep -qF -- "$1" && return 0
    sleep 0.05
  done
  return 1
}
wait_gone() {  # wait_gone TEXT [SECONDS]
  local deadline=$((SECONDS + ${2:-10}))
  while [ $SECONDS -lt $deadline ]; do
    screen | grep -qF -- "$1" || return 0
    sleep 0.05
  done
  return 1
}
shows() { screen | grep -qF -- "$1"; }
line_of() { screen | sed -n "$1p"; }  # a screen row, from 1
# Grayed menu commands and disabled controls are drawn dim (SGR 2).
dim() { screen_attrs | grep -qP "\x1b\[2m[^\x1b]*\Q$1\E"; }
menu_dim() { screen_attrs | sed -n 2p | grep -qP "\x1b\[2m[^\x1b]*\Q$1\E"; }
menu_enabled() { ! menu_dim "$1"; }
wait_idle() {  # wait_idle [SECONDS]: until "Update..." is enabled again
  local deadline=$((SECONDS + ${1:-10}))
  while [ $SECONDS -lt $deadline ]; do
    menu_enabled "Update..." && return 0
    sleep 0.1
  done
  return 1
}
image_matches() { cmp -s "$work/image.bin" "$1"; }
log_has() { grep -qF -- "$1" "$work/vup_log.txt" 2>/dev/null; }
ini_has() { grep -qx -- "$1" "$work/xr.ini"; }
packet_number() { screen | sed -n 's/^ *Tx Packet: *\([0-9]*\) :.*/\1/p' | head -n1; }

packet_moves_from() {  # packet_moves_from NUMBER [SECONDS]: until line 2 shows another packet
  local deadline=$((SECONDS + ${2:-10}))
  while [ $SECONDS -lt $deadline ]; do
    [ "$(packet_number)" != "$1" ] && return 0
    sleep 0.1
  done
  return 1
}

record() {  # record MOMENT: the screen now, into the scenario's recording
  { echo "=== $current: $1"; screen; echo; } >>"$artifacts/$scenario_id.txt"
}

app_pid() { pgrep -P "$(T display -p -t "$app_session" '#{pane_pid}')" -x xrupdate; }
exited() { wait_for "[exit $1]" "${2:-10}"; }
modes_restored() {  # the shell's "stty -a" after the program: canonical input and echo are back
  local deadline=$((SECONDS + 5))
  while [ $SECONDS -lt $deadline ]; do
    screen | grep -q -- "^icanon echo *$" && return 0
    sleep 0.05
  done
  return 1
}

scenario() {
  current=$1
  echo "== $1"
  T kill-server 2>/dev/null
  sleep 0.2
  rm -f "$work/vup_log.txt" "$socket"
}

make_update "$work/sample.sys" 0 2 0 262144
make_update "$work/second.sys" 0 2 1 262144
make_update "$work/other.pcm" 1 2 0 393216
make_update "$work/notes.txt" 0 2 0 16
mkdir "$work/folder"
make_update "$work/folder/inner.sys" 0 2 2 262144

# ---------------------------------------------------------------- scenarios

sc_cmdline() {
  scenario "command-line update"
  start_sim && write_ini && start_app main sample.sys
  record "start-up with sample.sys on the command line"
  check "the title" shows "XR3300/R SystemUpdate Utility v1.3"
  check "the menu line" bash -c "tmux -L $tmux_server capture-pane -p -t main | sed -n 2p | grep -q 'Exit *Update\.\.\. *Stop\.\.\. *Config\.\.\.'"
  check "the file on line 0" wait_for "$work/sample.sys" 5
  check "Update Complete!" wait_for "Update Complete!" 20
  record "the update has completed"
  check "type and version on line 1" shows "Type=SYSTEM"
  check "the display names the port in use" shows "Link: COM1 ($pty) at 38400 baud"
  check "the image arrived byte for byte" image_matches "$work/sample.sys"
  check "\"Stop...\" grayed after the end" menu_dim "Stop..."
  check "\"Update...\" enabled after the end" menu_enabled "Update..."
  check "\"Config...\" enabled after the end" menu_enabled "Config..."
  check "the log says so" log_has "Update completed successfully."
  keys e
  check "Exit when idle ends the program with 0" exited 0
  check "terminal modes restored" modes_restored
  start_app second --port "$work/no-such-port" sample.sys
  check "a port named on the command line that does not open is told" wait_for "does not exist" 5
  keys Enter
  check "and the front end ends with 4, using no other port" exited 4
  check "the configured port is still in the settings" ini_has "Com1Device=$pty"
}

sc_prompt() {
  scenario "Update through the prompt"
  start_sim && write_ini && start_app main
  check "\"Stop...\" grayed at start" menu_dim "Stop..."
  keys u
  check "the Open File prompt" wait_for "Open File" 3
  record "the Open File prompt"
  check "*.sys listed" shows "sample.sys"
  check "*.pcm not listed under the first filter" bash -c "! tmux -L $tmux_server capture-pane -p -t main | grep -q other.pcm"
  check "other files never listed" bash -c "! tmux -L $tmux_server capture-pane -p -t main | grep -q notes.txt"
  keys Tab
  check "the second filter lists *.pcm" wait_for "other.pcm" 3
  check "the second filter's name" shows "Pcm File(*.pcm)"
  keys Tab Tab
  check "the fourth filter's name" wait_for "Development File(*.b_*)" 3
  keys Tab
  check "back to the first filter" wait_for "System File(*.sys)" 3
  text "folder"
  keys Enter
  check "a folder opens" wait_for "inner.sys" 3
  keys Down Down Enter
  check "the picked file is sent" wait_for "$work/folder/inner.sys" 5
  check "and completes" wait_for "Update Complete!" 20
  check "the image is the picked file" image_matches "$work/folder/inner.sys"
  keys u
  check "the prompt reopens in the file's folder" wait_for "Folder: $work/folder" 3
  keys Escape
  check "Esc cancels" wait_gone "Open File" 3
  keys u
  wait_for "Open File" 3
  text "does-not-exist.sys"
  keys Enter
  check "a name that does not exist reaches the transfer, which says so" wait_for "File Open Error" 5
  record "a file that cannot be opened"
  keys Enter
  check "the box closes" wait_gone "File Open Error" 3
  check "idle again" bash -c "sleep 0.3; tmux -L $tmux_server capture-pane -p -e -t main | sed -n 2p | grep -qP '\x1b\[4mU'"
  keys e
  exited 0 >/dev/null
}

sc_stop() {
  scenario "Stop with Continue and Abort"
  start_sim --line-speed 115200 && write_ini && start_app main sample.sys
  check "data packets begin" wait_for "Tx Packet:" 10
  sleep 0.2
  check "\"Stop...\" enabled while packets go" menu_enabled "Stop..."
  check "\"Update...\" grayed during the transfer" menu_dim "Update..."
  check "\"Config...\" grayed during the transfer" menu_dim "Config..."
  check "the progress line" wait_for "left" 5
  record "a transfer under way, with the progress bar"
  keys u c
  sleep 0.3
  check "grayed commands are refused" bash -c "! tmux -L $tmux_server capture-pane -p -t main | grep -q 'Open File\|Device Select'"
  keys s
  check "the stop dialog" wait_for "Stop transfer" 3
  record "the stop dialog"
  check "its first text" shows "If you abort the transfer, the device may not be able to start up normally."
  check "its second text" shows "(If so try the transfer again and let it complete.)"
  check "its question" shows "Are you sure you wish to abort the transfer?"
  sleep 1.2  # the packet on the line when the dialog opened is answered first
  held=$(packet_number)
  sleep 1.5
  check "the transfer holds while the dialog is open" test "$(packet_number)" = "$held"
  keys Enter
  check "Continue closes it" wait_gone "Stop transfer" 3
  check "and the transfer goes on" packet_moves_from "$held" 10
  keys s
  wait_for "Stop transfer" 3
  keys Tab Enter
  check "Abort closes it" wait_gone "Stop transfer" 10
  check "the log says the user aborted" log_has "User aborted update"
  sleep 0.3
  check "idle again: \"Stop...\" grayed" menu_dim "Stop..."
  check "idle again: \"Update...\" enabled" menu_enabled "Update..."
  record "after Abort"
  keys e
  check "Exit after an abort" exited 0
}

sc_config() {
  scenario "Config reaches the settings file"
  start_sim && write_ini && start_app main
  keys c
  check "the configuration form" wait_for "Device Select" 3
  record "the configuration form"
  check "a missing port cannot be chosen" dim "COM2"
  check "the port found is offered" bash -c "! tmux -L $tmux_server capture-pane -p -e -t main | grep -qP '\x1b\[2m[^\x1b]*COM1'"
  check "\"57.6kBps\" is never selectable" dim "57.6kBps"
  check "MIDI without devices cannot be chosen" dim "Use MIDI"
  check "serial link checked" shows "(*) Use Serial Port"
  # The focus starts on OK; one step back is "Skip Version Check".
  keys Up Space
  check "Skip Version Check ticks" wait_for "[X] Skip Version Check" 2
  keys Escape
  check "Esc cancels" wait_gone "Device Select" 2
  keys c
  wait_for "Device Select" 3
  check "a cancelled change is not kept" shows "[ ] Skip Version Check"
  keys Up Space Enter
  check "OK closes it" wait_gone "Device Select" 2
  keys c
  wait_for "Device Select" 3
  check "the change is kept" shows "[X] Skip Version Check"
  keys Escape
  wait_gone "Device Select" 2
  keys e
  exited 0 >/dev/null
  check "saved as SkipVersionCheck=1" ini_has "SkipVersionCheck=1"
  check "the link is saved" ini_has "DeviceType=0"
}

# The device behind each port: shown beside it, changed in the device field
# (typed, or picked from the serial devices present), tried as start-up tries
# the ports, and kept in the settings file.
shows_both() { shows "$1" && shows "$2"; }
sc_device() {
  scenario "the device behind each port"
  start_sim && write_ini && start_app main
  ln -sf "$pty" "$work/usb adapter é"
  keys c
  wait_for "Device Select" 3
  record "the configuration form with the device of each port"
  check "COM1 shows its device" shows "COM1 $pty"
  check "COM2 shows its device, the end of a long path" shows "COM2 ...${work: -4}/no-such-com2"
  check "the device field shows the chosen port's device" shows "< COM1 >  [$pty "
  check "a port whose device does not open stays dim" dim "COM2"
  # From OK: "Skip Version Check", "38.4kBps", the field, then the port before it.
  keys Up Up Up Up Right
  check "the field's port can be any of the four" wait_for "< COM2 >  [$work/no-such-com2" 2
  keys Down
  if [ -n "$(ls -d /dev/ttyS[0-9]* /dev/ttyUSB[0-9]* /dev/ttyACM[0-9]* 2>/dev/null)" ]; then
    check "entering the field names the serial devices present" wait_for "Present (Left/Right): /dev/tty" 2
  else
    check "entering the field says no serial device is present" wait_for "No serial device" 2
  fi
  keys C-u
  text "$work/nothing here"
  keys Tab
  check "a device that does not exist says so" wait_for "COM2: $work/nothing here does not exist." 3
  check "and its port stays dim" dim "COM2"
  keys BTab C-u
  text "$work/notes.txt"
  keys Enter
  check "a file that is no terminal says so" wait_for "COM2: $work/notes.txt is not a terminal." 3
  keys BTab C-u Tab
  check "an empty path keeps the device" wait_for "A device path is needed; COM2 keeps $work/notes.txt." 3
  keys BTab C-u
  text "$work/usb adapter é"
  keys Enter
  check "a path with a blank and a non-ASCII letter, to a terminal, opens" \
    wait_for "COM2: $work/usb adapter é opens." 3
  record "a device typed for COM2 that opens"
  check "its port is offered now" bash -c "! tmux -L $tmux_server capture-pane -p -e -t main | grep -qP '\x1b\[2m[^\x1b]*COM2'"
  keys BTab BTab BTab Space
  check "choosing COM2 checks it" wait_for "(*) COM2" 2
  check "and the field shows its device" shows "< COM2 >  [$work/usb adapter é"
  # The serial devices present are offered with Left and Right.
  keys Down Down Right
  if [ -n "$(ls -d /dev/ttyS[0-9]* /dev/ttyUSB[0-9]* /dev/ttyACM[0-9]* 2>/dev/null)" ]; then
    check "Right offers a serial device present" wait_for "< COM2 >  [/dev/tty" 3
    check "and tries it at once" bash -c "tmux -L $tmux_server capture-pane -p -t main | grep -qE 'COM2: /dev/tty(S|USB|ACM)[0-9]+ '"
    record "a serial device offered"
    keys Left
    check "Left goes back" wait_for "COM2: /dev/tty" 3
  else
    check "no serial device present says so" wait_for "No serial device" 3
  fi
  keys C-u
  text "$work/usb adapter é"
  keys Enter Enter
  check "OK closes the form" wait_gone "Device Select" 3
  keys c
  wait_for "Device Select" 3
  keys Up Up Up C-u
  text "$work/no-such-com2-either"
  keys Tab Escape
  wait_gone "Device Select" 3
  keys e
  exited 0 >/dev/null
  check "saved as Com2Device" ini_has "Com2Device=$work/usb adapter é"
  check "the port chosen is saved" ini_has "ComPortNum=2"
  check "a cancelled device is not kept" bash -c "! grep -q no-such-com2-either '$work/xr.ini'"
  check "the other lines are kept" ini_has "Com3Device=$work/no-such-com3"
  start_app again sample.sys
  check "after a restart the update goes through COM2's device" wait_for "Update Complete!" 20
  check "byte for byte" image_matches "$work/sample.sys"
  keys c
  wait_for "Device Select" 3
  check "and the form shows it" shows_both "(*) COM2 ..." "/usb adapter é"
  keys Escape
  wait_gone "Device Select" 3
  keys e
  exited 0 >/dev/null
}

# Without --ini: the settings file in the user's config folder, and a message
# (not an end) when it cannot be read or saved. Run as the user "nobody" when
# root, so that the built-in serial ports stay closed to it.
start_app_as_user() {  # start_app_as_user SESSION HOME [ARGS...]
  local session=$1 home=$2; shift 2
  local as_user=""
  [ "$(id -u)" -eq 0 ] && as_user="setpriv --reuid=65534 --regid=65534 --clear-groups"
  launch_app "$session" "$(printf 'cd %q && %s env HOME=%q XDG_CONFIG_HOME= XDG_RUNTIME_DIR=%q %q' \
    "$work/user-start" "$as_user" "$home" "$work/user-run" "$xrupdate")" "$@"
}
# The built-in COM1 does not open for that user: start-up names it and why.
dismiss_port_message() {
  if wait_for "The serial port COM1 (" 5; then keys Enter; wait_gone "The serial port COM1 (" 3; fi
}
sc_settings_place() {
  scenario "settings in the user's config folder"
  local home=$work/user-home
  rm -rf "$home" "$work/user-start" "$work/user-run"
  mkdir -p "$home/.config/xrupdate/xrupdate.ini" "$work/user-start" "$work/user-run"
  chmod 755 "$work" "$home" "$work/user-start"
  chmod 700 "$work/user-run"
  [ "$(id -u)" -eq 0 ] && chown -R 65534:65534 "$home" "$work/user-start" "$work/user-run"
  start_app_as_user user "$home"
  check "a folder in place of the settings file is told at start" wait_for "cannot be read: it is a folder." 5
  record "the settings file is a folder"
  check "with the defaults" shows "The default settings are used."
  keys Enter
  check "the program goes on" wait_gone "cannot be read" 3
  check "then the serial port that does not open is named" wait_for "The serial port COM1 (/dev/ttyS0)" 5
  check "with what is used instead" shows "instead."
  keys Enter
  check "the menu is there" wait_gone "The serial port COM1" 3
  keys e
  check "and is told again when the settings cannot be saved" wait_for "cannot be saved: it is a folder." 5
  keys Enter
  check "then the program ends with 0" exited 0
  check "terminal modes restored" modes_restored
  rmdir "$home/.config/xrupdate/xrupdate.ini"
  start_app_as_user user2 "$home"
  dismiss_port_message
  keys c
  wait_for "Device Select" 3
  keys Up Space Enter
  wait_gone "Device Select" 3
  keys e
  check "a change is saved in ~/.config/xrupdate/xrupdate.ini" exited 0
  check "with its value" grep -q "^SkipVersionCheck=1" "$home/.config/xrupdate/xrupdate.ini"
  start_app_as_user user3 "$home"
  dismiss_port_message
  keys c
  wait_for "Device Select" 3
  check "and read from there at the next start" shows "[X] Skip Version Check"
  keys Escape
  wait_gone "Device Select" 3
  keys e
  exited 0 >/dev/null
}

# The screen's text as one line, frames dropped: a message wrapped in its box reads whole.
shows_joined() { screen | sed 's/[│ ]\+/ /g' | tr -d '\n' | tr -s ' ' | grep -qF -- "$1"; }
# A runtime folder that others may write is told at start and passed over for
# the user's private folder, where a second copy finds the running one. Run as
# "nobody" when root, so that root's own private folder is not touched.
sc_socket_folder() {
  scenario "a runtime folder others may write"
  local home=$work/user-home open=$work/open-run uid as_user=""
  uid=$(id -u)
  rm -rf "$home" "$open" "$work/user-start"
  mkdir -p "$home" "$open" "$work/user-start"
  chmod 755 "$work" "$home" "$work/user-start"
  chmod 777 "$open"
  if [ "$uid" -eq 0 ]; then
    chown -R 65534:65534 "$home" "$work/user-start" "$open"
    as_user="setpriv --reuid=65534 --regid=65534 --clear-groups"
    uid=65534
  fi
  local run_as
  run_as=$(printf 'cd %q && %s env HOME=%q XDG_CONFIG_HOME= XDG_CACHE_HOME= XDG_RUNTIME_DIR=%q %q' \
    "$work/user-start" "$as_user" "$home" "$open" "$xrupdate")
  launch_app user "$run_as"
  check "the runtime folder is told at start" wait_for "cannot hold the socket" 5
  record "a runtime folder others may write"
  check "with the reason" shows_joined "other users may write to it."
  check "and the folder used instead" shows_joined "/tmp/xrupdate-$uid is used instead."
  keys Enter
  check "the program goes on" wait_gone "cannot hold the socket" 3
  check "listening in the private folder" test -S "/tmp/xrupdate-$uid/XR3300_R_SystemUpdate_Utility.sock"
  check "not in the open one" test ! -e "$open/XR3300_R_SystemUpdate_Utility.sock"
  bash -c "$run_as /h" </dev/null >"$work/second.out" 2>&1
  check "a second copy finds it there and exits with 0" test $? -eq 0
  check "telling the same on stderr" grep -qF "is used instead." "$work/second.out"
  keys e
  exited 0 >/dev/null
}

sc_handover_idle() {
  scenario "hand-over from a second copy while idle"
  start_sim && write_ini && start_app main
  check "the first copy listens" test -S "$socket"
  (cd "$work" && "$xrupdate" --ini "$work/xr.ini" sample.sys </dev/null >"$work/second.out" 2>&1)
  check "the second copy exits with 0" test $? -eq 0
  check "the first copy sends the handed-over file" wait_for "$work/sample.sys" 5
  check "to the end" wait_for "Update Complete!" 20
  check "byte for byte" image_matches "$work/sample.sys"
  (cd "$work" && "$xrupdate" --ini "$work/xr.ini" /h </dev/null >/dev/null 2>&1)
  check "a second copy without a file exits with 0 too" test $? -eq 0
  keys c
  wait_for "Device Select" 3
  local started=$SECONDS
  (cd "$work" && timeout 8 "$xrupdate" --ini "$work/xr.ini" second.sys </dev/null >"$work/second.out" 2>&1)
  check "a hand-over while a form is open: the second copy says it has no answer yet and exits with 1" \
    test $? -eq 1 -a $((SECONDS - started)) -le 4
  check "naming the file" grep -qE "has /.*/second.sys but has not answered yet" "$work/second.out"
  sleep 0.5
  check "and waits while the form is open" bash -c "! tmux -L $tmux_server capture-pane -p -t main | grep -q second.sys"
  keys Escape
  check "then starts once the form has closed" wait_for "$work/second.sys" 5
  check "and completes" wait_idle 20
  check "the instrument got that file" image_matches "$work/second.sys"
  keys e
  exited 0 >/dev/null
  check "the socket is removed at exit" test ! -e "$socket"
}

sc_handover_busy() {
  scenario "hand-over while busy is dropped"
  start_sim --line-speed 115200 && write_ini && start_app main sample.sys
  wait_for "Tx Packet:" 10
  (cd "$work" && "$xrupdate" --ini "$work/xr.ini" second.sys </dev/null >"$work/second.out" 2>&1)
  check "the second copy exits non-zero" test $? -ne 0
  check "and says the running copy is busy" \
    grep -qx "xrupdate: the running copy is busy; $work/second.sys was not started" "$work/second.out"
  sleep 0.5
  check "the running transfer keeps its file" shows "$work/sample.sys"
  record "a hand-over arrived during the transfer"
  keys s
  wait_for "Stop transfer" 3
  keys Tab Enter
  wait_gone "Stop transfer" 10
  sleep 1.5
  check "the dropped path does not start afterwards" bash -c "! tmux -L $tmux_server capture-pane -p -t main | grep -q second.sys"
  (cd "$work" && "$xrupdate" --ini "$work/xr.ini" second.sys </dev/null >/dev/null 2>&1)
  check "a later hand-over starts normally" wait_for "$work/second.sys" 5
  keys s
  wait_for "Stop transfer" 3
  keys Tab Enter
  wait_gone "Stop transfer" 10
  keys e
  exited 0 >/dev/null
}

sc_exit() {
  scenario "Exit during a transfer asks first"
  start_sim --line-speed 115200 && write_ini && start_app main sample.sys
  wait_for "Tx Packet:" 10
  keys e
  check "Exit asks with the stop dialog" wait_for "Stop transfer" 3
  record "Exit during a transfer"
  keys Escape
  check "Esc continues" wait_gone "Stop transfer" 3
  check "the window stays" shows "XR3300/R SystemUpdate Utility v1.3"
  check "and the transfer goes on" packet_moves_from "$(packet_number)" 10
  keys C-c
  check "Ctrl-C asks too" wait_for "Stop transfer" 3
  keys Tab Enter
  check "Abort ends the program with 0" exited 0 10
  check "terminal modes restored" modes_restored
  check "the settings were saved" ini_has "ComPortNum=1"
}

sc_stale_socket() {
  scenario "a stale socket from a crashed copy"
  start_sim && write_ini && start_app first
  kill -KILL "$(app_pid)"
  check "the crashed copy left its socket" test -S "$socket"
  start_app main sample.sys
  check "a new start replaces it and runs the update itself" wait_for "Update Complete!" 20
  check "and listens again" test -S "$socket"
  keys e
  exited 0 >/dev/null
}

sc_hostile_peer() {
  scenario "hostile peer on the hand-over socket"
  start_sim && write_ini && start_app main
  python3 - "$socket" <<'EOF'
import socket, struct, sys, time
path = sys.argv[1]
def conn():
    s = socket.socket(socket.AF_UNIX)
    s.connect(path)
    return s
s = conn(); s.sendall(b"\xff" * 4096); s.close()                                         # garbage
s = conn(); s.sendall(b"XRHO0001" + b"".join(struct.pack("<II", 211 | (o << 16), 0x41414141)
                     for o in (0xFFFF, 0x8000, 300, 257, 256, 253))); s.close()           # huge offsets
s = conn(); s.sendall(b"XRHO0001" + struct.pack("<II", 211, 0x41414141) * 5000)          # no terminator, too long
hold = conn(); hold.sendall(b"XRHO0001" + struct.pack("<II", 211, 0x2F2F2F2F))           # never finishes
time.sleep(0.3)
s = conn(); s.sendall(b"XRHO0001" + struct.pack("<II", 211 | (4 << 16), 0)); s.close()     # a terminator with nothing before it
s = conn(); s.sendall(b"XRHO0001abc"); s.close()                                           # a cut record
time.sleep(2)
hold.close()
EOF
  check "still running" shows "XR3300/R SystemUpdate Utility v1.3"
  check "nothing started" bash -c "! tmux -L $tmux_server capture-pane -p -t main | grep -q 'Tx Packet\|FILE :'"
  (cd "$work" && "$xrupdate" --ini "$work/xr.ini" sample.sys </dev/null >/dev/null 2>&1)
  check "a real hand-over still works" wait_for "Update Complete!" 20
  keys e
  exited 0 >/dev/null
}

sc_keys() {
  scenario "keys at any moment"
  start_sim --line-speed 460800 && write_ini && start_app main sample.sys
  wait_for "Tx Packet:" 10
  text 'xyz123!@#$%^&*()_+[]{};:,./<>?~`'
  keys -H 1b 5b 31 3b 35 43 1b 5b 32 30 30 7e 1b 4f 50 1b 5b 5a 1b 1b 00 7f 08 09
  keys F1 F5 PageUp PageDown Home End Insert Delete BTab
  sleep 0.2
  keys s
  wait_for "Stop transfer" 3
  text 'pastedtextisnotananswer'
  keys -H 1b 5b 41 1b 5b 42 1b 5b 44
  sleep 0.2
  check "the stop dialog survives noise" shows "Stop transfer"
  keys Escape
  wait_gone "Stop transfer" 3
  check "the transfer completes under noise" wait_for "Update Complete!" 60
  keys c
  wait_for "Device Select" 3
  keys -H 1b 5b 31 3b 35 43 09 09 1b 5b 5a 1b 5b 44 1b 5b 43
  text 'qwertyuiop'
  keys Escape
  check "the configuration form survives noise" wait_gone "Device Select" 3
  keys u
  wait_for "Open File" 3
  text "$(head -c 400 /dev/zero | tr '\0' 'x')"
  keys -H 1b 5b 31 3b 35 43 7f 7f c3 a9 e2 82 ac
  keys Escape
  check "the prompt survives a long paste" wait_gone "Open File" 3
  check "the program is still there" shows "XR3300/R SystemUpdate Utility v1.3"
  keys e
  check "and exits normally" exited 0
}

sc_resize() {
  scenario "resize"
  start_sim && write_ini && start_app main
  T resize-window -t main -x 60 -y 15
  check "too small says so" wait_for "Terminal too small" 3
  record "a terminal too small"
  T resize-window -t main -x 100 -y 30
  check "a big terminal redraws" wait_for "Exit    Update..." 3
  check "with the key line at its new bottom" bash -c "tmux -L $tmux_server capture-pane -p -t main | sed -n 30p | grep -q 'Keys:'"
  T resize-window -t main -x 80 -y 24
  keys C-c
  check "Ctrl-C when idle ends the program with 0" exited 0
  check "terminal modes restored" modes_restored
}

sc_attention() {
  scenario "attention when the transfer ends elsewhere"
  start_sim && write_ini && start_app main
  keys -H 1b 5b 4f   # the terminal reports: focus out
  (cd "$work" && "$xrupdate" --ini "$work/xr.ini" /h sample.sys </dev/null >/dev/null 2>&1)
  wait_for "Update Complete!" 20
  check "the title is marked" wait_for "* XR3300/R SystemUpdate Utility v1.3 *" 3
  record "the marked title after an update that ended unseen"
  check "and blinks" wait_gone "* XR3300/R SystemUpdate Utility v1.3 *" 3
  keys -H 1b 5b 49   # focus in
  sleep 1.2
  check "focus back: no mark" bash -c "! tmux -L $tmux_server capture-pane -p -t main | grep -qF '* XR3300'"
  keys e
  exited 0 >/dev/null
}

sc_crash() {
  scenario "crash of the update thread restores the terminal"
  start_sim --line-speed 115200 && write_ini && start_app main sample.sys
  wait_for "Tx Packet:" 10
  kill -SEGV "$(app_pid)"
  check "the program ends" wait_for "[exit 139]" 5
  check "terminal modes restored" modes_restored
  check "the screen is the shell's again" bash -c "! tmux -L $tmux_server capture-pane -p -t main | grep -q 'Keys: E Exit'"
}

sc_sigterm() {
  scenario "SIGTERM stops the transfer"
  start_sim --line-speed 115200 && write_ini && start_app main sample.sys
  wait_for "Tx Packet:" 10
  kill -TERM "$(app_pid)"
  check "ends with 0" exited 0 10
  check "terminal modes restored" modes_restored
  check "the stop is logged" log_has "User aborted update"
  start_app idle
  kill -INT "$(app_pid)"
  check "SIGINT when idle closes as Exit does" exited 0
}

sc_stdin() {
  scenario "stdin closed or gone"
  T kill-server 2>/dev/null
  start_sim && write_ini
  (cd "$work" && timeout 5 "$xrupdate" --ini "$work/xr.ini" <&- >"$work/closed.out" 2>&1)
  check "closed stdin: a clear message and 1" test $? -eq 1
  check "the message" grep -q "needs a terminal" "$work/closed.out"
  (cd "$work" && timeout 5 "$xrupdate" --ini "$work/xr.ini" </dev/null >/dev/null 2>&1)
  check "stdin not a terminal: 1, no hang" test $? -eq 1
  python3 - "$xrupdate" "$work/xr.ini" "$work" <<'EOF' >"$work/hangup.out" 2>&1
import os, pty, select, sys, time
xrupdate, ini, folder = sys.argv[1:4]
pid, fd = pty.fork()
if pid == 0:
    os.chdir(folder)
    os.environ["TERM"] = "xterm"
    os.execv(xrupdate, [xrupdate, "--ini", ini])
seen = b""
end = time.time() + 5
while time.time() < end and b"Config" not in seen:
    if select.select([fd], [], [], 0.1)[0]:
        seen += os.read(fd, 65536)
os.close(fd)  # the terminal goes away
end = time.time() + 5
while time.time() < end:
    done, status = os.waitpid(pid, os.WNOHANG)
    if done:
        print("exit", os.waitstatus_to_exitcode(status))
        sys.exit(0)
    time.sleep(0.05)
os.kill(pid, 9)
print("hang")
EOF
  check "a terminal that goes away ends an idle program" grep -qx "exit 0" "$work/hangup.out"
}

sc_help() {
  scenario "help and version"
  "$xrupdate" --help >"$work/help.out"
  check "--help exits 0" test $? -eq 0
  check "--help names the front end" grep -q "xrupdate \[--ini PATH\] \[/h\] \[FILE...\]" "$work/help.out"
  check "--version" test "$("$xrupdate" --version)" = "XR3300/R SystemUpdate Utility v1.3"
  "$xrupdate" --no-such-option >/dev/null 2>&1
  check "an unknown option is a usage error" test $? -eq 2
}

sc_odd_name() {
  scenario "a path with control characters and stray bytes"
  local odd=$work/$'odd\033[31m\xff\xfe\t\303\251name.sys'
  cp "$work/sample.sys" "$odd"
  start_sim && write_ini && start_app main "$odd"
  check "the update runs" wait_for "Update Complete!" 20
  check "what cannot be shown shows as ?" bash -c "tmux -L $tmux_server capture-pane -p -t main | sed -n 4p | grep -qE 'odd\?\[31m\?\?\?(é|\?\?)name\.sys'"
  check "no escape reaches the terminal" bash -c "! tmux -L $tmux_server capture-pane -p -e -t main | sed -n 4p | grep -q $'\x1b\\[31m'"
  check "the next line is whole" bash -c "tmux -L $tmux_server capture-pane -p -t main | sed -n 5p | grep -q '^  FILE : Type=SYSTEM'"
  record "a path with control characters and stray bytes"
  keys e
  exited 0 >/dev/null
}

# A typed path is taken whole or refused, never cut: an ALL 3.00 file at a path of
# 263 characters, and a SYSTEM 2.00 file whose path is its first 255 characters.
# The same for a device path typed into the configuration form.
sc_long_path() {
  scenario "long typed paths are refused, never cut"
  local dir=$work/long-$(printf 'd%.0s' $(seq 100))
  mkdir -p "$dir"
  local long=$dir/$(printf 'n%.0s' $(seq $((263 - ${#dir} - 1 - 8)))).all.sys
  local short=${long:0:255}
  make_update "$long" 3 3 0 1048576
  make_update "$short" 0 2 0 262144
  start_sim && write_ini && start_app main
  keys u
  wait_for "Open File" 3
  text "$long"
  keys Enter
  check "a 263-character path is refused with the reason" \
    wait_for "Not sent: the full path has 263 characters; 259 at most can be sent." 3
  record "a typed path longer than the transfer takes"
  check "the prompt stays open" shows "Open File"
  check "nothing was started" bash -c "! grep -q 'Starting' '$work/vup_log.txt' 2>/dev/null"
  keys C-u
  text "$(head -c 4200 /dev/zero | tr '\0' 'x')"
  keys Enter
  check "a name longer than any path is refused, not cut" \
    wait_for "The name is longer than a path can be here; Ctrl-U clears it." 10
  keys C-u
  text "$short"
  keys Enter
  check "the 255-character path is sent" wait_for "FILE : Type=SYSTEM , Version=2.00" 5
  check "to the end" wait_for "Update Complete!" 20
  check "the image is that file" image_matches "$short"
  check "the log names it whole" log_has "Starting serial transfer of file $short"$'\r'
  # A device path: 300 characters whose first 255 name a terminal.
  local device=$dir/$(printf 't%.0s' $(seq $((300 - ${#dir} - 1))))
  ln -s "$pty" "${device:0:255}"
  keys c
  wait_for "Device Select" 3
  keys Up Up Up C-u
  text "$device"
  keys Tab
  check "a 300-character device path is refused with the reason" \
    wait_for "The path is too long (255 bytes at most); COM1 keeps $pty." 3
  record "a typed device path longer than the settings take"
  check "and the port keeps its device" shows "< COM1 >  [$pty "
  keys Escape
  wait_gone "Device Select" 3
  keys e
  exited 0 >/dev/null
}

sc_log_refused() {
  scenario "a support log that cannot be created"
  mkdir "$work/vup_log.txt"
  start_sim && write_ini && start_app main
  check "the start-up warning" wait_for "Failed to create log file." 5
  record "the support log cannot be created"
  check "it says the program goes on" shows "The application will continue"
  keys Enter
  check "the box closes" wait_gone "Failed to create log file." 3
  (cd "$work" && "$xrupdate" --ini "$work/xr.ini" sample.sys </dev/null >/dev/null 2>&1)
  check "an update still runs to its end" wait_for "Update Complete!" 20
  check "byte for byte" image_matches "$work/sample.sys"
  keys e
  check "and the program ends with 0" exited 0
  rmdir "$work/vup_log.txt"
}

all_scenarios="cmdline prompt stop config device settings-place socket-folder handover-idle handover-busy exit stale-socket hostile-peer keys resize attention crash sigterm stdin odd-name help long-path log-refused"
selected=${*:-$all_scenarios}
for name in $selected; do
  case " $all_scenarios " in
    *" $name "*)
      scenario_id=$name
      : >"$artifacts/$name.txt"
      "sc_${name//-/_}" ;;
    *) echo "no scenario $name (scenarios: $all_scenarios)" >&2; exit 2 ;;
  esac
done
# The recording of a whole session: every scenario's screens, in order, from
# whichever runs have left them (ctest runs the scenarios one by one).
recording=$artifacts/recording.txt
for name in $all_scenarios; do
  if [ -f "$artifacts/$name.txt" ]; then cat "$artifacts/$name.txt"; fi
done >"$recording.$$" && mv "$recording.$$" "$recording"
echo
echo "term UI ($selected): $passed passed, $failed failed; screens in $artifacts"
[ "$failed" -eq 0 ]
