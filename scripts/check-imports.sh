#!/usr/bin/env bash
# Checks that every Windows executable in a build folder imports system DLLs only
# (the runtime is linked statically).
set -u
dir=$1
allowed='^(kernel32|user32|gdi32|comdlg32|winmm|msvcrt|advapi32|shell32|comctl32|ws2_32|ole32|api-ms-win-.*)\.dll$'
status=0
found=0
while IFS= read -r exe; do
  found=1
  dlls=$(i686-w64-mingw32-objdump -p "$exe" 2>/dev/null | awk '/DLL Name:/ {print tolower($3)}' | sort -u)
  echo "$(basename "$exe"): $(echo $dlls)"
  for d in $dlls; do
    if ! [[ $d =~ $allowed ]]; then echo "  not a system DLL: $d"; status=1; fi
  done
done < <(find "$dir" -maxdepth 2 -name '*.exe')
[ $found -eq 1 ] || { echo "no executables in $dir"; exit 1; }
exit $status
