#!/usr/bin/env bash
# Drives the Windows program (the x86-64 or the i686 build, whichever folder is
# given) under Wine on a virtual X display, with COM1 mapped to the simulated
# instrument's pseudo-terminal:
#   1. a file named on the command line updates to "Update Complete!", the instrument
#      holds the image byte for byte and the support log has the expected entries;
#   2. a second copy started with another file hands it over to the running one;
#   3. the stop dialog: "Continue" lets the transfer go on, "Abort" ends it; then a
#      file chosen in the "Open File" dialog of "&Update..." is transferred;
#   4. the configuration dialog is opened, changed and confirmed, and the change is
#      in the settings file after "Exit";
#   5. a start with bad input (an over-long and a missing path, a settings file
#      with out-of-range values) refuses the over-long path with a message and
#      still gives a responsive window;
#   6. with the user's language Japanese, the stop dialog is the Japanese copy;
#   7. without any serial port (and no MIDI port Wine can list) the program starts,
#      reports the failed transfer and responds; its log entry has the MIDI format;
#   8. second copies without a file, with "/h", and handing over a file while the
#      "Open File" or the configuration dialog is open, during packets and with the
#      stop dialog open: one transfer runs at a time, the image arrives intact;
#      the menu's grayed commands do nothing; the window flashes after an end while
#      another window has the focus; WM_QUERYENDSESSION during a transfer asks, and
#      "Continue" refuses while "Abort" allows;
#   9. with the instrument slow to answer Set Mode: "&Stop..." is gray before it,
#      and a second copy then changes nothing;
#  10. a window saved left of and above the screen opens there; one saved beyond
#      its right edge opens at the default corner;
#  11. (the window closed or the session ended while the transfer thread's own
#      error box is open: tests/e2e/test_win32_handover.py);
#  12. every static text of both dialogs, in English and in Japanese, fits its
#      control in the dialog's font (the Japanese fonts mapped to IPA Gothic);
#  13. a command-line path written with "/" (relative, and with its drive) sends
#      the file it names, not a file of the same name elsewhere;
#  14. the "Open File" dialog sends a file whose path has 259 characters and
#      refuses one of 260 with a message.
# Screenshots of the main window during and after an update and of both dialogs
# go to <windows build>/artifacts/.
#
# Usage: scripts/win32-gui-test.sh NATIVE_BUILD_DIR WINDOWS_BUILD_DIR
# Needs: Xvfb, xdotool, wine, ImageMagick (import), python3; the native build's
# xrsim and the Windows build's xrupdate.exe and tests/xr_winprobe.exe.
# XR_GUI_STEPS (default "all") may name a subset of the step groups:
# update handover stop open-file config second-copy race setmode bad-input
# placement japanese no-ports layout slash-path open-file-long.
set -u

native=${1:?usage: win32-gui-test.sh NATIVE_BUILD_DIR WINDOWS_BUILD_DIR}
winbuild=${2:?usage: win32-gui-test.sh NATIVE_BUILD_DIR WINDOWS_BUILD_DIR}
native=$(cd "$native" && pwd)
winbuild=$(cd "$winbuild" && pwd)
xrsim=$native/xrsim
exe=$winbuild/xrupdate.exe
probe_exe=$winbuild/tests/xr_winprobe.exe
artifacts=$winbuild/artifacts
overall_deadline=$((SECONDS + ${XR_GUI_TIMEOUT:-600}))
steps=" ${XR_GUI_STEPS:-all} "
source "$(dirname "$0")/wine-loader.sh"

for tool in Xvfb xdotool wine wineserver import python3; do
  command -v "$tool" >/dev/null || { echo "win32-gui-test: $tool is missing" >&2; exit 2; }
done
[ -x "$xrsim" ] || { echo "win32-gui-test: no $xrsim" >&2; exit 2; }
[ -f "$exe" ] || { echo "win32-gui-test: no $exe" >&2; exit 2; }
[ -f "$probe_exe" ] || { echo "win32-gui-test: no $probe_exe" >&2; exit 2; }
case $(objdump -f "$exe" 2>/dev/null | sed -n 's/.*file format //p') in
  pei-i386) arch=i686 ;;
  pei-x86-64) arch=x86-64 ;;
  *) arch=unknown ;;
esac
echo "win32-gui-test: the $arch xrupdate.exe of $winbuild"

work=$(mktemp -d /tmp/xr-gui-test.XXXXXX)
mkdir -p "$artifacts"
export WINEPREFIX=${XR_GUI_WINEPREFIX:-$winbuild/wineprefix-gui}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
xvfb_pid=
sim_pid=
failures=0
checks=0

log() { echo "[gui $(date +%H:%M:%S)] $*"; }
pass() { checks=$((checks + 1)); log "PASS $*"; }
fail() { checks=$((checks + 1)); failures=$((failures + 1)); log "FAIL $*"; }

cleanup() {
  if [ -n "${DISPLAY:-}" ]; then
    wineserver -k >/dev/null 2>&1
    wine reg delete 'HKLM\Software\Wine\Ports' /v COM1 /f >/dev/null 2>&1
    wineserver -w >/dev/null 2>&1
    rm -f "$WINEPREFIX/dosdevices/com"[1-9]
  fi
  [ -n "${notepad_pid:-}" ] && kill "$notepad_pid" 2>/dev/null
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  if [ "${XR_GUI_KEEP:-0}" = 1 ]; then log "work folder kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'log "interrupted"; exit 3' INT TERM

time_left() { [ $SECONDS -lt $overall_deadline ]; }
wanted() { [[ $steps == *" all "* || $steps == *" $1 "* ]]; }

# wait_for SECONDS COMMAND...: polls every 0.2 s until COMMAND succeeds.
wait_for() {
  local limit=$((SECONDS + $1)); shift
  while ! "$@"; do
    if [ $SECONDS -ge $limit ] || ! time_left; then return 1; fi
    sleep 0.2
  done
}

window_id() { xdotool search --name "$1" 2>/dev/null | head -1; }
window_exists() { [ -n "$(window_id "$1")" ]; }
window_gone() { ! window_exists "$1"; }
log_has() { grep -q -- "$1" "$work/vup_log.txt" 2>/dev/null; }
log_count() { grep -c -- "$1" "$work/vup_log.txt" 2>/dev/null || true; }
log_count_at_least() { [ "$(log_count "$1")" -ge "$2" ]; }
process_gone() { ! kill -0 "$1" 2>/dev/null; }
# A window of the program other than the main window (a message box).
other_window_exists() {
  local w n
  for w in $(xdotool search --name '.' 2>/dev/null); do
    n=$(xdotool getwindowname "$w" 2>/dev/null)
    case "$n" in ""|"$main_title"|"Default IME") ;; *) return 0 ;; esac
  done
  return 1
}

