#!/usr/bin/env bash
# A whole update on this machine, with no instrument: builds the program and the
# simulated instrument (xrsim), makes a sample SYSTEM update file, puts xrsim
# behind COM1 on a pseudo-terminal through a temporary settings file, and opens
# the terminal front end on the sample. When you leave it (E), checks that the
# simulated instrument received the sample byte for byte.
#
#   scripts/demo.sh            (in a terminal of at least 80x20; Ctrl-C or E ends it)
#
# Without a terminal (CI, a pipe) the same update runs headless (xrupdate --batch).
set -u
cd "$(dirname "$0")/.."
root=$(pwd)
build=${XR_DEMO_BUILD:-$root/build/demo}

scripts/install-deps.sh || exit 1
# A fresh clone has no build folder yet; the logs are written beside it.
mkdir -p "$build" || exit 1
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" --preset package -B "$build" >"$build.configure.log" 2>&1 ||
    { cat "$build.configure.log"; exit 1; }
fi
echo "building xrupdate and xrsim in $build ..."
cmake --build "$build" -j 2 --target xrupdate xrsim >"$build.build.log" 2>&1 ||
  { tail -30 "$build.build.log"; exit 1; }

work=$(mktemp -d /tmp/xrupdate-demo.XXXXXX)
sim_pid=
finish() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
}
trap finish EXIT

# The sample: a SYSTEM image of 262144 bytes, version 2.00 (the simulated
# instrument reports 1.00, so the version check lets it through).
sample=$work/sample.sys
{ printf 'PELD\002\000\130\000'; head -c $((262144 - 8)) /dev/urandom; } >"$sample"

"$build/xrsim" --image "$work/received.bin" >"$work/xrsim.out" 2>"$work/xrsim.err" &
sim_pid=$!
pty=
for _ in $(seq 100); do
  pty=$(head -n1 "$work/xrsim.out" 2>/dev/null)
  [ -n "$pty" ] && break
  sleep 0.05
done
[ -n "$pty" ] || { echo "xrsim did not start:" >&2; cat "$work/xrsim.err" >&2; exit 1; }

cat >"$work/xrupdate.ini" <<EOF
[XR3300/R SystemUpdate Utility]
Warning=0
DeviceType=0
ComPortNum=1
Com1Device=$pty
Com2Device=$work/none
Com3Device=$work/none
Com4Device=$work/none
CurrentPath=$work
EOF

# A folder of its own for the single-copy socket: the demo never hands its file
# to a copy of the program that the user already runs.
export XDG_RUNTIME_DIR=$work/run
mkdir -m 700 "$XDG_RUNTIME_DIR"

echo "simulated XR3300 on $pty; sample update $sample"
if [ -t 0 ] && [ -t 1 ]; then
  (cd "$work" && "$build/xrupdate" --ini "$work/xrupdate.ini" "$sample")
else
  (cd "$work" && "$build/xrupdate" --batch --ini "$work/xrupdate.ini" "$sample")
fi
status=$?

echo "support log: $work/vup_log.txt"
if cmp -s "$sample" "$work/received.bin"; then
  echo "The simulated XR3300 received the sample byte for byte ($(stat -c %s "$sample") bytes)."
  exit 0
fi
if [ -f "$work/received.bin" ]; then
  echo "The simulated XR3300 received an image that differs from the sample." >&2
else
  echo "The simulated XR3300 did not receive a whole image (xrupdate ended with $status)." >&2
fi
exit 1
