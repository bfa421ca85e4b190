# The ok/FAIL bookkeeping of the check scripts, sourced by them: `check NAME COMMAND...` passes
# when COMMAND succeeds and shows its output when it does not; $passed and $failed count them.
passed=0 failed=0
check() {
  local name=$1 out
  shift
  if out=$("$@" 2>&1); then
    passed=$((passed + 1)); echo "ok    $name"
  else
    failed=$((failed + 1)); echo "FAIL  $name"; printf '      %s\n' "$out"
  fi
}
