#!/usr/bin/env bash
# The built QOR_DelTmp end to end, a table row per group, in a private mount namespace (tmpfs over
# /var/tmp, /var/lib, /tmp; a scratch /etc/cups/cups-files.conf): the machine's folders are never
# touched. Exit: 0, 1 failed, 77 skipped.
# shellcheck disable=SC2086,SC2094  # $as holds words; the pipe is opened both ways on purpose
set -u
skip() { echo "SKIPPED: $*" && exit 77; }
if [ "${2:-}" != in-namespace ]; then
  [ -x "${1:-}" ] || { echo "usage: $0 PATH-TO-QOR_DelTmp" && exit 2; }
  [ "$(id -u)" = 0 ] || skip "needs root for mount namespaces (CI runs as root)"
  unshare -m true 2>/dev/null || skip "unshare -m is not permitted here"
  strace -qq -o /dev/null true 2>/dev/null || skip "strace missing or ptrace not permitted (Ctrl+C)"
  exec unshare -m bash "$0" "$1" in-namespace
fi
exec 3<"$1"  # the binary, even where its folder is covered below
for d in /var/tmp /var/lib /tmp; do mount -t tmpfs e2e "$d" || skip "no tmpfs on $d"; done
cp /dev/fd/3 /tmp/QOR_DelTmp && exec 3<&- && mkdir -p /tmp/etc/cups
echo 'RequestRoot /tmp/spool' >/tmp/etc/cups/cups-files.conf
mount -t overlay e2e -o lowerdir=/tmp/etc:/etc /etc || skip "no overlay for /etc/cups"
folders=(/var/tmp /var/lib/QORTemp /tmp/spool /tmp/u)
# Ctrl+C: strace sends SIGINT as the 3rd deletion starts (and again as its handler returns); one
# CPU makes one worker, so exactly 3 are deleted. LeakSanitizer cannot work under ptrace.
cpu=$(sed -n 's/^Cpus_allowed_list:\s*\([0-9]*\).*/\1/p' /proc/self/status)
declare -A as=([once]="env ASAN_OPTIONS=${ASAN_OPTIONS:-}:detect_leaks=0 taskset -c $cpu strace -f
  -qq -o /dev/null -e trace=unlinkat,rt_sigreturn -e inject=unlinkat:signal=INT:when=3")
as[twice]="${as[once]} -e inject=rt_sigreturn:signal=INT:when=1"
usage='Usage: QOR_DelTmp [/s][/a]\n  Deletes temporary files created by\n'
usage+='    GetTempFileName(TempPath, prefix, 0, tmpfile).\n  Retruns deleted file count.\n'
usage+='  Options:\n    /s : to suppress all messages. (Silent)\n    /a : to delete All TmpFile\n'
usage+='    /? : to show usage.\nType Ctrl+C to abort execution.\n'
# Each folder holds an empty 1A2B.tmp ten days old (qualifies) and an empty 3C4D.tmp written now
# (too young); /var/tmp also holds DSP files. Left: what is left, by name's first 4 letters.
rows=(
  # group: case | run as | argument | DSP files | stdout | exit status | left
  'folders: one file in each of four|||0|SUCCESS(4)\n|4|3C4D:4'
  'folders: exit status cap|||300|SUCCESS(304)\n|255|3C4D:4'
  "options: /? prints usage||/?|0|$usage|0|1A2B:4 3C4D:4"
  'options: refused argument||/x|0|Invalid parameter ignored: /x\n|0|1A2B:4 3C4D:4'
  'stdout: closed, its pipe has no reader|pipe||0||4|3C4D:4'
  'Ctrl+C: once|once||20|SUCCESS(3)\n|3|1A2B:3 3C4D:4 DSP0:18'
  'Ctrl+C: twice|twice||20||130|1A2B:3 3C4D:4 DSP0:18')
failed=0
for row in "${rows[@]}"; do
  IFS='|' read -r name how arg dsp want code wantleft <<<"$row"
  rm -rf /var/tmp/* /var/lib/* /tmp/spool /tmp/u /tmp/pipe && mkdir -p "${folders[@]}"
  for d in "${folders[@]}"; do touch -d '10 days ago' "$d/1A2B.tmp" && : >"$d/3C4D.tmp"; done
  for ((i = 0; i < dsp; i++)); do printf -v f /var/tmp/DSP%04X.tmp "$i" && echo x >"$f"; done
  mkfifo /tmp/pipe && exec 4<>/tmp/pipe 5>/tmp/pipe 4<&- 6>/tmp/out  # 5: a pipe with no reader
  [ "$how" = pipe ] && exec 6>&5
  # Bounded in time and in output size, so that a hang or a runaway write fails fast.
  (ulimit -f 64 && exec timeout -k 1 5 env TMPDIR=/tmp/u ${as[${how:-none}]:-} /tmp/QOR_DelTmp \
    ${arg:+"$arg"}) >&6 5>&-; st=$?
  left=$(find "${folders[@]}" -type f -printf '%.4f\n' | sort | uniq -c |
    awk '{printf "%s%s:%s", sep, $2, $1; sep = " "}') verdict=PASS
  printf '%b' "$want" | cmp -s - /tmp/out && [ "$st/$left" = "$code/$wantleft" ] || verdict=FAIL
  echo "$verdict $name: exit status $st, left $left" && [ $verdict = PASS ] && continue
  echo "  wanted $code, left $wantleft; stdout was:" && od -c /tmp/out | head -5 && failed=1
done
exit "$failed"
