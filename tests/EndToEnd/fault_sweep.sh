#!/usr/bin/env bash
# Fails the system calls of the built QOR_DelTmp one at a time, each at its occurrences, under
# strace, on a fresh fixture per run, in two modes: leases granted, and leases refused (files of
# another owner, no CAP_LEASE), where the process table decides. Each run must end by itself,
# print SUCCESS(n) for the n files that vanished (or nothing when the failed call is that write),
# exit with n, and remove nothing but candidates.
# Usage: fault_sweep.sh PATH-TO-QOR_DelTmp. Exit: 0, 1 failed, 77 skipped.
set -u
skip() {
  echo "SKIPPED: $*"
  exit 77
}
if [ "${2:-}" != in-namespace ]; then
  [ -x "${1:-}" ] || skip "usage: $0 PATH-TO-QOR_DelTmp"
  [ "$(id -u)" = 0 ] || skip "needs root for namespaces (CI runs as root)"
  strace -qq -o /dev/null -e inject=getpid:error=EIO true 2>/dev/null || skip "no strace injection here"
  command -v setpriv >/dev/null || skip "no setpriv"
  # A pid namespace of its own: its /proc shows only the processes of the fixture, all of which
  # the tool can inspect.
  exec unshare --mount --pid --fork --mount-proc bash "$0" "$1" in-namespace
fi

exec 3<"$1"
for d in /var/tmp /var/lib /tmp; do
  mount -t tmpfs sweep "$d" || skip "no tmpfs on $d"
done
cp /dev/fd/3 /tmp/QOR_DelTmp
exec 3<&-
mkdir -p /tmp/etc/cups
echo 'RequestRoot /tmp/spool' >/tmp/etc/cups/cups-files.conf
mount -t overlay sweep -o lowerdir=/tmp/etc:/etc /etc || skip "no overlay for /etc/cups"
export TMPDIR=/tmp/u
folders=(/var/tmp /var/lib/QORTemp /tmp/spool /tmp/u)
candidates=(/var/tmp/DSP4.tmp)
for d in "${folders[@]}"; do
  candidates+=("$d/1A2B.tmp" "$d/DSP1.tmp")
done
# DSP2 is held open, DSP3 is mapped by a running copy of sleep (no descriptor), DSP4 links to a
# file outside the four folders; the others fail one rule each.
keepers=(/var/tmp/DSP2.tmp /var/tmp/DSP3.tmp /var/tmp/1a2b.tmp /var/tmp/3C4D.tmp /var/lib/outside)

make_fixture() {
  local owner=$1 d
  pkill -x -f 'sleep 1000' 2>/dev/null
  pkill -x DSP3.tmp 2>/dev/null
  rm -rf /var/tmp/* /var/lib/* /tmp/spool /tmp/u
  mkdir -p "${folders[@]}"
  for d in "${folders[@]}"; do
    touch -d '10 days ago' "$d/1A2B.tmp"
    echo data >"$d/DSP1.tmp"
  done
  touch -d '10 days ago' /var/tmp/1a2b.tmp
  touch /var/tmp/3C4D.tmp
  echo outside >/var/lib/outside
  ln -s /var/lib/outside /var/tmp/DSP4.tmp
  echo held >/var/tmp/DSP2.tmp
  cp "$(command -v sleep)" /var/tmp/DSP3.tmp
  chown -h -R "$owner" "${folders[@]}" /var/lib/outside
  sleep 1000 7</var/tmp/DSP2.tmp &
  /var/tmp/DSP3.tmp 1000 &
}

# The tool, run as each mode asks: "refused" takes CAP_LEASE away from it.
run_tool() {
  local mode=$1
  shift
  local as=()
  [ "$mode" = refused ] && as=(setpriv --inh-caps=-lease --bounding-set=-lease --)
  timeout -k 2 20 "${as[@]}" strace -f -qq "$@" /tmp/QOR_DelTmp >/tmp/out
}

# The calls of a clean run, as "NAME FIRST LAST": the occurrences a thread makes once the tool's
# own code runs. Calls made before the first one whose stack passes through main() belong to the
# loader and the C++ runtime's start-up; since strace counts each thread on its own, those
# occurrence numbers are never failed, in any thread.
list_calls() {
  run_tool "$1" -k -o /tmp/trace
  local status=$?
  awk '
    /^ > / {
      if (!inMain && /\(main\+/) {
        inMain = 1
        for (key in count) if (split(key, k, SUBSEP) && k[1] == mainPid) startup[k[2]] = count[key] - (k[2] == last)
      }
      next
    }
    $2 ~ /^</ || $2 ~ /^(\+\+\+|---)$/ { next }
    {
      if (mainPid == "") mainPid = $1
      name = $2
      sub(/\(.*/, "", name)
      count[$1, name]++
      last = name
    }
    END {
      for (key in count) {
        split(key, k, SUBSEP)
        if (count[key] > most[k[2]]) most[k[2]] = count[key]
      }
      for (name in most) if (most[name] > startup[name]) print name, startup[name] + 1, most[name]
    }' /tmp/trace | sort >/tmp/calls
  return "$status"
}

