#!/usr/bin/env bash
# The built QOR_DelTmp end to end, as root, in a mount and pid namespace of its own (tmpfs over
# /var/tmp, /var/lib and /tmp, a scratch cups-files.conf): the machine's folders are never touched.
#   e2e_posix.sh PATH-TO-QOR_DelTmp runs    a few runs that show the wiring
#   e2e_posix.sh PATH-TO-QOR_DelTmp faults  each system call of a run failed in turn, under strace
# Exit: 0, 1 failed, 77 skipped.
set -u
skip() {
  echo "SKIPPED: $*"
  exit 77
}
if [ "${3:-}" != in-namespace ]; then
  [ -x "${1:-}" ] || skip "usage: $0 PATH-TO-QOR_DelTmp runs|faults"
  [ "$(id -u)" = 0 ] || skip "needs root for namespaces (CI runs as root)"
  strace -qq -o /dev/null -e inject=getpid:error=EIO true || skip "strace cannot inject here"
  # Its own /proc shows only the fixture's processes, which the tool may all read.
  exec unshare --mount --pid --fork --mount-proc bash "$0" "$1" "$2" in-namespace
fi
exec 3<"$1" # the binary, even where its folder is covered below
for d in /var/tmp /var/lib /tmp; do
  mount -t tmpfs e2e "$d" || skip "no tmpfs on $d"
done
cp /dev/fd/3 /tmp/QOR_DelTmp
exec 3<&-
mkdir -p /tmp/etc/cups
echo 'RequestRoot /tmp/spool' >/tmp/etc/cups/cups-files.conf
mount -t overlay e2e -o lowerdir=/tmp/etc:/etc /etc || skip "no overlay for /etc/cups"
export TMPDIR=/tmp/u
folders=(/var/tmp /var/lib/QORTemp /tmp/spool /tmp/u)
candidates=(/var/tmp/DSP4.tmp)
for d in "${folders[@]}"; do
  candidates+=("$d/1A2B.tmp" "$d/DSP1.tmp")
done
keepers=(/var/tmp/DSP2.tmp /var/tmp/DSP3.tmp /var/tmp/1a2b.tmp /var/tmp/3C4D.tmp /var/lib/outside)

# Nine candidates: an empty 1A2B.tmp ten days old and a DSP1.tmp in each folder, and DSP4.tmp in
# /var/tmp, a link to a file outside. The keepers: DSP2.tmp held open, DSP3.tmp mapped by a running
# copy of sleep (no descriptor), two names that fail a rule, the link's target. Then `extra` more
# DSP files. Everything belongs to `owner`.
make_fixture() {
  local owner=$1 extra=$2 d i
  pkill -x -f 'sleep 1000'
  pkill -x DSP3.tmp
  rm -rf /var/tmp/* /var/lib/* /tmp/spool /tmp/u
  mkdir -p "${folders[@]}"
  for d in "${folders[@]}"; do
    touch -d '10 days ago' "$d/1A2B.tmp"
    echo data >"$d/DSP1.tmp"
  done
  echo held >/var/tmp/DSP2.tmp
  cp "$(command -v sleep)" /var/tmp/DSP3.tmp
  echo outside >/var/lib/outside
  ln -s /var/lib/outside /var/tmp/DSP4.tmp
  touch -d '10 days ago' /var/tmp/1a2b.tmp
  touch /var/tmp/3C4D.tmp
  for ((i = 0; i < extra; i++)); do
    printf -v d /var/tmp/DSPA%03X.tmp "$i"
    echo data >"$d"
  done
  chown -h -R "$owner" "${folders[@]}" /var/lib/outside
  sleep 1000 7</var/tmp/DSP2.tmp &
  /var/tmp/DSP3.tmp 1000 &
}

# Sets $left to the number of candidates still there, and $removed to the keepers that are gone.
look() {
  local path
  left=0
  removed=""
  for path in "${candidates[@]}" /var/tmp/DSPA*; do
    if [ -e "$path" ] || [ -L "$path" ]; then
      left=$((left + 1))
    fi
  done
  for path in "${keepers[@]}"; do
    [ -e "$path" ] || removed+=" $path"
  done
}

runs() {
  local cpu failed=0 name how extra printed status want_left got
  cpu=$(sed -n 's/^Cpus_allowed_list:\s*\([0-9]*\).*/\1/p' /proc/self/status)
  # Ctrl+C: strace sends SIGINT as the third deletion starts (and again as the handler returns).
  # One processor, so one thread deletes and no other deletion is under way. LeakSanitizer
  # cannot work under ptrace.
  local ctrl_c=(env "ASAN_OPTIONS=${ASAN_OPTIONS:-}:detect_leaks=0" taskset -c "$cpu"
    strace -f -qq -o /dev/null -e trace=unlinkat,rt_sigreturn -e inject=unlinkat:signal=INT:when=3)
  local rows=(
    # name | how | extra DSP files | stdout | exit status | candidates left
    'four folders; the keepers stay|plain|0|SUCCESS(9)\n|9|0'
    'the exit status is capped|plain|300|SUCCESS(309)\n|255|0'
    'a refused argument: nothing swept|/x|0|Invalid parameter ignored: /x\n|0|9'
    'stdout a pipe without a reader: no line, the same status|pipe|0||9|0'
    'Ctrl+C once: the count so far|once|0|SUCCESS(3)\n|3|6'
    'Ctrl+C twice: ended at once|twice|0||130|6')
  for row in "${rows[@]}"; do
    IFS='|' read -r name how extra printed status want_left <<<"$row"
    make_fixture root "$extra"
    mkfifo /tmp/pipe
    exec 6<>/tmp/pipe 5>/tmp/pipe 6<&- # fd 5: a pipe whose reader is gone
    rm /tmp/pipe
    : >/tmp/out
    case $how in
      plain) timeout 10 /tmp/QOR_DelTmp >/tmp/out 5>&- ;;
      /x) timeout 10 /tmp/QOR_DelTmp /x >/tmp/out 5>&- ;;
      pipe) timeout 10 /tmp/QOR_DelTmp >&5 5>&- ;;
      once) timeout 10 "${ctrl_c[@]}" /tmp/QOR_DelTmp >/tmp/out 5>&- ;;
      twice)
        timeout 10 "${ctrl_c[@]}" -e inject=rt_sigreturn:signal=INT:when=1 /tmp/QOR_DelTmp \
          >/tmp/out 5>&-
        ;;
    esac
    got="status $?"
    exec 5>&-
    look
    got+=", $left left$removed"
    if printf '%b' "$printed" | cmp -s - /tmp/out && [ "$got" = "status $status, $want_left left" ]
    then
      echo "PASS $name: $got"
    else
      echo "FAIL $name: $got; want status $status, $want_left left; stdout: $(head -c 80 /tmp/out)"
      failed=1
    fi
  done
  return "$failed"
}

