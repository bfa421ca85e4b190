#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for QOR_FUZZ_SECONDS
# (60 by default) from its committed seeds, printing how many inputs it ran.
# A crash fails the stage; the input that caused it is kept in
# build/fuzz/findings/ beside the fuzzer's log.
set -euo pipefail
seconds="${QOR_FUZZ_SECONDS:-60}"
cmake --preset fuzz
cmake --build --preset fuzz

findings=build/fuzz/findings
mkdir -p "$findings"
status=0
for target in Options WildcardMatch HexNameRule; do
  work=$(mktemp -d)  # new inputs go here, never into the committed seeds
  log="$findings/$target.log"
  result=passed
  if ! "build/fuzz/fuzz/qor_fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$findings/$target-" "$work" "fuzz/corpus/$target" >"$log" 2>&1; then
    result=FAILED
    status=1
    tail -n 40 "$log"
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  echo "fuzz $target: ${runs:-unknown} executions in ${seconds} s, $result"
  rm -rf "$work"
done
exit "$status"