# An errno the kernel gives for each call. Left out: brk (glibc takes the errno for the new
# break), futex (glibc aborts on errors the operation cannot return), and calls that cannot fail.
errors_of() {
  case $1 in
    brk | futex | exit | exit_group | getpid | gettid | set_tid_address) ;;
    openat) echo EACCES EMFILE ;;
    newfstatat) echo EIO EACCES ;;
    getdents64 | read | close | fstatfs | write) echo EIO ;;
    fcntl) echo EACCES EAGAIN ;;
    unlinkat) echo EPERM ;;
    mmap | mprotect | munmap | madvise) echo ENOMEM ;;
    clone3) echo EAGAIN ;;
    faccessat2) echo EACCES ;;
    *) echo EINVAL ;;
  esac
}

# Every occurrence up to 40; beyond that the first ten, the last ten and ten between.
spread() {
  local first=$1 last=$2 n=$(($2 - $1 + 1)) i
  if [ "$n" -le 40 ]; then
    seq "$first" "$last"
    return
  fi
  seq "$first" $((first + 9))
  for i in $(seq 1 10); do
    echo $((first + 9 + i * (n - 20) / 11))
  done
  seq $((last - 9)) "$last"
}

vanished_count() {
  local file vanished=0
  for file in "${candidates[@]}"; do
    [ -e "$file" ] || [ -L "$file" ] || vanished=$((vanished + 1))
  done
  echo "$vanished"
}

# Checks the run that failed call $1; prints what went wrong, if anything.
verdict() {
  local call=$1 status=$2 vanished file
  vanished=$(vanished_count)
  for file in "${keepers[@]}"; do
    [ -e "$file" ] || echo "removed $file"
  done
  [ "$status" = "$vanished" ] || echo "exit status $status, $vanished candidates vanished"
  printf 'SUCCESS(%d)\n' "$vanished" | cmp -s - /tmp/out && return
  [ "$call" = write ] && [ ! -s /tmp/out ] && return
  echo "printed '$(head -c 80 /tmp/out)', $vanished candidates vanished"
}

failed=0
for mode in granted refused; do
  owner=root
  [ "$mode" = refused ] && owner=nobody
  make_fixture "$owner"
  list_calls "$mode"
  clean=$(verdict none "$?")
  calls=$(cat /tmp/calls)
  echo "$mode: the clean run printed $(cat /tmp/out)"
  [ -z "$clean" ] || { echo "FAIL $mode clean run: $clean"; failed=1; }
  runs=0 left=0 start=$SECONDS failed_calls=""
  while read -r call first last; do
    [ -n "$(errors_of "$call")" ] && failed_calls+=" $call:$first-$last"
    for errno in $(errors_of "$call"); do
      for when in $(spread "$first" "$last"); do
        make_fixture "$owner"
        run_tool "$mode" --seccomp-bpf -o /dev/null -e trace="$call" \
          -e inject="$call:error=$errno:when=$when"
        problem=$(verdict "$call" "$?")
        runs=$((runs + 1))
        left=$((left + ${#candidates[@]} - $(vanished_count)))
        [ -z "$problem" ] && continue
        echo "FAIL $mode $call:error=$errno:when=$when: $problem"
        failed=1
      done
    done
  done <<<"$calls"
  echo "$mode: $runs runs in $((SECONDS - start)) s, $left candidates left behind;" \
    "calls failed, occurrences:$failed_calls"
done
pkill -x -f 'sleep 1000' 2>/dev/null
pkill -x DSP3.tmp 2>/dev/null
exit "$failed"
