#!/usr/bin/env bash
# Runs a Windows program under Wine in a scratch prefix of its own.
#   wine-run.sh PREFIX PROGRAM [ARGUMENTS...]
# The prefix is made on first use (wineboot -i, once, under a lock) and then
# cut off from the Linux file system: the drive Z: (mapped to /) and every
# other device link go, and so do the links Wine makes from the user folders
# to $HOME. Every run checks that this still holds before it starts anything,
# so a program under test that deletes files can reach only the prefix's C:.
set -euo pipefail

if [ "$#" -lt 2 ]; then
  echo "usage: $0 PREFIX PROGRAM [ARGUMENTS...]" >&2
  exit 2
fi
prefix=$(realpath -m "$1")
shift

export WINEPREFIX="$prefix"
export WINEARCH=win64
export WINEDEBUG=-all
# No Mono or Gecko installer prompts.
export WINEDLLOVERRIDES="mscoree,mshtml="
# Wine links the user's Documents, Desktop and so on to $HOME: keep that
# inside the scratch area too.
export HOME="$prefix.home"
unset DISPLAY WAYLAND_DISPLAY TMP TEMP

if command -v wine >/dev/null 2>&1; then
  wine=wine
elif [ -x /usr/lib/wine/wine64 ]; then
  wine=/usr/lib/wine/wine64
else
  echo "wine-run.sh: Wine is not installed" >&2
  exit 127
fi

cut_off() {
  local entry
  for entry in "$prefix"/dosdevices/*; do
    [ "${entry##*/}" = "c:" ] || rm -f "$entry"
  done
  find "$prefix/drive_c" -type l -exec sh -c 'rm -f "$1" && mkdir -p "$1"' _ {} \;
}

# Refuses to run when any drive or link leads out of the prefix's C: drive.
check_cut_off() {
  local drive_c entry name target
  drive_c=$(realpath "$prefix/drive_c")
  # Wine re-creates the serial port links (com1 -> /dev/ttyS0) at every
  # start; they name devices, not folders, so they can stay. A drive letter
  # or any link to a folder other than C: cannot.
  for entry in "$prefix"/dosdevices/*; do
    name=${entry##*/}
    target=$(realpath -m "$entry")
    [ "$name" = "c:" ] && [ "$target" = "$drive_c" ] && continue
    if [[ "$name" == ?: ]] || [ -d "$entry" ]; then
      echo "wine-run.sh: $entry leads to $target, outside the scratch drive; not running" >&2
      return 1
    fi
  done
  while IFS= read -r -d '' entry; do
    target=$(realpath -m "$entry")
    case "$target" in
      "$drive_c"/*) ;;
      *)
        echo "wine-run.sh: $entry leads to $target, outside the scratch drive; not running" >&2
        return 1
        ;;
    esac
  done < <(find "$drive_c" -type l -print0)
}

mkdir -p "$(dirname "$prefix")"
(
  flock 9
  if [ ! -f "$prefix/.qor-cut-off" ]; then
    rm -rf "$prefix" "$HOME"
    mkdir -p "$HOME"
    "$wine" wineboot -i >/dev/null 2>&1
    cut_off
    touch "$prefix/.qor-cut-off"
  fi
  check_cut_off
) 9>"$prefix.lock"

# Wine starts its own background processes (services, devices) from the
# first program that needs them, and they inherit that program's output.
# With a persistent wineserver they outlive the program, so a pipe given to
# them would never close and ctest would wait for it forever: the output goes
# through a file instead, passed on once the program has ended.
output=$(mktemp "$prefix.output.XXXXXX")
trap 'rm -f "$output"' EXIT
status=0
"$wine" "$@" >"$output" 2>&1 </dev/null || status=$?
cat "$output"
exit "$status"
