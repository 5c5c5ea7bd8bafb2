#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when some are missing.
# Where the machine executes 32-bit x86 code, 32-bit Wine (wine32:i386, with the
# i386 architecture added) is among them, to run the shipped i686 program; where
# it cannot, one line says so and the i686 run stages are skipped.
# QEMU, busybox, alsa-utils and udev are for the real-MIDI stage, which fetches
# Debian's kernel itself (scripts/real-midi.py).
# Needs root for apt-get; without root it only says what is missing.
set -u
here=$(cd "$(dirname "$0")" && pwd)
packages=(
  cmake ninja-build g++ pkg-config
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libasound2-dev libncurses-dev
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686
  wine64 wine xvfb xdotool imagemagick tmux python3 fonts-ipafont-gothic
  dpkg-dev man-db groff-base ccache clang libclang-rt-14-dev locales strace
  qemu-system-x86 busybox-static alsa-utils udev
  emscripten chromium chromium-driver python3-selenium python3-pytest python3-pexpect nodejs
)
add_i386=0
if reason=$("$here/probe-i386.sh" kernel); then
  packages+=(wine32:i386)
  dpkg --print-foreign-architectures 2>/dev/null | grep -qx i386 || add_i386=1
else
  echo "32-bit Wine is not installed by this script, and the i686 run stages are skipped: $reason"
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
# npm (for the page's checker): some Node.js packages carry their own npm and
# conflict with Debian's, so the package is asked for only when the command is missing.
command -v npm >/dev/null 2>&1 || missing+=(npm)
# The Japanese locale: Wine takes the Windows program's Japanese code page (932,
# where "\" can be the second byte of a character) from it.
japanese_locale() {
  locale -a 2>/dev/null | grep -qix 'ja_JP\.utf-\?8' && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "the locale ja_JP.UTF-8 is missing (run as root to make it)" >&2
    return 1
  fi
  echo "making the locale ja_JP.UTF-8"
  grep -qx 'ja_JP.UTF-8 UTF-8' /etc/locale.gen 2>/dev/null || echo 'ja_JP.UTF-8 UTF-8' >>/etc/locale.gen
  locale-gen >/tmp/xr-locale.log 2>&1 || { echo "locale-gen failed; see /tmp/xr-locale.log" >&2; return 1; }
}
if [ ${#missing[@]} -eq 0 ]; then
  japanese_locale
  exit
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages (run as root to install them): ${missing[*]}" >&2
  [ $add_i386 -eq 1 ] && echo "and first: dpkg --add-architecture i386" >&2
  exit 1
fi
if [ $add_i386 -eq 1 ]; then
  echo "adding the i386 architecture"
  dpkg --add-architecture i386 || { echo "dpkg --add-architecture i386 failed" >&2; exit 1; }
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q >/dev/null || echo "apt-get update reported errors (above); installing from the lists it has" >&2
install() { apt-get install -y -q "$@" >/tmp/xr-apt.log 2>&1; }
if ! install "${missing[@]}"; then
  mv /tmp/xr-apt.log /tmp/xr-apt-all.log
  # 32-bit Wine needs the i386 lists whole; where the archive cannot give them
  # (a mirror mid-sync), the rest is still installed and the i686 run stages
  # say SKIP, since 32-bit Wine is missing.
  rest=()
  for p in "${missing[@]}"; do [ "$p" = wine32:i386 ] || rest+=("$p"); done
  if [ ${#rest[@]} -lt ${#missing[@]} ] && install "${rest[@]}"; then
    echo "32-bit Wine (wine32:i386) could not be installed (see /tmp/xr-apt-all.log), the rest was: the i686 run stages are skipped" >&2
  else
    echo "apt-get install failed; see /tmp/xr-apt.log" >&2
    tail -20 /tmp/xr-apt.log >&2
    exit 1
  fi
fi
japanese_locale
