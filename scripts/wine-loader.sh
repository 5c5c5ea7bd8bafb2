# Sourced by the scripts that run Windows programs under Wine.
#
# Debian's "wine" command starts the 32-bit loader whenever 32-bit Wine is
# installed, also for a 64-bit program, and every Wine tool (wineboot,
# winepath, ...) goes through it. On a machine whose kernel does not execute
# 32-bit code that loader fails ("Exec format error"), so there the 64-bit
# loader is put first in PATH under both names, as Debian does itself where
# 32-bit Wine is missing. Nothing changes where 32-bit code runs.
xr_wine_loader_fix() {
  local here loader32=/usr/lib/wine/wine loader64=/usr/lib/wine/wine64 bin
  here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
  [ -x "$loader32" ] && [ -x "$loader64" ] || return 0
  "$here/probe-i386.sh" kernel >/dev/null && return 0
  bin=${TMPDIR:-/tmp}/xr-wine64-$(id -u)
  case ":$PATH:" in *":$bin:"*) return 0 ;; esac
  mkdir -p "$bin" || return 1
  printf '#!/bin/sh\nexport WINELOADER=%s\n[ -n "$WINEDEBUG" ] || export WINEDEBUG=fixme-all\nexec %s "$@"\n' \
    "$loader64" "$loader64" >"$bin/wine"
  chmod +x "$bin/wine"
  ln -sfn wine "$bin/wine-stable"
  export WINELOADER=$loader64
  export PATH="$bin:$PATH"
}
xr_wine_loader_fix