# The test tool that reads the program's windows from the outside.
probe() { wine "$probe_exe" "$@" 2>/dev/null; }
dialog_texts() { probe texts "$1" | tr -d '\r'; }
is_active() { probe active "$1"; }
start_count() { log_count "Starting .* transfer of file"; }
# no_window_within SECONDS TITLE: the window does not appear within that time.
no_window_within() {
  local limit=$((SECONDS + $1))
  while [ $SECONDS -lt $limit ]; do
    window_exists "$2" && return 1
    sleep 0.2
  done
  ! window_exists "$2"
}
# The mean colour of the main window's caption bar, which flashing toggles
# between the active and the inactive colour.
caption_colour() {
  local id geometry
  id=$(window_id "$main_title")
  [ -n "$id" ] || return 1
  geometry=$(xdotool getwindowgeometry --shell "$id") || return 1
  eval "$geometry"
  import -window root -crop "$((WIDTH - 8))x6+$((X + 4))+$((Y + 6))" +repage -resize '1x1!' -depth 8 txt:- 2>/dev/null |
    sed -n '2s/.*\(#[0-9A-Fa-f]\{6\}\).*/\1/p'
}
# How many different caption colours SAMPLES samples 150 ms apart show.
caption_colours() {
  local i
  for i in $(seq "$1"); do caption_colour; sleep 0.15; done | sort -u | grep -c .
}

# Makes the window whose title matches $1 the active one, as the user would: a
# click on its caption bar (Wine takes its foreground window from the clicks on
# windows it draws itself, not from the X input focus alone). With "bottom", the
# click goes to its lower left corner instead, for a dialog whose caption the
# main window may cover (a second copy brings the main window to the front).
activate_window() {  # activate_window TITLE [bottom]
  local id geometry
  id=$(window_id "$1")
  [ -n "$id" ] || return 1
  geometry=$(xdotool getwindowgeometry --shell "$id") || return 1
  eval "$geometry"
  if [ "${2:-}" = bottom ]; then
    xdotool mousemove --sync $((X + 6)) $((Y + HEIGHT - 6)) click 1
  else
    xdotool mousemove --sync $((X + WIDTH / 3)) $((Y + 10)) click 1
  fi
}

# Sends keys to the window whose title matches $1.
keys_to() {
  local name=$1; shift
  local id
  id=$(window_id "$name")
  [ -n "$id" ] || return 1
  xdotool windowfocus --sync "$id" 2>/dev/null || xdotool windowfocus "$id"
  sleep 0.2
  xdotool key --clearmodifiers "$@"
}

