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
export WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml=" HOME="$WINEPREFIX.home"
# Wine's own error messages, but for those on the missing display, go to the error output.
export WINEDEBUG=-all,err+all,err-winediag,err-systray
unset DISPLAY WAYLAND_DISPLAY TMP TEMP

# Debian's Wine has no preloader: wine64, linked at 0x7d000000, gets its heap at a random address
# up to 1 GiB above, and one start in about a thousand finds the heap where Wine must reserve
# 0x7ff00000 to 0x7fff0000: it ends at once ("failed to map the shared user data"), a program
# started from Linux with status 1 and no output, one started by a Windows parent with
# ERROR_INTERNAL_ERROR. Without address randomization (setarch -R, which the programs Wine starts
# inherit) the heap starts just after wine64, clear of that range.
mkdir -p "$HOME"
(
  flock 9
  if [ ! -f "$WINEPREFIX/.qor-cut-off" ]; then
    setarch -R wine wineboot -i >/dev/null 2>&1
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
# wineserver, outlive it: a pipe given to them would never close, so the output and the error
# output go through files, passed on to their own streams once the program has ended.
output=$(mktemp "$WINEPREFIX.output.XXXXXX")
errors=$(mktemp "$WINEPREFIX.errors.XXXXXX")
trap 'rm -f "$output" "$errors"' EXIT
status=0
setarch -R wine "$@" >"$output" 2>"$errors" </dev/null || status=$?
cat "$output"
cat "$errors" >&2
exit "$status"
