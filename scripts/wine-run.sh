#!/usr/bin/env bash
# Runs a Windows program under Wine in a scratch prefix of its own.
#   wine-run.sh PREFIX PROGRAM [ARGUMENTS...]
# The prefix is made on first use and cut off from the Linux file system: the drive Z: (mapped to
# /) and every other drive but C: go, and so do the links Wine makes from the user folders to
# $HOME. Every run checks that no drive but C: and no link in C: leads out of it, so a program
# under test that deletes files can reach only the prefix's C:.
set -euo pipefail
export WINEPREFIX
WINEPREFIX=$(realpath -m "$1")
shift
export WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" HOME="$WINEPREFIX.home"
unset DISPLAY WAYLAND_DISPLAY TMP TEMP

mkdir -p "$HOME"
(
  flock 9
  if [ ! -f "$WINEPREFIX/.qor-cut-off" ]; then
    wine wineboot -i >/dev/null 2>&1
    find "$WINEPREFIX/dosdevices" -mindepth 1 ! -name c: -delete
    find "$WINEPREFIX/drive_c" -type l -exec sh -c 'rm "$1" && mkdir "$1"' _ {} \;
    touch "$WINEPREFIX/.qor-cut-off"
  fi
) 9>"$WINEPREFIX.lock"
drive=$(realpath "$WINEPREFIX/drive_c")
if ls "$WINEPREFIX/dosdevices" | grep -x '[abd-z]:' ||
  find "$drive" -type l -exec realpath -m {} + | grep -v "^$drive/"; then
  echo "wine-run.sh: the drives or links above lead out of $drive; not running" >&2
  exit 1
fi

# Wine's background processes inherit the first program's output and, under a persistent
# wineserver, outlive it: a pipe given to them would never close, so the output goes through a
# file, passed on once the program has ended.
output=$(mktemp "$WINEPREFIX.output.XXXXXX")
trap 'rm -f "$output"' EXIT
status=0
wine "$@" >"$output" 2>&1 </dev/null || status=$?
cat "$output"
exit "$status"