# Clicks a dialog control by its position in dialog units: the dialog's frame is
# measured, the unit size taken from its width (the vertical unit is close to it
# for the dialog fonts Wine substitutes).
click_dlu() {  # click_dlu TITLE WIDTH-DLU HEIGHT-DLU X-DLU Y-DLU
  local id geometry x y
  id=$(window_id "$1")
  [ -n "$id" ] || return 1
  geometry=$(xdotool getwindowgeometry --shell "$id") || return 1
  eval "$geometry"
  read -r x y < <(python3 -c "
w, h, dw, dh, cx, cy = $WIDTH, $HEIGHT, $2, $3, $4, $5
border = 3
unit = (w - 2 * border) / dw
caption = h - 2 * border - dh * unit
print(int($X + border + cx * unit), int($Y + border + caption + cy * unit))")
  xdotool mousemove --sync "$x" "$y" click 1
}

shot() {  # shot NAME: the top-left part of the screen, where the window and its dialogs are
  sleep 0.7  # let a window that has just appeared paint itself
  import -window root -crop 640x440+0+0 +repage "$artifacts/$1.png" 2>/dev/null &&
    log "screenshot $artifacts/$1.png"
}

main_title='XR3300/R SystemUpdate Utility v1.3'

# ---------------------------------------------------------------- set-up
start_display() {
  local n
  for n in $(seq 91 120); do
    [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb_pid=$!
    export DISPLAY=":$n"
    if wait_for 10 xdotool getdisplaygeometry >/dev/null 2>&1; then return 0; fi
    kill "$xvfb_pid" 2>/dev/null; xvfb_pid=
  done
  return 1
}

start_sim() {
  # The simulated instrument: serves one side of a pty and saves what it receives.
  "$xrsim" --image "$work/received.bin" --delay all:60 --system-version 1.00 >"$work/sim.out" 2>"$work/sim.err" &
  sim_pid=$!
  wait_for 10 grep -q '^/dev/' "$work/sim.out" || return 1
  pty=$(grep -m1 '^/dev/' "$work/sim.out")
  log "simulated instrument on $pty"
}

# An update file: the 16-byte header ("PELD", version, product 0x58, type) and a
# repeatable pattern, of the size its type requires.
make_image() {  # make_image PATH ATTR MAJOR MINOR SEED
  python3 - "$@" <<'EOF'
import random, sys
path, attr, major, minor, seed = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
size = [0x40000, 0x60000, 0x60000, 0x100000][attr]
rng = random.Random(seed)
body = bytes(rng.getrandbits(8) for _ in range(size - 16))
with open(path, "wb") as f:
    f.write(b"PELD" + bytes([major, minor, 0x58, attr]) + bytes(range(8)) + body)
EOF
}

# The Japanese dialogs' fonts are Windows fonts: the prefix shows them in a
# Japanese font of the system (fonts-ipafont-gothic), so that screenshots and
# measurements show real text rather than empty boxes. The names are not ASCII:
# they go in as a UTF-16 registry file.
map_japanese_fonts() {
  local reg=$work/fonts.reg
  printf '%s\r\n' 'Windows Registry Editor Version 5.00' '' \
    '[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]' \
    '"ＭＳ Ｐゴシック"="IPAPGothic"' '"ＭＳ ゴシック"="IPAGothic"' '' |
    python3 -c 'import sys; sys.stdout.buffer.write(b"\xff\xfe" + sys.stdin.read().encode("utf-16-le"))' >"$reg"
  wine regedit /S "$(win_path "$reg")" >/dev/null 2>&1
  fc-list 2>/dev/null | grep -q IPAPGothic || log "no IPA Gothic font: Japanese texts show as boxes"
}

# COM1 of the prefix becomes the pty: the mount manager makes the dosdevices links
# from the registry when the wine server starts, so the server starts afresh; the
# link is also set directly. A persistent server of our own keeps its diagnostics
# (Wine dumps its object table when a serial line hangs up) out of the output.
prepare_wine() {
  if [ ! -d "$WINEPREFIX" ]; then
    log "creating Wine prefix $WINEPREFIX"
    timeout 120 wineboot -i >/dev/null 2>&1
  fi
  wineserver -k >/dev/null 2>&1
  wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /t REG_SZ /d "$pty" /f >/dev/null 2>&1
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
  map_japanese_fonts
  wineserver -w >/dev/null 2>&1
  mkdir -p "$WINEPREFIX/dosdevices"
  ln -sfn "$pty" "$WINEPREFIX/dosdevices/com1"
  wineserver -p 2>>"$work/wineserver.log"
}

win_path() { winepath -w "$1" 2>/dev/null; }

# Starts the program in the work folder (its settings file lies beside it there);
# its process id is left in last_pid.
run_program() {  # run_program OUTPUT-NAME ARGS...
  local name=$1; shift
  (cd "$work" && exec wine ./xrupdate.exe "$@" >"$work/$name.out" 2>&1) &
  last_pid=$!
}
last_pid=
prog_pid=

# A copy left running by a failed step would take over the next step's file.
end_leftover_program() {
  if [ -n "$prog_pid" ] && kill -0 "$prog_pid" 2>/dev/null; then
    log "ending a copy left running"
    kill "$prog_pid" 2>/dev/null
    wait_for 10 process_gone "$prog_pid" || kill -9 "$prog_pid" 2>/dev/null
    wait_for 10 window_gone "$main_title"
  fi
}

# ---------------------------------------------------------------- steps
step_command_line_update() {
  log "1. a file on the command line"
  run_program first "$(win_path "$work/first.sys")"
  prog_pid=$last_pid
  if ! wait_for 60 window_exists "$main_title"; then fail "main window did not appear"; return 1; fi
  if wait_for 60 log_has "Sent packet 6 of 32"; then
    shot main-window-during-update
  fi
  if wait_for 120 log_has "Update completed successfully."; then
    pass "command-line update completed"
  else
    fail "command-line update did not complete"; return 1
  fi
  sleep 1
  shot main-window-after-update
  if cmp -s "$work/first.sys" "$work/received.bin"; then
    pass "the instrument holds the first image byte for byte"
  else
    fail "the received image differs from first.sys"
  fi
  local expected
  for expected in "Starting serial transfer of file" "Port    : COM1" "Sending version check..." \
                  "Version check successful." "Sending 'Set Mode'..." "Set Mode successful." \
                  "Sent packet 1 of 32..." "Sent packet 32 of 32..." "Update completed successfully."; do
    if log_has "$expected"; then pass "log has: $expected"; else fail "log lacks: $expected"; fi
  done
}

step_handover() {
  log "2. a second copy hands over its file"
  local second_pid
  run_program second "$(win_path "$work/second.sys")"
  second_pid=$last_pid
  if wait_for 30 process_gone $second_pid; then
    wait "$second_pid"; local status=$?
    [ $status -eq 0 ] && pass "the second copy exited with 0" || fail "the second copy exited with $status"
  else
    fail "the second copy did not exit"
  fi
  if wait_for 30 log_has "file .*second.sys" && wait_for 120 log_count_at_least "Update completed successfully." 2; then
    pass "the handed-over file was transferred"
  else
    fail "the handed-over file was not transferred"
  fi
  if cmp -s "$work/second.sys" "$work/received.bin"; then
    pass "the instrument holds the second image byte for byte"
  else
    fail "the received image differs from second.sys"
  fi
}

step_stop_dialog() {
  log "3. the stop dialog: Continue, then Abort"
  local second_pid completes
  completes=$(log_count "Update completed successfully.")
  run_program third "$(win_path "$work/third.all")"
  second_pid=$last_pid
  wait "$second_pid" 2>/dev/null
  if ! wait_for 60 log_has "Sent packet 3 of 128"; then fail "the third transfer did not start"; return 1; fi
  keys_to "$main_title" alt+s
  if wait_for 15 window_exists '^Stop transfer$'; then
    pass "the stop dialog opened"
    shot stop-dialog
    local texts
    texts=$(dialog_texts 'Stop transfer')
    if grep -qxF "$(printf '2\tButton\tContinue')" <<<"$texts" &&
       grep -qF 'Are you sure you wish to abort the transfer?' <<<"$texts"; then
      pass "the stop dialog is the English copy (Continue, Are you sure ...)"
    else
      fail "the stop dialog's texts are not the English ones: $texts"
    fi
  else
    fail "the stop dialog did not open"; return 1
  fi
  local before after
  before=$(log_count "Sent packet")
  sleep 1.5
  after=$(log_count "Sent packet")
  [ "$before" = "$after" ] && pass "the transfer holds while the dialog is open" ||
    fail "packets went on while the dialog was open ($before, $after)"
  keys_to '^Stop transfer$' Escape   # "Continue" (Esc sends its id)
  if wait_for 10 window_gone '^Stop transfer$'; then pass "Continue closed the dialog"; else fail "Continue did not close the dialog"; fi
  if wait_for 20 log_count_at_least "Sent packet" $((after + 1)); then
    pass "the transfer went on after Continue"
  else
    fail "the transfer did not go on after Continue"
  fi
  keys_to "$main_title" alt+s
  if ! wait_for 15 window_exists '^Stop transfer$'; then fail "the stop dialog did not open again"; return 1; fi
  keys_to '^Stop transfer$' Tab space   # from "Continue" to "Abort", then press it
  if wait_for 20 log_has "User aborted update"; then pass "Abort logged the user's abort"; else fail "no abort in the log"; fi
  if wait_for 10 window_gone '^Stop transfer$'; then pass "Abort closed the dialog"; else fail "Abort did not close the dialog"; fi
  if [ "$(log_count "Update completed successfully.")" = "$completes" ]; then
    pass "the aborted transfer did not complete"
  else
    fail "the aborted transfer completed"
  fi
  sleep 1
  shot main-window-after-abort
}

step_open_file() {
  log "3b. \"&Update...\": the Open File dialog"
  local completes
  completes=$(log_count "Update completed successfully.")
  sleep 1
  keys_to "$main_title" alt+u
  if wait_for 20 window_exists '^Open File$'; then pass "the Open File dialog opened"; else fail "no Open File dialog"; return 1; fi
  sleep 1
  shot open-file-dialog
  keys_to '^Open File$' ctrl+a
  xdotool type --delay 20 "$(win_path "$work/first.sys")"
  xdotool key Return
  if wait_for 10 window_gone '^Open File$'; then pass "the Open File dialog closed"; else fail "the Open File dialog stayed"; fi
  if wait_for 120 log_count_at_least "Update completed successfully." $((completes + 1)); then
    pass "the chosen file was transferred"
  else
    fail "the chosen file was not transferred"
  fi
  cmp -s "$work/first.sys" "$work/received.bin" && pass "the instrument holds the chosen image byte for byte" ||
    fail "the received image differs from the chosen file"
}

step_config_dialog() {
  log "4. the configuration dialog"
  sleep 1
  keys_to "$main_title" alt+c
  if wait_for 15 window_exists '^Config$'; then pass "the configuration dialog opened"; else fail "no configuration dialog"; return 1; fi
  sleep 0.5
  shot config-dialog
  # "Skip Version Check" (11, 147, 102 x 15 units in a dialog of 197 x 185).
  click_dlu '^Config$' 197 185 30 154
  sleep 0.5
  shot config-dialog-changed
  click_dlu '^Config$' 197 185 71 172   # OK
  if wait_for 10 window_gone '^Config$'; then pass "OK closed the configuration dialog"; else fail "OK did not close the dialog"; fi
  keys_to "$main_title" alt+e
  if wait_for 20 process_gone $prog_pid; then pass "Exit ended the program"; else fail "Exit did not end the program"; fi
  if grep -q '^SkipVersionCheck=1' "$work/xrupdate.ini" 2>/dev/null; then
    pass "the change was saved: SkipVersionCheck=1"
  else
    fail "the settings file lacks SkipVersionCheck=1"
    cat "$work/xrupdate.ini" 2>/dev/null
  fi
}

step_bad_input() {
  log "5. bad input: over-long and missing paths, out-of-range settings"
  end_leftover_program
  local long
  long=$(printf 'C:\\%0300d.sys' 0)
  printf '[XR3300/R SystemUpdate Utility]\r\nComPortNum=9\r\nDeviceType=-4\r\nTransferRate=77\r\nXpos=-99999\r\nYpos=99999999\r\nCurrentPath=Q:\\nowhere\r\nWarning=0\r\n' >"$work/xrupdate.ini"
  run_program bad "$long" 'C:\no\such\file.sys' "$(printf 'x%.0s' $(seq 1 300))"
  prog_pid=$last_pid
  # The over-long paths are refused with a message that says why, before the window.
  if wait_for 60 window_exists '^XR3300/R SystemUpdate Utility$'; then
    if dialog_texts 'XR3300/R SystemUpdate Utility' | grep -q 'longer than 259 characters'; then
      pass "an over-long path is refused with a message naming the reason"
    else
      fail "the message on the over-long path does not name the reason: $(dialog_texts 'XR3300/R SystemUpdate Utility')"
    fi
    shot refused-long-path
    activate_window '^XR3300/R SystemUpdate Utility$' && xdotool key Return
  else
    fail "no message on the over-long path"
  fi
  if wait_for 60 window_exists "$main_title"; then pass "the program started with bad input"; else fail "no window with bad input"; return 1; fi
  keys_to "$main_title" alt+c
  if wait_for 15 window_exists '^Config$'; then
    pass "the program is responsive (configuration dialog)"
    shot config-dialog-bad-settings
    keys_to '^Config$' Escape
    wait_for 10 window_gone '^Config$'
  else
    fail "the program did not respond"
  fi
  keys_to "$main_title" alt+e
  if wait_for 20 process_gone $prog_pid; then pass "Exit ended the program"; else fail "Exit did not end the program"; fi
  if grep -q '^ComPortNum=1' "$work/xrupdate.ini" && grep -q '^TransferRate=0' "$work/xrupdate.ini"; then
    pass "out-of-range settings were saved clamped"
  else
    fail "out-of-range settings were not clamped"; cat "$work/xrupdate.ini"
  fi
}

step_japanese() {
  log "6. the Japanese stop dialog (user language Japanese)"
  end_leftover_program
  rm -f "$work/xrupdate.ini"
  local before
  before=$(log_count "Sent packet")
  (cd "$work" && exec env LC_ALL=ja_JP.UTF-8 LANG=ja_JP.UTF-8 wine ./xrupdate.exe \
      "$(win_path "$work/third.all")" >"$work/ja.out" 2>&1) &
  prog_pid=$!
  if ! wait_for 60 log_count_at_least "Sent packet" $((before + 3)); then
    fail "no transfer in the Japanese run"; return 1
  fi
  keys_to "$main_title" alt+s
  if wait_for 15 window_exists '^Stop transfer$'; then
    pass "the stop dialog opened in the Japanese run"
    sleep 0.5
    shot stop-dialog-japanese
    local texts
    texts=$(dialog_texts 'Stop transfer')
    if grep -qxF "$(printf '2\tButton\t続行')" <<<"$texts" &&
       grep -qxF "$(printf '1\tButton\t停止')" <<<"$texts" &&
       grep -qF '転送を停止してもよろしいですか？' <<<"$texts" && ! grep -qF 'Continue' <<<"$texts"; then
      pass "the stop dialog is the Japanese copy (続行, 停止, 転送を停止してもよろしいですか？)"
    else
      fail "the stop dialog's texts are not the Japanese ones: $texts"
    fi
  else
    fail "no stop dialog in the Japanese run"; return 1
  fi
  keys_to '^Stop transfer$' Tab space
  wait_for 20 window_gone '^Stop transfer$' || fail "the Japanese stop dialog did not close"
  keys_to "$main_title" alt+e
  wait_for 20 process_gone $prog_pid || fail "the Japanese run did not end"
}

step_no_ports() {
  log "7. no serial port at all, no MIDI device listed"
  end_leftover_program
  wineserver -k >/dev/null 2>&1
  wine reg delete 'HKLM\Software\Wine\Ports' /v COM1 /f >/dev/null 2>&1
  wineserver -w >/dev/null 2>&1
  wineserver -p 2>>"$work/wineserver.log"
  # The mount manager starts with the session's first program and maps the
  # serial devices it finds (a /dev/ttyS0 of the machine, say) to COM ports:
  # let it, then leave COM1 to COM4 pointing at nothing.
  wine reg query 'HKLM\Software\Wine\Ports' >/dev/null 2>&1
  local n
  for n in 1 2 3 4 5 6 7 8 9; do
    rm -f "$WINEPREFIX/dosdevices/com$n"
    ln -s /nonexistent/xr-no-port "$WINEPREFIX/dosdevices/com$n"
  done
  rm -f "$work/xrupdate.ini"
  run_program noports "$(win_path "$work/first.sys")"
  prog_pid=$last_pid
  if ! wait_for 60 window_exists "$main_title"; then fail "no window without ports"; return 1; fi
  # The MIDI link cannot open: its message box is the one other window; OK closes it.
  local box=
  wait_for 15 other_window_exists && box=1
  sleep 0.5
  shot no-ports-start
  if [ -n "$box" ]; then
    pass "a message box was shown and is closed with OK"
    xdotool key --clearmodifiers Return
    sleep 1
  fi
  # The MIDI link's start entry: its own blanks, the rate's name and both devices.
  local entry
  entry=$(tr -d '\r' <"$work/vup_log.txt" | grep -A4 "Starting MIDI transfer of file .*first.sys" | tail -5)
  if grep -q "^SkipVer  : No$" <<<"$entry" && grep -q "^XferRate : Very Fast$" <<<"$entry" &&
     grep -q "^MidiOut  : " <<<"$entry" && grep -q "^MidiIn   : " <<<"$entry"; then
    pass "the MIDI start entry has SkipVer  :, XferRate : Very Fast, MidiOut  :, MidiIn   :"
  else
    fail "the MIDI start entry is not as expected: $entry"
  fi
  keys_to "$main_title" alt+c
  if wait_for 15 window_exists '^Config$'; then
    pass "the program is responsive without ports and MIDI devices"
    sleep 0.5
    shot config-dialog-no-ports
    keys_to '^Config$' Escape
    wait_for 10 window_gone '^Config$'
  else
    fail "no configuration dialog without ports"
  fi
  keys_to "$main_title" alt+e
  if wait_for 20 process_gone $prog_pid; then pass "Exit ended the program"; else fail "Exit did not end the program"; fi
}

# A copy of Notepad to hold the focus while the program works behind it.
notepad_title='Untitled - Notepad'
notepad_pid=
start_notepad() {
  # Placed beside the main window, so that both captions stay in sight.
  local v
  for v in iWindowPosX:500 iWindowPosY:300 iWindowPosDX:400 iWindowPosDY:300; do
    wine reg add 'HKCU\Software\Microsoft\Notepad' /v "${v%%:*}" /t REG_DWORD /d "${v##*:}" /f >/dev/null 2>&1
  done
  (cd "$work" && exec wine notepad >"$work/notepad.out" 2>&1) &
  notepad_pid=$!
  wait_for 30 window_exists "^$notepad_title\$"
}
focus_notepad() {
  activate_window "^$notepad_title\$" && wait_for 5 is_active "$notepad_title"
}
end_notepad() {
  if [ -n "$notepad_pid" ] && kill -0 "$notepad_pid" 2>/dev/null; then
    kill "$notepad_pid" 2>/dev/null
    wait_for 10 process_gone "$notepad_pid" || kill -9 "$notepad_pid" 2>/dev/null
  fi
  notepad_pid=
}

# run_second NAME ARGS...: a second copy, waited for; 0 when it exited with 0.
run_second() {
  local name=$1 pid status; shift
  run_program "$name" "$@"
  pid=$last_pid
  if ! wait_for 30 process_gone "$pid"; then kill "$pid" 2>/dev/null; return 1; fi
  wait "$pid"; status=$?
  return $status
}

# A grayed menu command does nothing: no dialog opens. Esc leaves the menu.
menu_does_nothing() {  # menu_does_nothing KEY TITLE
  keys_to "$main_title" "$1"
  local quiet=0
  no_window_within 2 "$2" && quiet=1
  xdotool key --clearmodifiers Escape
  if window_exists "$2"; then keys_to "$2" Escape; wait_for 10 window_gone "$2"; fi
  [ $quiet -eq 1 ]
}

# The program, idle, for the steps of group 8 (started when none runs).
idle_program() {
  if [ -n "$prog_pid" ] && kill -0 "$prog_pid" 2>/dev/null && window_exists "$main_title"; then return 0; fi
  end_leftover_program
  run_program idle
  prog_pid=$last_pid
  wait_for 60 window_exists "$main_title"
}

step_second_copies() {
  log "8. second copies at every moment, one transfer at a time"
  if ! idle_program; then fail "no window for the second-copy steps"; return 1; fi
  local starts completes
  starts=$(start_count)

  log "8a. a second copy without a file, and with /h"
  if start_notepad && focus_notepad; then
    if run_second nofile; then pass "a second copy without a file exited with 0"; else fail "the second copy without a file did not exit with 0"; fi
    if wait_for 10 is_active "$main_title"; then
      pass "a second copy without a file brought the window to the front"
    else
      fail "a second copy without a file did not bring the window to the front"
    fi
    focus_notepad
    if run_second quiet /h; then pass "a second copy with /h exited with 0"; else fail "the second copy with /h did not exit with 0"; fi
    sleep 1
    if is_active "$notepad_title"; then pass "with /h the window stays behind"; else fail "with /h the window came to the front"; fi
    [ "$(start_count)" = "$starts" ] && pass "neither copy started a transfer" || fail "a copy without a file started a transfer"
    [ "$(xdotool search --name "^$main_title\$" 2>/dev/null | wc -l)" = 1 ] && pass "one main window only" ||
      fail "more than one main window"

    log "8b. the flash after an end while Notepad has the focus"
    focus_notepad
    completes=$(log_count "Update completed successfully.")
    run_second flashfile /h "$(win_path "$work/first.sys")"
    if wait_for 120 log_count_at_least "Update completed successfully." $((completes + 1)); then
      pass "a file handed over with /h was transferred behind Notepad"
      sleep 0.3
      local during after
      during=$(caption_colours 12)
      shot main-window-flashing
      [ "$during" -ge 2 ] && pass "the window flashes after the end ($during caption colours)" ||
        fail "the window does not flash after the end ($during caption colour)"
      activate_window "$main_title"
      wait_for 5 is_active "$main_title"
      sleep 0.7
      after=$(caption_colours 8)
      [ "$after" -eq 1 ] && pass "the flash stops once the window has the focus" ||
        fail "the window goes on flashing with the focus ($after caption colours)"
    else
      fail "the file handed over with /h was not transferred"
    fi
    cmp -s "$work/first.sys" "$work/received.bin" && pass "the instrument holds first.sys byte for byte" ||
      fail "the received image differs from first.sys"
  else
    fail "Notepad did not start or take the focus"
  fi
  end_notepad
  activate_window "$main_title"
}

step_race() {
  log "8c. a file handed over while the Open File dialog is open"
  if ! idle_program; then fail "no window for the race steps"; return 1; fi
  local starts completes
  starts=$(start_count)
  local failures_before
  failures_before=$(log_count "Update failed")
  completes=$(log_count "Update completed successfully.")
  keys_to "$main_title" alt+u
  if ! wait_for 20 window_exists '^Open File$'; then fail "no Open File dialog"; return 1; fi
  run_second behind-open "$(win_path "$work/second.sys")" || fail "the second copy did not exit with 0"
  sleep 1.5  # the dialog's loop has long delivered the pieces by now
  activate_window '^Open File$' bottom  # the second copy brought the main window to the front
  [ "$(start_count)" = "$starts" ] && pass "no transfer started behind the Open File dialog" ||
    fail "a transfer started behind the Open File dialog"
  keys_to '^Open File$' ctrl+a
  xdotool type --delay 20 "$(win_path "$work/third.all")"
  shot open-file-dialog-race
  xdotool key Return
  wait_for 10 window_gone '^Open File$' || fail "the Open File dialog stayed"
  # While the chosen file goes: a second copy at once (the version check and Set
  # Mode), one during the packets, one while the stop dialog is open.
  local twentieth
  twentieth=$(log_count "Sent packet 20 of 128")
  run_second early "$(win_path "$work/first.sys")" || fail "the early second copy did not exit with 0"
  if wait_for 60 log_count_at_least "Sent packet 20 of 128" $((twentieth + 1)); then
    run_second during "$(win_path "$work/second.sys")" || fail "the second copy during packets did not exit with 0"
    if menu_does_nothing alt+u '^Open File$'; then pass "\"&Update...\" is gray during the transfer"; else fail "\"&Update...\" opened its dialog during the transfer"; fi
    if menu_does_nothing alt+c '^Config$'; then pass "\"&Config...\" is gray during the transfer"; else fail "\"&Config...\" opened its dialog during the transfer"; fi
    keys_to "$main_title" alt+s
    if wait_for 15 window_exists '^Stop transfer$'; then
      pass "\"&Stop...\" is enabled during the packets"
      # With /h: the main window would cover the small dialog otherwise.
      run_second during-stop /h "$(win_path "$work/first.sys")" || fail "the second copy behind the stop dialog did not exit with 0"
      sleep 1
      keys_to '^Stop transfer$' Escape
      wait_for 10 window_gone '^Stop transfer$' || fail "the stop dialog stayed"
    else
      fail "\"&Stop...\" did not open the stop dialog during the packets"
    fi
  else
    fail "the chosen file's transfer did not reach packet 20"
  fi
  if wait_for 120 log_count_at_least "Update completed successfully." $((completes + 1)); then
    pass "the chosen file's transfer completed"
  else
    fail "the chosen file's transfer did not complete"
  fi
  sleep 1.5  # anything wrongly started would show its start entry by now
  [ "$(start_count)" = $((starts + 1)) ] && pass "one transfer, one start entry, for five requests" ||
    fail "$(( $(start_count) - starts )) start entries for one transfer"
  tr -d '\r' <"$work/vup_log.txt" | grep "Starting .* transfer of file" | tail -1 | grep -q 'third.all$' &&
    pass "the start entry names the chosen file" || fail "the last start entry does not name third.all"
  [ "$(log_count "Update failed")" = "$failures_before" ] && pass "no update failed" || fail "an update failed"
  cmp -s "$work/third.all" "$work/received.bin" && pass "the instrument holds the chosen image byte for byte" ||
    fail "the received image differs from third.all"
  if menu_does_nothing alt+s '^Stop transfer$'; then pass "\"&Stop...\" is gray again after the end"; else fail "\"&Stop...\" opened its dialog after the end"; fi

  log "8d. a file handed over while the configuration dialog is open is held until it closes"
  starts=$(start_count)
  completes=$(log_count "Update completed successfully.")
  keys_to "$main_title" alt+c
  if ! wait_for 15 window_exists '^Config$'; then fail "no configuration dialog"; return 1; fi
  run_second behind-config "$(win_path "$work/second.sys")" || fail "the second copy did not exit with 0"
  sleep 1.5
  activate_window '^Config$' bottom
  [ "$(start_count)" = "$starts" ] && pass "no transfer started behind the configuration dialog" ||
    fail "a transfer started behind the configuration dialog"
  keys_to '^Config$' Escape
  wait_for 10 window_gone '^Config$' || fail "the configuration dialog stayed"
  if wait_for 120 log_count_at_least "Update completed successfully." $((completes + 1)); then
    pass "the held file was transferred once the dialog closed (COM1 was free again: no port left open)"
  else
    fail "the held file was not transferred"
  fi
  sleep 1
  [ "$(start_count)" = $((starts + 1)) ] && pass "one start entry for the held file" ||
    fail "$(( $(start_count) - starts )) start entries for the held file"
  cmp -s "$work/second.sys" "$work/received.bin" && pass "the instrument holds the held image byte for byte" ||
    fail "the received image differs from second.sys"

  log "8e. WM_QUERYENDSESSION during a transfer"
  local fifth aborts
  fifth=$(log_count "Sent packet 5 of 128")
  aborts=$(log_count "User aborted update")
  run_second end-session "$(win_path "$work/third.all")"
  if ! wait_for 60 log_count_at_least "Sent packet 5 of 128" $((fifth + 1)); then fail "the transfer for the session end did not start"; return 1; fi
  probe query-end-session "$main_title" >"$work/qes1.out" &
  local qes=$!
  if wait_for 15 window_exists '^Stop transfer$'; then
    pass "WM_QUERYENDSESSION during a transfer shows the stop dialog"
    keys_to '^Stop transfer$' Escape
  else
    fail "WM_QUERYENDSESSION showed no stop dialog"
  fi
  wait_for 20 process_gone $qes; wait $qes 2>/dev/null
  grep -q '^result 0' "$work/qes1.out" && pass "Continue refuses the session end (0)" ||
    fail "Continue did not refuse the session end: $(cat "$work/qes1.out")"
  local before
  before=$(log_count "Sent packet")
  wait_for 20 log_count_at_least "Sent packet" $((before + 2)) && pass "the transfer goes on after Continue" ||
    fail "the transfer did not go on after Continue"
  probe query-end-session "$main_title" >"$work/qes2.out" &
  qes=$!
  if wait_for 15 window_exists '^Stop transfer$'; then
    keys_to '^Stop transfer$' Tab space
  else
    fail "the second WM_QUERYENDSESSION showed no stop dialog"
  fi
  wait_for 30 process_gone $qes; wait $qes 2>/dev/null
  grep -q '^result 1' "$work/qes2.out" && pass "Abort allows the session end (1)" ||
    fail "Abort did not allow the session end: $(cat "$work/qes2.out")"
  wait_for 10 log_count_at_least "User aborted update" $((aborts + 1)) && pass "the abort is logged" || fail "no abort logged"

  keys_to "$main_title" alt+e
  if wait_for 20 process_gone $prog_pid; then pass "Exit ended the program"; else fail "Exit did not end the program"; fi
}

# The instrument is restarted with other options; COM1 follows it to its new pty.
restart_sim() {  # restart_sim XRSIM-OPTIONS...
  kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  : >"$work/sim.out"
  "$xrsim" --image "$work/received.bin" "$@" >"$work/sim.out" 2>"$work/sim.err" &
  sim_pid=$!
  wait_for 10 grep -q '^/dev/' "$work/sim.out" || return 1
  pty=$(grep -m1 '^/dev/' "$work/sim.out")
  wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /t REG_SZ /d "$pty" /f >/dev/null 2>&1
  ln -sfn "$pty" "$WINEPREFIX/dosdevices/com1"
  log "simulated instrument restarted on $pty ($*)"
}

step_setmode() {
  log "9. the instrument slow to answer Set Mode"
  end_leftover_program
  restart_sim --delay setmode:4500 --system-version 1.00 || { fail "the instrument did not restart"; return 1; }
  local starts completes
  starts=$(start_count)
  completes=$(log_count "Update completed successfully.")
  local setmodes
  setmodes=$(log_count "Sending 'Set Mode'")
  run_program setmode "$(win_path "$work/third.all")"
  prog_pid=$last_pid
  if ! wait_for 60 window_exists "$main_title"; then fail "no window"; return 1; fi
  if ! wait_for 60 log_count_at_least "Sending 'Set Mode'" $((setmodes + 1)); then
    fail "no Set Mode sent"; return 1
  fi
  local answered
  answered=$(log_count "Set Mode successful.")
  run_second before-setmode "$(win_path "$work/first.sys")" &
  local second=$!
  if menu_does_nothing alt+s '^Stop transfer$'; then pass "\"&Stop...\" is gray before Set Mode is answered"; else fail "\"&Stop...\" opened its dialog before Set Mode was answered"; fi
  wait $second && pass "a second copy before Set Mode exited with 0" || fail "the second copy before Set Mode did not exit with 0"
  if [ "$(log_count "Set Mode successful.")" = "$answered" ]; then
    log "(the second copy had handed over its file before Set Mode was answered)"
  else
    log "(the second copy handed over its file only after Set Mode was answered)"
  fi
  if wait_for 120 log_count_at_least "Update completed successfully." $((completes + 1)); then
    pass "the transfer completed"
  else
    fail "the transfer did not complete"
  fi
  sleep 1
  [ "$(start_count)" = $((starts + 1)) ] && pass "one start entry with a second copy before Set Mode" ||
    fail "$(( $(start_count) - starts )) start entries"
  cmp -s "$work/third.all" "$work/received.bin" && pass "the instrument holds the image byte for byte" ||
    fail "the received image differs from third.all"
  keys_to "$main_title" alt+e
  wait_for 20 process_gone $prog_pid || fail "Exit did not end the program"
  restart_sim --delay all:60 --system-version 1.00 || fail "the instrument did not restart"
}

window_place() {  # the main window's left and top, "X Y"
  local id geometry
  id=$(window_id "$main_title")
  [ -n "$id" ] || return 1
  geometry=$(xdotool getwindowgeometry --shell "$id") || return 1
  eval "$geometry"
  echo "$X $Y"
}

step_placement() {
  log "10. the window opens where it was saved"
  end_leftover_program
  local place
  # A monitor left of and above the primary one has negative coordinates.
  printf '[XR3300/R SystemUpdate Utility]\r\nXpos=-1500\r\nYpos=-400\r\nWarning=0\r\n' >"$work/xrupdate.ini"
  run_program place-negative
  prog_pid=$last_pid
  if ! wait_for 60 window_exists "$main_title"; then fail "no window at a negative place"; return 1; fi
  sleep 0.5
  place=$(window_place)
  [ "$place" = "-1500 -400" ] && pass "a place left of and above the screen is kept (-1500, -400)" ||
    fail "the window was moved from (-1500, -400) to ($place)"
  # Keys cannot reach a window off the screen: the close box's message instead.
  probe close "$main_title"
  wait_for 20 process_gone $prog_pid || fail "the program did not close"
  grep -q '^ComPortNum=' "$work/xrupdate.ini" && grep -q '^Xpos=-1500' "$work/xrupdate.ini" &&
    grep -q '^Ypos=-400' "$work/xrupdate.ini" && pass "the negative place is saved as it was" || fail "the saved place changed: $(grep pos "$work/xrupdate.ini")"
  # At the right edge of the screen (1024 wide) nothing of the window is left.
  printf '[XR3300/R SystemUpdate Utility]\r\nXpos=1100\r\nYpos=30\r\nWarning=0\r\n' >"$work/xrupdate.ini"
  run_program place-beyond
  prog_pid=$last_pid
  if ! wait_for 60 window_exists "$main_title"; then fail "no window beyond the right edge"; return 1; fi
  sleep 0.5
  place=$(window_place)
  [ "$place" = "40 30" ] && pass "a place beyond the right edge falls back to (40, 30)" ||
    fail "a place beyond the right edge gave ($place)"
  keys_to "$main_title" alt+e
  wait_for 20 process_gone $prog_pid || fail "Exit did not end the program"
  rm -f "$work/xrupdate.ini"
}

# Every static text of both dialogs, English and Japanese, fits its control
# when laid out in the dialog's own font.
step_layout() {
  log "12. the dialogs' texts fit their controls in both languages"
  local out status
  out=$(wine "$probe_exe" fit "$(win_path "$exe")" 2>&1); status=$?
  out=$(tr -d '\r' <<<"$out")
  printf '%s\n' "$out" >"$artifacts/dialog-fit.txt"
  local dialog language
  for dialog in STOP_DIALOG CONFIG_DIALOG; do
    for language in English Japanese; do
      if ! grep -q "	$dialog	$language	" <<<"$out"; then
        fail "$dialog ($language): no texts measured"
      elif grep -q "^CUT	$dialog	$language	" <<<"$out"; then
        fail "$dialog ($language): a text is cut: $(grep "^CUT	$dialog	$language	" <<<"$out" | head -3)"
      else
        pass "$dialog ($language): every text fits ($(grep -c "	$dialog	$language	" <<<"$out") texts)"
      fi
    done
  done
  [ "$status" -eq 0 ] || fail "the probe's fit check ended with $status"
}

# A path written with "/" names the file the user named: sub/f.sys, in a folder
# that also holds another f.sys, sends sub\f.sys; so does Z:/.../sub/f.sys.
step_slash_path() {
  log "13. command-line paths written with \"/\""
  end_leftover_program
  mkdir -p "$work/sub"
  make_image "$work/sub/f.sys" 0 100 4 44
  make_image "$work/f.sys" 0 100 5 55
  local arg completes n=0
  for arg in "sub/f.sys" "$(win_path "$work/sub/f.sys" | tr '\\' '/')"; do
    n=$((n + 1))
    completes=$(log_count "Update completed successfully.")
    run_program "slash$n" "$arg"
    prog_pid=$last_pid
    if wait_for 120 log_count_at_least "Update completed successfully." $((completes + 1)); then
      tr -d '\r' <"$work/vup_log.txt" | grep "Starting .* transfer of file" | tail -1 | grep -q '\\sub\\f\.sys$' &&
        pass "$arg: the start entry names sub\\f.sys" || fail "$arg: the start entry names another file"
      cmp -s "$work/sub/f.sys" "$work/received.bin" && pass "$arg: the instrument holds sub/f.sys byte for byte" ||
        fail "$arg: the instrument holds another file"
    else
      fail "$arg: the transfer did not complete"
    fi
    keys_to "$main_title" alt+e
    wait_for 20 process_gone "$prog_pid" || fail "$arg: Exit did not end the program"
  done
}

# The "Open File" dialog takes a path as long as a path may be (259 characters)
# and sends that file; a longer one is refused with a message, never cut.
open_file_typed() {  # open_file_typed WINDOWS-PATH
  keys_to "$main_title" alt+u
  wait_for 20 window_exists '^Open File$' || return 1
  sleep 1
  keys_to '^Open File$' ctrl+a
  xdotool type --delay 5 "$1"
  xdotool key Return
}
step_open_file_long() {
  log "14. long paths in the Open File dialog"
  end_leftover_program
  local base fill folder path completes refused
  base=$(win_path "$work")
  # A folder whose name brings the file's full path to exactly 259 characters.
  fill=$((259 - ${#base} - 1 - 1 - 8))
  folder=$(printf 'L%.0s' $(seq "$fill"))
  mkdir -p "$work/$folder"
  make_image "$work/$folder/long.sys" 0 100 6 66
  path="$base\\$folder\\long.sys"
  log "a path of ${#path} characters"
  run_program open-long
  prog_pid=$last_pid
  wait_for 60 window_exists "$main_title" || { fail "no window"; return 1; }
  completes=$(log_count "Update completed successfully.")
  open_file_typed "$path" || { fail "no Open File dialog"; return 1; }
  if wait_for 120 log_count_at_least "Update completed successfully." $((completes + 1)); then
    pass "a path of ${#path} characters is taken whole and sent"
    cmp -s "$work/$folder/long.sys" "$work/received.bin" && pass "the instrument holds the long-named file byte for byte" ||
      fail "the instrument holds another file"
  else
    fail "the file with a path of ${#path} characters was not sent"
  fi
  # One character more: refused with a message.
  mkdir -p "$work/${folder}X"
  make_image "$work/${folder}X/long.sys" 0 100 7 77
  refused=$(start_count)
  open_file_typed "$base\\${folder}X\\long.sys" || { fail "no Open File dialog"; return 1; }
  if wait_for 15 window_exists '^XR3300/R SystemUpdate Utility$'; then
    shot open-file-too-long
    dialog_texts 'XR3300/R SystemUpdate Utility' | grep -q 'longer than 259 characters' &&
      pass "a 260-character path is refused with a message naming the reason" ||
      fail "the message does not name the reason"
    activate_window '^XR3300/R SystemUpdate Utility$' && xdotool key Return
  else
    fail "no message on a 260-character path"
    window_exists '^Open File$' && keys_to '^Open File$' Escape
  fi
  sleep 1
  [ "$(start_count)" = "$refused" ] && pass "nothing was sent for the over-long path" ||
    fail "a transfer started for the over-long path"
  keys_to "$main_title" alt+e
  wait_for 20 process_gone "$prog_pid" || fail "Exit did not end the program"
}

# ---------------------------------------------------------------- run
start_display || { echo "win32-gui-test: no X display" >&2; exit 2; }
log "display $DISPLAY, work folder $work"
start_sim || { echo "win32-gui-test: the simulated instrument did not start" >&2; cat "$work/sim.err" >&2; exit 2; }
prepare_wine
cp "$exe" "$work/xrupdate.exe"
make_image "$work/first.sys" 0 100 1 11
make_image "$work/second.sys" 0 100 2 22
make_image "$work/third.all" 3 100 3 33

if wanted update || wanted handover || wanted stop || wanted open-file; then
  wanted update && step_command_line_update &&
    { ! wanted handover || step_handover; } &&
    { ! wanted stop || step_stop_dialog; } &&
    { ! wanted open-file || step_open_file; }
fi
if wanted config; then
  # Without the steps before it, the program is started here.
  if ! wanted update; then
    run_program config
    prog_pid=$last_pid
    wait_for 60 window_exists "$main_title"
  fi
  step_config_dialog
fi
wanted second-copy && step_second_copies
wanted race && step_race
wanted setmode && step_setmode
wanted bad-input && step_bad_input
wanted placement && step_placement
wanted japanese && step_japanese
# These need COM1 on the instrument: before the step that takes every port away.
wanted layout && step_layout
wanted slash-path && step_slash_path
wanted open-file-long && step_open_file_long
wanted no-ports && step_no_ports
end_leftover_program
end_notepad

cp "$work/vup_log.txt" "$artifacts/vup_log.txt" 2>/dev/null
echo
log "$((checks - failures)) of $checks checks passed; artifacts in $artifacts"
[ $failures -eq 0 ]
