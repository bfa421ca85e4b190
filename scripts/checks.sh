# The ok/FAIL bookkeeping of the check scripts, sourced by them: `check NAME COMMAND...` passes
# when COMMAND succeeds and shows its output when it does not; pass, fail and skip record a
# result directly. $passed, $failed and $skipped count them.
passed=0 failed=0 skipped=0
pass() { passed=$((passed + 1)); echo "ok    $1"; }
fail() { failed=$((failed + 1)); echo "FAIL  $1"; shift; [ $# -eq 0 ] || printf '      %s\n' "$@"; }
skip() { skipped=$((skipped + 1)); echo "skip  $1: $2"; }
check() {
  local name=$1 out
  shift
  if out=$("$@" 2>&1); then pass "$name"; else fail "$name" "$out"; fi
}