# The calls of a clean run under strace -f -k, as "NAME FIRST LAST": the occurrences that a thread
# makes once the tool's own code runs. Calls made before the first one whose stack passes through
# main() are the dynamic loader's and the C++ runtime's start-up; as strace counts each thread on
# its own, those occurrence numbers are never failed, in any thread.
list_calls() {
  awk '
    /^ > / {
      if (!inMain && /\(main\+/) {
        inMain = 1
        for (key in count) {
          split(key, k, SUBSEP)
          if (k[1] == mainPid) startup[k[2]] = count[key] - (k[2] == last)
        }
      }
      next
    }
    $2 ~ /^</ || $2 == "+++" || $2 == "---" { next }
    {
      if (mainPid == "") mainPid = $1
      last = $2
      sub(/\(.*/, "", last)
      count[$1, last]++
    }
    END {
      for (key in count) {
        split(key, k, SUBSEP)
        if (count[key] > most[k[2]]) most[k[2]] = count[key]
      }
      for (name in most) {
        if (most[name] > startup[name]) print name, startup[name] + 1, most[name]
      }
    }' /tmp/trace | sort
}

# The errors each call is failed with: ones the kernel gives for it. Left out: brk (glibc takes
# the errno for the new break), futex (glibc aborts on errors the operation cannot return), and
# calls that cannot fail.
errors_of() {
  case $1 in
    brk | futex | exit | exit_group | getpid | gettid | set_tid_address) ;;
    openat) echo EACCES EMFILE ELOOP ;;
    newfstatat) echo EIO EACCES ;;
    read | write) echo EIO EINTR ;;
    getdents64 | close | fstatfs) echo EIO ;;
    fcntl) echo EACCES EAGAIN ;;
    unlinkat) echo EPERM ;;
    mmap | mprotect | munmap | madvise) echo ENOMEM ;;
    clone3) echo EAGAIN ;;
    faccessat2) echo EACCES ;;
    *) echo EINVAL ;;
  esac
}

# Each call fails at each of its occurrences, one run each; in this namespace no call comes more
# than a few dozen times. Each run must end by itself, print SUCCESS(n) for the n candidates that
# vanished (nothing when the failed call is that write), exit with n, and remove nothing else.
# Two modes: leases granted, and refused (another owner's files, no CAP_LEASE), where the process
# table decides.
faults() {
  local failed=0 mode owner as call first last errno when status gone problem runs lost tried start
  for mode in granted refused; do
    owner=root
    as=(strace -f -qq)
    if [ "$mode" = refused ]; then
      owner=nobody
      as=(setpriv --inh-caps=-lease --bounding-set=-lease -- strace -f -qq)
    fi
    make_fixture "$owner" 0
    timeout 20 "${as[@]}" -k -o /tmp/trace /tmp/QOR_DelTmp >/tmp/out
    look
    echo "$mode: a clean run printed $(cat /tmp/out); $left left$removed"
    runs=0
    lost=0
    tried=""
    start=$SECONDS
    while read -r call first last; do
      [ -n "$(errors_of "$call")" ] && tried+=" $call:$first-$last"
      for errno in $(errors_of "$call"); do
        for ((when = first; when <= last; when++)); do
          make_fixture "$owner" 0
          timeout 20 "${as[@]}" --seccomp-bpf -o /dev/null -e trace="$call" \
            -e inject="$call:error=$errno:when=$when" /tmp/QOR_DelTmp >/tmp/out
          status=$?
          look
          runs=$((runs + 1))
          lost=$((lost + left))
          gone=$((${#candidates[@]} - left))
          problem=""
          [ -z "$removed" ] || problem+=" removed$removed;"
          [ "$status" = "$gone" ] || problem+=" exit status $status, $gone gone;"
          if printf 'SUCCESS(%d)\n' "$gone" | cmp -s - /tmp/out; then
            :
          elif [ "$call" != write ] || [ -s /tmp/out ]; then
            problem+=" printed $(head -c 40 /tmp/out)"
          fi
          [ -z "$problem" ] && continue
          echo "FAIL $mode $call:error=$errno:when=$when:$problem"
          failed=1
        done
      done
    done < <(list_calls)
    echo "$mode: $runs runs in $((SECONDS - start)) s, $lost candidates left; failed:$tried"
  done
  return "$failed"
}

"$2"
status=$?
pkill -x -f 'sleep 1000'
pkill -x DSP3.tmp
exit "$status"
