#!/usr/bin/env bash
# Runs a Windows program under Wine in a throwaway prefix: wine-run.sh PREFIX PROGRAM [ARGS...]
# The prefix is made on first use, and a persistent wineserver keeps later starts fast.
set -euo pipefail
prefix=$1
shift
mkdir -p "$(dirname "$prefix")"
export WINEPREFIX=$prefix
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-winemenubuilder.exe=d;mscoree,mshtml=}
unset DISPLAY_FOR_WINE 2>/dev/null || true

{
  flock 9
  if [ ! -f "$prefix/system.reg" ]; then
    WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree,mshtml=" wineboot -i >/dev/null 2>&1 9>&-
    wineserver -w 9>&-
    # Wine links Desktop, Downloads, Documents... to the host user's home folder; tests write and
    # delete in those folders, so make them plain folders of the prefix.
    for link in "$prefix"/drive_c/users/*/*; do
      if [ -L "$link" ]; then
        rm "$link" && mkdir "$link"
      fi
    done
  fi
  # The server outlives this script: it must not inherit the lock or our output.
  wineserver -p >/dev/null 2>&1 9>&- || true
} 9>"$prefix.lock"

# Wine's own services (winedevice, plugplay...) outlive the program and keep every descriptor
# they inherit open; give them files, never the caller's pipes, or the caller waits for ever.
out=$(mktemp)
err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
status=0
wine "$@" </dev/null >"$out" 2>"$err" || status=$?
cat "$out"
cat "$err" >&2
exit "$status"
