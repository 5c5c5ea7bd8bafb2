#!/usr/bin/env bash
# Says whether this machine can run the 32-bit (i686) Windows program under Wine.
#
#   usage: probe-i386.sh [kernel|wine]
#
# "kernel": only whether the kernel executes 32-bit x86 code. A hand-made static
# ELF32 i386 program of 96 bytes (exit status 42 through int 0x80) is written to
# a temporary file and run. "wine" (the default): that, and 32-bit Wine installed.
# Exit status 0 when it can; otherwise 1, with one line on stdout saying why.
set -u
what=${1:-wine}

kernel_runs_i386() {
  local dir probe status
  dir=$(mktemp -d) || return 1
  probe=$dir/probe32
  # ELF header (52 bytes), one loadable segment (32 bytes) at 0x08048000, and
  # the code at 0x08048054: mov ebx, 42; mov eax, 1 (exit); int 0x80.
  printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'\
'\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00'\
'\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00'\
'\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08'\
'\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00'\
'\xbb\x2a\x00\x00\x00\xb8\x01\x00\x00\x00\xcd\x80' >"$probe"
  chmod +x "$probe"
  "$probe" 2>/dev/null
  status=$?
  rm -rf "$dir"
  [ $status -eq 42 ]
}

if [ "$(uname -m)" != x86_64 ] && [ "$(uname -m)" != i686 ] && [ "$(uname -m)" != i386 ]; then
  echo "this machine is $(uname -m), not x86: it cannot run the i686 program"
  exit 1
fi
if ! kernel_runs_i386; then
  echo "this kernel does not execute 32-bit x86 programs (its 32-bit emulation is off or missing; the kernel option ia32_emulation=on at boot allows it)"
  exit 1
fi
[ "$what" = kernel ] && exit 0
if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'; then
  echo "32-bit Wine (wine32:i386) is not installed"
  exit 1
fi
exit 0
