#!/usr/bin/env bash
# Benchmark: QOR_DelTmp against GNU find doing the same deletions, and against
# two floors (a bare getdents64 listing, bare unlinkat calls on the names known
# to match). Prints figures; never fails on time. Needs root (mount namespace).
#
#   bash bench/run.sh [--sizes "10000 100000 1000000"] [--runs 5] [--runs-large 3]
#                     [--data DIR] [--seed 1] [--tool PATH] [--no-plot] [--report-only]
#
# --runs-large applies to sizes of 1,000,000 entries and more. --report-only
# prints the summary and draws the plot again from DIR/raw.txt. --tool also
# times another build of QOR_DelTmp (a packaged one, say) in the same runs as
# the one built here, leased, and reports its time against that one's.
# Every timed run gets a freshly generated (identical) fixture; the commands
# are interleaved run by run, and after each run the survivors are compared
# with the generator's list, so every command must make exactly the same
# deletions. QOR_DelTmp only ever runs inside a private mount namespace in
# which the fixture is /var/tmp and every other folder it sweeps is an empty
# scratch folder.
set -euo pipefail

repo="$(cd "$(dirname "$0")/.." && pwd)"
# Inside the tool's namespace scratch folders cover /tmp, /var/lib and /etc,
# so the build (the tool and the timer) and the data must live elsewhere: a
# checkout under one of them builds and measures under $HOME (or /root), in a
# folder of its own: another checkout's build there would not match its sources.
covered() { case "$1/" in /tmp/* | /var/* | /etc/*) return 0 ;; esac; return 1; }
work="$repo/build"
if covered "$repo"; then
  for candidate in "${HOME:-}" /root; do
    if [ -n "$candidate" ] && [ -d "$candidate" ] && [ -w "$candidate" ] && ! covered "$candidate"; then
      work="$candidate/.cache/qor-bench/$(printf '%s' "$repo" | sha256sum | cut -c1-16)"
      break
    fi
  done
fi
sizes="10000 100000 1000000"
# The runs without a lease, among this many other processes with this many
# descriptors open each: the process table costs in proportion to them.
busy_processes=300
busy_descriptors=20
runs=5
runs_large=3
data="$work/bench-data"
seed=1
plot=1
report_only=0
other_tool=""
while [ $# -gt 0 ]; do
  case "$1" in
    --sizes) sizes="$2"; shift 2 ;;
    --runs) runs="$2"; shift 2 ;;
    --runs-large) runs_large="$2"; shift 2 ;;
    --data) data="$2"; shift 2 ;;
    --seed) seed="$2"; shift 2 ;;
    --tool) other_tool="$(realpath "$2")"; shift 2 ;;
    --no-plot) plot=0; shift ;;
    --report-only) report_only=1; shift ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done

# ---- Summary: median, min and max per command and size; the tool's time as a
# ratio of each other command's within the same run, then over the runs.
report() {
  awk -v out="$data/plot.dat" -v tool="$other_tool" -v busy="$busy_processes other processes holding $busy_descriptors descriptors each" '
    function sortn(a, n,   i, j, t) {
      for (i = 2; i <= n; i++) { t = a[i]; for (j = i - 1; j > 0 && a[j] > t; j--) a[j + 1] = a[j]; a[j + 1] = t }
    }
    # One cell: the time of command q over that of command d, run by run, summarised.
    function ratio_cell(size, q, d,   n, r, x) {
      n = runs[size]
      for (r = 1; r <= n; r++) x[1, r] = t[size, q, r] / t[size, d, r]
      stats(1, x, n)
      return sprintf(" | %.2f (%.2f-%.2f)", med, lo, hi)
    }
    function stats(key, vals, n,   a, i) {
      for (i = 1; i <= n; i++) a[i] = vals[key, i]
      sortn(a, n)
      med = (n % 2) ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2; lo = a[1]; hi = a[n]
    }
    {
      size = $1; cmd = $2; run = $3
      if (!(size in seen)) { seen[size] = 1; order[++nsizes] = size }
      t[size, cmd, run] = $4; rss[size, cmd, run] = $5; cpu[size, cmd, run] = $7
      if (run > runs[size]) runs[size] = run
    }
    END {
      # The plot takes the first four: the leased run, find and the floors.
      ncmds = split("qor find list unlink refused busy other", cmds, " ")
      name["qor"] = "QOR_DelTmp"; name["find"] = "GNU find"; name["list"] = "listing floor"; name["unlink"] = "unlink floor"
      name["refused"] = "QOR_DelTmp, no lease"; name["busy"] = "QOR_DelTmp, no lease, busy"
      name["other"] = "--tool " tool
      print ""
      print "| entries | command | median s | min s | max s | CPU s (median) | peak RSS KiB (max) |"
      print "|---:|---|---:|---:|---:|---:|---:|"
      for (s = 1; s <= nsizes; s++) {
        size = order[s]; n = runs[size]; line = size; cpuline = ""
        for (c = 1; c <= ncmds; c++) {
          cmd = cmds[c]; maxrss = 0
          if (!((size, cmd, 1) in t)) continue
          for (r = 1; r <= n; r++) { v[cmd, r] = t[size, cmd, r]; if (rss[size, cmd, r] > maxrss) maxrss = rss[size, cmd, r] }
          for (r = 1; r <= n; r++) u[cmd, r] = cpu[size, cmd, r]
          stats(cmd, u, n); cpumed = med; cpulo = lo; cpuhi = hi
          stats(cmd, v, n)
          printf "| %d | %s | %.4f | %.4f | %.4f | %.4f | %d |\n", size, name[cmd], med, lo, hi, cpumed, maxrss
          if (c > 4) continue
          line = line sprintf(" %.6f %.6f %.6f", med, lo, hi)
          cpuline = cpuline sprintf(" %.6f %.6f %.6f", cpumed, cpulo, cpuhi)
          peak[size] = (cmd == "qor") ? maxrss : peak[size]
        }
        print line cpuline > out
      }
      print ""
      print "Ratios of QOR_DelTmp to each, per run (median, min-max over runs); floor = 2 listings + unlinks."
      print "The last column is the floor itself against find. The floors run in one thread; the tool"
      print "deletes with two threads where two processors are usable, so it can come in under them."
      print ""
      print "| entries | / find | / listing | / unlink | / floor | floor / find |"
      print "|---:|---:|---:|---:|---:|---:|"
      for (s = 1; s <= nsizes; s++) {
        size = order[s]; n = runs[size]; row = sprintf("| %d", size)
        for (k = 1; k <= 5; k++) {
          for (r = 1; r <= n; r++) {
            q = (k == 5) ? 2 * t[size, "list", r] + t[size, "unlink", r] : t[size, "qor", r]
            d = (k == 1 || k == 5) ? t[size, "find", r] : (k == 2) ? t[size, "list", r] \
                : (k == 3) ? t[size, "unlink", r] : 2 * t[size, "list", r] + t[size, "unlink", r]
            ratio[k, r] = q / d
          }
          for (r = 1; r <= n; r++) x[1, r] = ratio[k, r]
          stats(1, x, n)
          row = row sprintf(" | %.2f (%.2f-%.2f)", med, lo, hi)
        }
        print row " |"
      }
      print ""
      print "Without a lease the process table decides each deletion: the tool against its leased run"
      print "and against find, per run (median, min-max over runs); busy: among " busy "."
      print ""
      print "| entries | no lease / leased | no lease / find | busy / leased | busy / find |"
      print "|---:|---:|---:|---:|---:|"
      for (s = 1; s <= nsizes; s++) {
        size = order[s]
        print "| " size ratio_cell(size, "refused", "qor") ratio_cell(size, "refused", "find") \
          ratio_cell(size, "busy", "qor") ratio_cell(size, "busy", "find") " |"
      }
      if ((order[1], "other", 1) in t) {
        print ""
        print "The other build (--tool) against the one built here, per run (median, min-max over runs)."
        print ""
        print "| entries | time | CPU time |"
        print "|---:|---:|---:|"
        for (s = 1; s <= nsizes; s++) {
          size = order[s]; n = runs[size]
          for (r = 1; r <= n; r++) x[1, r] = cpu[size, "other", r] / cpu[size, "qor", r]
          stats(1, x, n)
          cpucell = sprintf(" | %.2f (%.2f-%.2f)", med, lo, hi)
          print "| " size ratio_cell(size, "other", "qor") cpucell " |"
        }
      }
      print ""
      first = order[1]; last = order[nsizes]
      printf "QOR_DelTmp peak RSS: %d KiB at %d entries, %d KiB at %d (difference %d KiB)\n", \
        peak[first], first, peak[last], last, peak[last] - peak[first]
    }
  ' "$results" | tee "$data/summary.md"

  if [ "$plot" = 1 ]; then
    if command -v gnuplot >/dev/null; then
      gnuplot -e "datafile='$data/plot.dat'; outfile='$data/bench.png'" "$repo/bench/plot.gp"
      echo "bench: plot written to $data/bench.png"
    else
      echo "bench: no plot: gnuplot is not installed (apt-get install gnuplot-nox)"
    fi
  fi
}

results="$data/raw.txt"
if [ "$report_only" = 1 ]; then
  report
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "bench: needs root (it mounts inside a private mount namespace)" >&2
  exit 2
fi

# ---- Build: the release tool and the benchmark's own programs.
build="$work/bench"
cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQOR_WERROR=ON \
  -DQOR_BUILD_TESTS=OFF -DQOR_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j 2 --target QOR_DelTmp qor_bench_fixture qor_bench_list \
  qor_bench_unlink qor_bench_exec >/dev/null
tool="$build/Common/Source/Tools/QOR_DelTmp/QOR_DelTmp"
bin="$build/bench"
find_bin="$(command -v find)"

# ---- Folders. The fixture lives under $data; scratch stands in for the other
# folders the tool sweeps and must stay empty.
mkdir -p "$data"
data="$(cd "$data" && pwd)"
if covered "$data" || covered "$build" || covered "$other_tool"; then
  echo "bench: $data, $build and --tool must lie outside /tmp, /var and /etc (covered while the tool runs)" >&2
  exit 2
fi
pool="$data/pool"
lists="$data/lists"
scratch="$data/scratch"
rm -rf "$pool" "$scratch"
mkdir -p "$pool" "$scratch/lib/QORTemp" "$scratch/spool" "$scratch/tmpdir" "$scratch/tmp" \
  "$scratch/etc-upper/cups" "$scratch/etc-work" "$scratch/held"
# What the busy processes hold open: ten small files, each descriptor one of them.
for i in 0 1 2 3 4 5 6 7 8 9; do echo held >"$scratch/held/$i"; done
printf 'RequestRoot %s\n' "$scratch/spool" >"$scratch/etc-upper/cups/cups-files.conf"
chattr +T "$pool" 2>/dev/null || true
# The copies go on every exit; the lists stay for a look after a failure.
trap 'rm -rf "$pool"' EXIT
: >"$results"

fs_type="$(df -T "$data" | awk 'NR == 2 { print $2 }')"
echo "bench: fixtures in $data ($fs_type), $(nproc) cores; load: $(cut -d' ' -f1-3 /proc/loadavg)"
[ "$fs_type" = tmpfs ] && echo "bench: note: tmpfs, not a disk file system"

# Pass 1's age window, as find needs it: from 2011-02-01 00:00 local time
# (inclusive: newer than a nanosecond before it) to now minus 7 days.
age_floor="$(date -d '2011-02-01 00:00:00' +%s)"

fresh=0      # 1 while the fixture on disk is untouched
expected=0   # deletions the fixture calls for
fixture=""   # the current copy
copies=0

# Each copy goes into a new folder, and the used one is removed only after
# it: on ext4 without a journal, allocating inodes right next to ones freed
# within the last minute is slow (the allocator skips each of them), so a
# copy made where the last one was just deleted could take minutes. The pool
# folder is marked as a top of hierarchy (chattr +T) so that each new copy is
# placed away from the last.
generate() {  # size
  local used="$fixture"
  copies=$((copies + 1))
  fixture="$pool/copy$copies"
  "$bin/qor_bench_fixture" "$fixture" "$1" "$seed" "$lists" >/dev/null
  # Another user's files: without CAP_LEASE the tool may not lease them.
  chown -R 65534:65534 "$fixture"
  expected="$(wc -l <"$lists.matches")"
  [ -z "$used" ] || rm -rf "$used"
  sync -f "$fixture"  # keep the write-back of creation out of the timings
  fresh=1
}

fail() { echo "bench: FAILED: $*" >&2; exit 1; }

check_survivors() {  # command
  "$find_bin" "$fixture" -mindepth 1 -maxdepth 1 -printf '%f\n' | LC_ALL=C sort >"$data/got"
  cmp -s "$data/got" "$lists.survivors" ||
    fail "$1 left other files than the expected survivors (diff $data/got $lists.survivors)"
  local left
  left="$("$find_bin" "$scratch/lib" "$scratch/spool" "$scratch/tmpdir" "$scratch/tmp" -mindepth 1 \
    ! -path "$scratch/lib/QORTemp" | head -1)"
  [ -z "$left" ] || fail "scratch folder not empty after $1: $left"
}

last_field() { tail -1 "$data/time" | cut -d' ' -f"$1"; }

record() {  # size command run
  local command=${2#qor_}
  [ "$command" = leased ] && command=qor
  echo "$1 $command $3 $(tail -1 "$data/time")" >>"$results"
}

# The tool in a private mount namespace. "leased" runs it as root; "refused"
# takes CAP_LEASE away (the fixture belongs to another user), so no lease is
# granted and the process table decides each deletion; "busy" does the same
# among $busy_processes other processes holding $busy_descriptors descriptors
# each. The two without a lease run in a pid namespace of their own, whose
# /proc shows only processes the tool can read (a process it cannot read makes
# it keep every file).
run_qor() {  # leased | refused | busy
  local how=$1 isolate=() as=()
  if [ "$how" != leased ]; then
    isolate=(--pid --fork --mount-proc)
    as=(setpriv --inh-caps=-lease --bounding-set=-lease --)
  fi
  : >"$data/out"
  # The tool sees the fixture as /var/tmp, an empty QORTemp under /var/lib, an
  # empty spool root (named by a cups-files.conf on an overlay of /etc) and an
  # empty TMPDIR. Any failed mount ends the shell before the tool starts.
  unshare --mount --propagation private "${isolate[@]}" -- bash -c '
    set -e
    mount --bind "$1" /var/tmp
    mount --bind "$2/lib" /var/lib
    mount --bind "$2/tmp" /tmp
    mount -t overlay overlay -o "lowerdir=/etc,upperdir=$2/etc-upper,workdir=$2/etc-work" /etc
    export TMPDIR="$2/tmpdir"
    if [ "$3" = busy ]; then
      for ((i = 0; i < $5; i++)); do exec {fd}<"$2/held/$((i % 10))"; done
      for ((i = 0; i < $4; i++)); do sleep 1000 & done
      sleep 0.5  # until they have all started, so that their start is not timed
    fi
    shift 5
    exec "$@"
  ' sh "$fixture" "$scratch" "$how" "$busy_processes" "$busy_descriptors" \
    "${as[@]}" "$bin/qor_bench_exec" "$data/time" "$tool" >"$data/out"
  local want_status=$((expected > 255 ? 255 : expected))
  [ "$(cat "$data/out")" = "SUCCESS($expected)" ] || fail "QOR_DelTmp ($how) printed '$(cat "$data/out")', expected SUCCESS($expected)"
  [ "$(last_field 3)" = "$want_status" ] || fail "QOR_DelTmp ($how) exit status $(last_field 3), expected $want_status"
}

run_qor_leased() { run_qor leased; }
run_qor_refused() { run_qor refused; }
run_qor_busy() { run_qor busy; }
# run_qor with the other build in the tool's place.
run_other() {
  local tool=$other_tool
  run_qor leased
}

run_find() {
  local upper=$(($(date +%s) - 7 * 86400))
  LC_ALL=C "$bin/qor_bench_exec" "$data/time" "$find_bin" "$fixture" -mindepth 1 -maxdepth 1 \
    -regextype posix-extended \
    \( -regex '.*/[dD][sS][pP][0-9A-F]{0,4}\.[tT][mM][pP]' \( -type f -o -type l \) \
    -o -regex '.*/[0-9A-F]{0,4}\.[tT][mM][pP]' -type f -empty \
    -newermt "@$((age_floor - 1)).999999999" ! -newermt "@$upper" \) -delete
  [ "$(last_field 3)" = 0 ] || fail "find exit status $(last_field 3)"
}

