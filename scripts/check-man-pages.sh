#!/usr/bin/env bash
# Checks that the manual pages are in step with the programs' --help: every
# option the help names is described in the page, and the pages format without
# warnings.
#   scripts/check-man-pages.sh BUILD     (xrupdate and xrsim built in BUILD)
set -u
cd "$(dirname "$0")/.."
build=${1:-build/native}
failed=0
for program in xrupdate xrsim; do
  page=doc/$program.1
  [ -f "$page" ] || { echo "missing $page"; failed=1; continue; }
  # In the page's source a minus sign is written "\-".
  source=$(sed 's/\\-/-/g' "$page")
  for option in $("$build/$program" --help | grep -oE -- '--[a-z][a-z0-9-]*' | sort -u); do
    if ! grep -qE -- "(^|[^a-z0-9-])${option}([^a-z0-9-]|$)" <<<"$source"; then
      echo "$page: $option (from $program --help) is not described"
      failed=1
    fi
  done
  warnings=$(LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z "$page" 2>&1)
  if [ -n "$warnings" ]; then
    echo "$page: $warnings"
    failed=1
  fi
done
# The settings keys and the files the program writes, as --help names them.
for word in Com1Device Com4Device vup_log.txt test.dat XDG_CONFIG_HOME .config/xrupdate/xrupdate.ini; do
  grep -qF -- "$word" <("$build/xrupdate" --help) || { echo "xrupdate --help does not name $word"; failed=1; }
  grep -qF -- "$word" <(sed 's/\\-/-/g' doc/xrupdate.1) || { echo "doc/xrupdate.1 does not name $word"; failed=1; }
done
[ "$failed" -eq 0 ] && echo "manual pages in step with --help"
[ "$failed" -eq 0 ]
