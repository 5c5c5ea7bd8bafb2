#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when some are missing.
# Needs root for apt-get; without root it only says what is missing.
set -u
packages=(
  cmake ninja-build g++ pkg-config
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libasound2-dev libncurses-dev
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686
  wine64 wine xvfb xdotool imagemagick tmux python3
  dpkg-dev man-db groff-base
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages (run as root to install them): ${missing[*]}" >&2
  exit 1
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q >/dev/null && apt-get install -y -q "${missing[@]}" >/tmp/xr-apt.log 2>&1 || {
  echo "apt-get install failed; see /tmp/xr-apt.log" >&2
  tail -20 /tmp/xr-apt.log >&2
  exit 1
}