run_list() {
  "$bin/qor_bench_exec" "$data/time" "$bin/qor_bench_list" "$fixture" >"$data/out"
  [ "$(cat "$data/out")" = "$((size + 2))" ] || fail "list floor saw $(cat "$data/out") entries"
}

run_unlink() {
  "$bin/qor_bench_exec" "$data/time" "$bin/qor_bench_unlink" "$fixture" "$lists.matches" >"$data/out"
  [ "$(cat "$data/out")" = "$expected" ] || fail "unlink floor removed $(cat "$data/out") of $expected"
}

commands=(qor_leased qor_refused qor_busy find list unlink)
[ -z "$other_tool" ] || commands+=(other)
for size in $sizes; do
  n=$runs
  [ "$size" -ge 1000000 ] && n=$runs_large
  echo "bench: $size entries, $n runs; load: $(cut -d' ' -f1-3 /proc/loadavg)"
  fresh=0
  for ((run = 1; run <= n; run++)); do
    for ((i = 0; i < ${#commands[@]}; i++)); do
      command="${commands[$(((i + run - 1) % ${#commands[@]}))]}"
      [ "$fresh" = 1 ] || generate "$size"
      "run_$command"
      if [ "$command" != list ]; then
        fresh=0
        check_survivors "$command"
      fi
      record "$size" "$command" "$run"
      printf '  run %d %-6s %s s (CPU %s s), %s KiB\n' "$run" "$command" "$(last_field 1)" \
        "$(last_field 4)" "$(last_field 2)"
    done
  done
  rm -rf "$fixture"
  fixture=""
done
echo "bench: done; load: $(cut -d' ' -f1-3 /proc/loadavg)"

report
