#!/usr/bin/env bash
# Builds the libFuzzer target for the pure rules (options, wildcard matching,
# the hex name rule) with clang and runs it for QOR_FUZZ_SECONDS (120 by
# default) from its committed seeds, printing how many inputs it ran. A crash
# fails the stage; the input that caused it is kept in build/fuzz/findings/
# beside the fuzzer's log.
set -euo pipefail
seconds="${QOR_FUZZ_SECONDS:-120}"
cmake --preset fuzz
cmake --build --preset fuzz

findings=build/fuzz/findings
mkdir -p "$findings"
work=$(mktemp -d) # new inputs go here, never into the committed seeds
log="$findings/rules.log"
status=0
result=passed
if ! build/fuzz/fuzz/qor_fuzz_rules -max_total_time="$seconds" -print_final_stats=1 \
  -artifact_prefix="$findings/rules-" "$work" fuzz/corpus/Rules >"$log" 2>&1; then
  result=FAILED
  status=1
  tail -n 40 "$log"
fi
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
echo "fuzz rules: ${runs:-unknown} executions in ${seconds} s, $result"
rm -rf "$work"
exit "$status"
