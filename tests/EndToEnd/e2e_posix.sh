#!/usr/bin/env bash
# End-to-end runs of the built QOR_DelTmp on Linux.
# The tool deletes files as root in fixed system folders, so every run happens
# in its own private mount namespace with scratch folders mounted over those
# folders; the real /var/tmp, /var/lib, /var/spool, /tmp and /etc are never
# written. Files are laid out and checked from outside through the scratch
# paths, which are the same files the tool saw.
#
# Usage: e2e_posix.sh BINARY [GROUP...]   (no GROUP: every group but interrupt)
# Exit status: 0 all checks passed, 1 a check failed, 77 cannot run here.
set -uo pipefail
export LC_ALL=C  # arguments and names are bytes

readonly SKIP=77
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/EndToEnd/assert.sh
source "$here/assert.sh"

[ $# -ge 1 ] || { echo "usage: $0 BINARY [GROUP...]" >&2; exit 2; }
bin=$1
shift
[ -x "$bin" ] || { echo "not an executable: $bin" >&2; exit 2; }

skip() {
  echo "SKIPPED: $*"
  exit "$SKIP"
}

# --- Can this machine isolate a run? ------------------------------------------

[ "$(id -u)" -eq 0 ] || skip "needs root: mount namespaces and bind mounts (CI runs as root)"
command -v unshare >/dev/null || skip "unshare (util-linux) is not installed"
unshare --mount --propagation private true 2>/dev/null ||
  skip "unshare --mount is not permitted here (no CAP_SYS_ADMIN in this container?)"

# The scratch root must stay reachable after the covering mounts, so it may not
# live under any folder they cover.
covered() {
  case "$1/" in /tmp/* | /var/* | /etc/*) return 0 ;; esac
  return 1
}
scratch_base=""
for candidate in "${E2E_SCRATCH_BASE:-}" "$PWD" "${HOME:-}" /root; do
  [ -n "$candidate" ] && [ -d "$candidate" ] && [ -w "$candidate" ] || continue
  candidate=$(cd "$candidate" && pwd -P)
  covered "$candidate" && continue
  scratch_base=$candidate
  break
done
[ -n "$scratch_base" ] || skip "no writable folder outside /tmp, /var and /etc for scratch files"
root=$(mktemp -d "$scratch_base/qor-e2e.XXXXXX")
if [ -n "${E2E_KEEP:-}" ]; then echo "scratch kept in $root"; else trap 'rm -rf "$root"' EXIT; fi

# Likewise the binary: run a copy when the build tree sits under a covered folder.
bin=$(cd "$(dirname "$bin")" && pwd -P)/$(basename "$bin")
if covered "$bin"; then
  cp "$bin" "$root/QOR_DelTmp"
  bin=$root/QOR_DelTmp
fi

# /etc/cups is where the tool looks for the spooler's settings. It is replaced
# by a scratch folder inside the namespace; where it does not exist, a
# read-only overlay over /etc supplies an empty one to mount on.
if [ ! -d /etc/cups ]; then
  mkdir -p "$root/etc-skel/cups"
  unshare --mount --propagation private \
    mount -t overlay overlay -o "lowerdir=$root/etc-skel:/etc" /etc 2>/dev/null ||
    skip "/etc/cups does not exist and overlayfs cannot supply it here"
fi

# --- One case -----------------------------------------------------------------

now=$(date +%s)
days_ago() { echo "@$((now - $1 * 86400))"; }

# Starts case $1: a fresh scratch tree, with the folders the tool looks in
# (QORTemp present, a spooler configuration naming a scratch RequestRoot).
new_case() {
  begin_case "$1"
  C=$root/$1
  mkdir -p "$C"/{var-tmp,var-lib/QORTemp,var-spool,tmp,user-tmp,cups,spool}
  for d in var-tmp var-lib var-spool tmp cups; do : >"$C/$d/.e2e-scratch"; done
  printf 'RequestRoot %s\n' "$C/spool" >"$C/cups/cups-files.conf"
  tool_env=(TZ=UTC "TMPDIR=$C/user-tmp")
}

# Creates file $1 last written at $2 (anything `touch -d` reads), with content $3.
make_file() {
  mkdir -p "$(dirname "$1")"
  printf '%s' "${3:-}" >"$1"
  touch -m -d "$2" "$1"
}

# Runs "$@" in a private mount namespace over the current case's scratch tree.
# The command starts only if every mount took and shows the scratch marker.
in_namespace() {
  unshare --mount --propagation private -- bash -c '
    set -e
    c=$1 skel=$2
    shift 2
    mount --bind "$c/var-tmp" /var/tmp
    mount --bind "$c/var-lib" /var/lib
    mount --bind "$c/var-spool" /var/spool
    mount --bind "$c/tmp" /tmp
    [ -d /etc/cups ] || mount -t overlay overlay -o "lowerdir=$skel:/etc" /etc
    mount --bind "$c/cups" /etc/cups
    for d in /var/tmp /var/lib /var/spool /tmp /etc/cups; do
      [ -e "$d/.e2e-scratch" ] || { echo "scratch not mounted on $d" >&2; exit 99; }
    done
    exec "$@"' in-namespace "$C" "$root/etc-skel" "$@"
}

# Runs the tool with arguments "$@" and the case's environment; stdout and
# stderr go to $C/out and $C/err, the exit status to $status.
run_tool() {
  in_namespace env "${tool_env[@]}" "$bin" "$@" >"$C/out" 2>"$C/err"
  status=$?
}

# --- Groups -------------------------------------------------------------------

usage_text='Usage: QOR_DelTmp [/s][/a]
  Deletes temporary files created by
    GetTempFileName(TempPath, prefix, 0, tmpfile).
  Retruns deleted file count.
  Options:
    /s : to suppress all messages. (Silent)
    /a : to delete All TmpFile
    /? : to show usage.
Type Ctrl+C to abort execution.
'

# The standard scene: three files that qualify, one in each of three folders,
# two that only option a lets go, and decoys that nothing may delete.
standard_deleted=() standard_dated=() standard_kept=()
populate_standard() {
  make_file "$C/var-tmp/1A2B.tmp" "$(days_ago 10)"
  make_file "$C/var-lib/QORTemp/DSP00FF.tmp" "$(days_ago 0)" "in use once"
  make_file "$C/spool/dsp1.TMP" "$(days_ago 400)" "x"
  standard_deleted=("$C/var-tmp/1A2B.tmp" "$C/var-lib/QORTemp/DSP00FF.tmp" "$C/spool/dsp1.TMP")

  make_file "$C/var-tmp/3C4D.tmp" "$(days_ago 3)"                    # too recent
  make_file "$C/var-tmp/0001.tmp" "2011-01-31 23:59:59 UTC"          # before the floor
  standard_dated=("$C/var-tmp/3C4D.tmp" "$C/var-tmp/0001.tmp")

  make_file "$C/var-tmp/5E6F.tmp" "$(days_ago 10)" "not empty"
  make_file "$C/var-tmp/1a2b.tmp" "$(days_ago 10)"                   # lowercase hex
  make_file "$C/var-tmp/12345.tmp" "$(days_ago 10)"                  # five digits
  make_file "$C/var-tmp/DSP00ff.tmp" "$(days_ago 10)"                # lowercase hex
  make_file "$C/var-tmp/1A2B.tmp.bak" "$(days_ago 10)"
  make_file "$C/var-lib/DSP0002.tmp" "$(days_ago 10)"                # beside QORTemp, not in it
  make_file "$C/user-tmp/DSPG.tmp" "$(days_ago 10)"                  # G is no hex digit
  mkdir "$C/var-tmp/ABCD.tmp"
  make_file "$C/var-tmp/ABCD.tmp/DSP0003.tmp" "$(days_ago 10)"       # never descended into
  touch -m -d "$(days_ago 10)" "$C/var-tmp/ABCD.tmp"
  standard_kept=("$C/var-tmp/5E6F.tmp" "$C/var-tmp/1a2b.tmp" "$C/var-tmp/12345.tmp"
    "$C/var-tmp/DSP00ff.tmp" "$C/var-tmp/1A2B.tmp.bak" "$C/var-lib/DSP0002.tmp"
    "$C/user-tmp/DSPG.tmp" "$C/var-tmp/ABCD.tmp" "$C/var-tmp/ABCD.tmp/DSP0003.tmp")
}

# What a run did to the standard scene: "default" (the three), "all" (the
# three and the dated two) or "none".
expect_standard_swept() {
  case $1 in
    default) expect_gone "${standard_deleted[@]}"; expect_kept "${standard_dated[@]}" ;;
    all) expect_gone "${standard_deleted[@]}" "${standard_dated[@]}" ;;
    none) expect_kept "${standard_deleted[@]}" "${standard_dated[@]}" ;;
  esac
  expect_kept "${standard_kept[@]}"
}

group_sweep() {
  new_case nothing-to-delete
  make_file "$C/var-tmp/DSP00ff.tmp" "$(days_ago 10)"
  run_tool
  expect_stdout $'SUCCESS(0)\n'
  expect_status 0
  expect_stderr_empty
  expect_kept "$C/var-tmp/DSP00ff.tmp"

  new_case three-across-folders
  populate_standard
  run_tool
  expect_stdout $'SUCCESS(3)\n'
  expect_status 3
  expect_stderr_empty
  expect_standard_swept default

  # 300 deletions: the line shows them all, the 8-bit status stops at 255
  # rather than wrapping to 44.
  new_case three-hundred
  for ((i = 0; i < 300; i++)); do printf -v name 'DSP%04X.tmp' "$i"; : >"$C/var-lib/QORTemp/$name"; done
  expect_count "$C/var-lib/QORTemp" 'DSP*.tmp' 300
  run_tool
  expect_stdout $'SUCCESS(300)\n'
  expect_status 255
  expect_count "$C/var-lib/QORTemp" 'DSP*.tmp' 0

  # A symbolic link is judged and removed as itself; its target stays.
  new_case symlink-removed-not-target
  make_file "$C/target-DSP0001.tmp" "$(days_ago 10)" "precious"
  ln -s "$C/target-DSP0001.tmp" "$C/var-tmp/DSP0001.tmp"
  run_tool
  expect_stdout $'SUCCESS(1)\n'
  expect_gone "$C/var-tmp/DSP0001.tmp"
  expect_kept "$C/target-DSP0001.tmp"
}

# The command line: arguments | stdout | status | what happens to the scene.
group_options() {
  local long_ok long_bad
  long_ok=$(printf '/%.0s' {1..62})a   # 63 characters, the last one matters
  long_bad=$(printf '/%.0s' {1..63})a  # 64: cut to 63 it would be accepted
  local -a rows=(
    ''           $'SUCCESS(3)\n' 3 default
    '/s'         ''              3 default
    '-S'         ''              3 default
    '/a'         $'SUCCESS(5)\n' 5 all
    '/A'         $'SUCCESS(5)\n' 5 all
    '/s/a'       ''              5 all
    '-a/s'       ''              5 all
    '/s-a'       ''              5 all
    '/'          $'SUCCESS(3)\n' 3 default
    '--'         $'SUCCESS(3)\n' 3 default
    "$long_ok"   $'SUCCESS(5)\n' 5 all
    '/?'         "$usage_text"   0 none
    '-?'         "$usage_text"   0 none
    '/s/?'       ''              0 none
    '/s|/?'      ''              0 none
    '/x'         $'Invalid parameter ignored: /x\n' 0 none
    '/s|/x'      ''              0 none
    '/x|/s'      $'Invalid parameter ignored: /x\n' 0 none
    '/x|/?'      $'Invalid parameter ignored: /x\n' 0 none
    '/a|/x'      $'Invalid parameter ignored: /x\n' 0 none
    '/a/x'       $'Invalid parameter ignored: /a/x\n' 0 none
    's'          $'Invalid parameter ignored: s\n' 0 none
    '/sa'        $'Invalid parameter ignored: /sa\n' 0 none
    '/S/?/x'     ''              0 none
    '|'          $'Invalid parameter ignored: \n' 0 none
    "$long_bad"  "Invalid parameter ignored: $long_bad"$'\n' 0 none
    $'/\xc3\xa9\xff%s' $'Invalid parameter ignored: /\xc3\xa9\xff%s\n' 0 none
  )
  local i=0 args
  while ((i < ${#rows[@]})); do
    # '|' separates arguments; '|' alone is one empty argument.
    if [ "${rows[i]}" = '|' ]; then
      args=('')
    else
      IFS='|' read -r -a args <<<"${rows[i]}"
    fi
    new_case "options-$((i / 4 + 1))"
    echo "    arguments: $(printf '[%q] ' "${args[@]}")"
    populate_standard
    run_tool "${args[@]}"
    expect_stdout "${rows[i + 1]}"
    expect_status "${rows[i + 2]}"
    expect_stderr_empty
    expect_standard_swept "${rows[i + 3]}"
    i=$((i + 4))
  done
}

# Which folders are swept. Each source that fails is skipped; the rest go on.
group_folders() {
  new_case no-QORTemp
  rmdir "$C/var-lib/QORTemp"
  make_file "$C/var-lib/DSP0001.tmp" "$(days_ago 10)"
  make_file "$C/var-tmp/DSP0002.tmp" "$(days_ago 10)"
  make_file "$C/spool/DSP0003.tmp" "$(days_ago 10)"
  make_file "$C/user-tmp/DSP0004.tmp" "$(days_ago 10)"
  run_tool
  expect_stdout $'SUCCESS(3)\n'
  expect_kept "$C/var-lib/DSP0001.tmp"
  expect_gone "$C/var-tmp/DSP0002.tmp" "$C/spool/DSP0003.tmp" "$C/user-tmp/DSP0004.tmp"

  new_case QORTemp-is-a-file
  rmdir "$C/var-lib/QORTemp"
  make_file "$C/var-lib/QORTemp" "$(days_ago 10)"
  make_file "$C/user-tmp/DSP0004.tmp" "$(days_ago 10)"
  run_tool
  expect_stdout $'SUCCESS(1)\n'
  expect_kept "$C/var-lib/QORTemp"
  expect_gone "$C/user-tmp/DSP0004.tmp"

  # The spooler's configuration: named root, default root, none at all.
  # Rows: cups-files.conf (@ROOT@ stands for the scratch spool root) |
  # deleted from that root | deleted from the default /var/spool/cups.
  local -a spool_rows=(
    'RequestRoot @ROOT@'                   yes no
    $'requestroot\t@ROOT@ # comment'       yes no
    '# RequestRoot @ROOT@'                 no  yes
    'LogLevel warn'                        no  yes
    '<absent>'                             no  no
    '<unreadable>'                         no  no
  )
  local i=0
  while ((i < ${#spool_rows[@]})); do
    new_case "spool-$((i / 3 + 1))"
    echo "    cups-files.conf: ${spool_rows[i]}"
    rm "$C/cups/cups-files.conf"
    case ${spool_rows[i]} in
      "<absent>") ;;
      "<unreadable>") mkdir "$C/cups/cups-files.conf" ;;  # a read of it fails (EISDIR)
      *) printf '%s\n' "${spool_rows[i]//@ROOT@/$C/spool}" >"$C/cups/cups-files.conf" ;;
    esac
    make_file "$C/spool/DSP0001.tmp" "$(days_ago 10)"
    make_file "$C/var-spool/cups/DSP0002.tmp" "$(days_ago 10)"
    make_file "$C/user-tmp/DSP0003.tmp" "$(days_ago 10)"  # the run goes on past the spooler
    run_tool
    local expected=1
    [ "${spool_rows[i + 1]}" = yes ] && expected=$((expected + 1))
    [ "${spool_rows[i + 2]}" = yes ] && expected=$((expected + 1))
    expect_stdout "SUCCESS($expected)"$'\n'
    expect_gone_if "${spool_rows[i + 1]}" "$C/spool/DSP0001.tmp"
    expect_gone_if "${spool_rows[i + 2]}" "$C/var-spool/cups/DSP0002.tmp"
    expect_gone "$C/user-tmp/DSP0003.tmp"
    i=$((i + 3))
  done

  # The user's temp folder: TMPDIR when set and not empty, else /tmp.
  local -a tmpdir_rows=(unset empty slash)
  local how
  for how in "${tmpdir_rows[@]}"; do
    new_case "tmpdir-$how"
    make_file "$C/tmp/DSP0001.tmp" "$(days_ago 10)"
    make_file "$C/user-tmp/DSP0002.tmp" "$(days_ago 10)"
    case $how in
      unset) tool_env=(-u TMPDIR TZ=UTC) ;;
      empty) tool_env=(TZ=UTC TMPDIR=) ;;
      slash) tool_env=(TZ=UTC "TMPDIR=$C/user-tmp/") ;;
    esac
    run_tool
    expect_stdout $'SUCCESS(1)\n'
    if [ "$how" = slash ]; then
      expect_kept "$C/tmp/DSP0001.tmp"
      expect_gone "$C/user-tmp/DSP0002.tmp"
    else
      expect_gone "$C/tmp/DSP0001.tmp"
      expect_kept "$C/user-tmp/DSP0002.tmp"
    fi
  done
}

# The floor is 2011-02-01 00:00 local time: 2011-01-31 15:00 UTC in Tokyo.
group_timezone() {
  [ -e /usr/share/zoneinfo/Asia/Tokyo ] ||
    { fail "tzdata is not installed (scripts/deps/e2e.txt lists it)"; return; }
  local zone
  for zone in Asia/Tokyo UTC; do
    new_case "floor-${zone//\//-}"
    make_file "$C/var-tmp/0A.tmp" "2011-01-31 16:00 UTC"
    make_file "$C/var-tmp/0B.tmp" "2011-01-31 14:59:59 UTC"
    tool_env=("TZ=$zone" "TMPDIR=$C/user-tmp")
    run_tool
    expect_kept "$C/var-tmp/0B.tmp"
    if [ "$zone" = UTC ]; then
      expect_stdout $'SUCCESS(0)\n'
      expect_status 0
      expect_kept "$C/var-tmp/0A.tmp"
    else
      expect_stdout $'SUCCESS(1)\n'
      expect_status 1
      expect_gone "$C/var-tmp/0A.tmp"
    fi
  done
}

# A closed or broken standard output changes nothing but the output.
group_output() {
  local how
  for how in closed broken-pipe full; do
    new_case "stdout-$how"
    populate_standard
    case $how in
      closed)
        in_namespace env "${tool_env[@]}" "$bin" >&- 2>"$C/err"
        status=$?
        ;;
      broken-pipe)
        # A pipe whose only reader is gone: every write fails with EPIPE.
        mkfifo "$C/fifo"
        exec {both}<>"$C/fifo" {writer}>"$C/fifo"
        exec {both}>&-
        in_namespace env "${tool_env[@]}" "$bin" 1>&"$writer" 2>"$C/err"
        status=$?
        exec {writer}>&-
        ;;
      full)
        in_namespace env "${tool_env[@]}" "$bin" >/dev/full 2>"$C/err"
        status=$?
        ;;
    esac
    expect_status 3
    expect_stderr_empty
    expect_standard_swept default
  done
}

# Ctrl+C. Each deletion is slowed to 0.2 s under strace so that an interrupt
# sent after the first deletion lands with seconds to spare before the last.
readonly file_count=20

# wait_until DESCRIPTION COMMAND...: polls COMMAND for up to 10 s.
wait_until() {
  local what=$1 tries=0
  shift
  until "$@"; do
    tries=$((tries + 1))
    if [ "$tries" -gt 1000 ]; then
      fail "gave up waiting for $what"
      return 1
    fi
    sleep 0.01
  done
}
traced_tool_start() {
  # strace only tampers with the calls it traces; the trace goes to a log.
  local -a inject=(-e trace=unlinkat -e inject=unlinkat:delay_enter=200000)
  [ "$1" = slow-listing ] &&
    inject=(-e 'trace=unlinkat,getdents64' -e inject=unlinkat:delay_enter=200000
      -e inject=getdents64:delay_enter=500000)
  new_case "$2"
  rmdir "$C/var-lib/QORTemp"
  rm "$C/cups/cups-files.conf"
  for ((i = 1; i <= file_count; i++)); do printf -v name 'DSP%04X.tmp' "$i"; : >"$C/var-tmp/$name"; done
  # The shell writes its pid and becomes the tool, so the pid is the tool's.
  in_namespace env "${tool_env[@]}" strace -f -q -o "$C/strace.log" "${inject[@]}" \
    bash -c 'echo $$ >"$0"; exec "$@"' "$C/pid" "$bin" >"$C/out" 2>"$C/err" &
  job=$!
  if ! wait_until "the first deletion" first_deletion_done; then
    [ -s "$C/pid" ] && kill -KILL "$(<"$C/pid")" 2>/dev/null
    kill -KILL "$job" 2>/dev/null
    wait "$job"
    return 1
  fi
  tool_pid=$(<"$C/pid")
}
first_deletion_done() { [ -s "$C/pid" ] && [ "$(remaining)" -lt "$file_count" ]; }
remaining() { find "$C/var-tmp" -name 'DSP*.tmp' | wc -l; }
# True once the tool, still alive, no longer catches SIGINT (bit 2 of SigCgt):
# the one-shot handler has been entered and the default is back.
interrupt_handled() {
  local mask
  mask=$(awk '/^SigCgt:/ {print $2}' "/proc/$tool_pid/status" 2>/dev/null)
  [ -n "$mask" ] && (((16#$mask & 2) == 0))
}

group_interrupt() {
  command -v strace >/dev/null || skip "strace is not installed (scripts/deps/e2e.txt lists it)"
  strace -f -qq -o /dev/null -e trace=getpid -e inject=getpid:delay_enter=1000 true 2>/dev/null ||
    skip "strace cannot trace or inject delays here (ptrace not permitted?)"

  # One Ctrl+C: the deletion in hand is finished, nothing after it, and the
  # result line and the status carry what was deleted.
  if traced_tool_start plain interrupt-once; then
    kill -INT "$tool_pid"
    wait "$job"
    status=$?
    local deleted=$((file_count - $(remaining)))
    expect_between 0 "$deleted" "$file_count" "files deleted before the interrupt took"
    expect_stdout "SUCCESS($deleted)"$'\n'
    expect_status "$deleted"
    expect_stderr_empty
  fi

  # Two: the handler is one-shot, so the second ends the process by SIGINT
  # before the result line. Listings are slowed too, leaving the wind-down
  # after the first interrupt (the later folders' passes) a second long.
  if traced_tool_start slow-listing interrupt-twice; then
    kill -INT "$tool_pid"
    wait_until "the interrupt handler to run" interrupt_handled &&
      kill -INT "$tool_pid"
    wait "$job"
    status=$?
    expect_status $((128 + 2))
    expect_true "strace saw the tool killed by SIGINT" grep -q '+++ killed by SIGINT +++' "$C/strace.log"
    expect_stdout ''
    local deleted=$((file_count - $(remaining)))
    expect_between 0 "$deleted" "$file_count" "files deleted before the interrupts took"
  fi
}

# --- Run ----------------------------------------------------------------------

groups=("$@")
[ ${#groups[@]} -gt 0 ] || groups=(sweep options folders timezone output)
for group in "${groups[@]}"; do
  declare -F "group_$group" >/dev/null || { echo "unknown group: $group" >&2; exit 2; }
  echo "== $group"
  "group_$group"
done
finish
