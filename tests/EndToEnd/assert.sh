# shellcheck shell=bash
# Checks for the end-to-end runs, sourced by e2e_posix.sh.
# Each check counts a pass or a failure and says what it saw on failure;
# `finish` prints the tally and sets the exit status. The caller sets $C (the
# case's scratch folder, holding out and err) and $status (the run's status).

passed=0
failed=0
case_name=""

begin_case() {
  case_name=$1
  echo "-- $case_name"
}

pass() { passed=$((passed + 1)); }
fail() {
  failed=$((failed + 1))
  echo "FAIL [$case_name] $*"
}

# Compares the run's standard output ($C/out) with $1, byte for byte.
expect_stdout() {
  printf '%s' "$1" >"$C/expected"
  if cmp -s "$C/expected" "$C/out"; then
    pass
  else
    fail "stdout differs; expected, then got:"
    od -c "$C/expected" | sed 's/^/    /'
    od -c "$C/out" | sed 's/^/    /'
  fi
}

expect_status() {
  # shellcheck disable=SC2154  # set by the caller after each run
  if [ "$status" -eq "$1" ]; then pass; else fail "exit status $status, expected $1"; fi
}

expect_stderr_empty() {
  if [ ! -s "$C/err" ]; then
    pass
  else
    fail "unexpected stderr:"
    sed 's/^/    /' "$C/err"
  fi
}

expect_gone() {
  local f
  for f in "$@"; do
    if [ -e "$f" ] || [ -L "$f" ]; then fail "still there: ${f#"$C"/}"; else pass; fi
  done
}

expect_kept() {
  local f
  for f in "$@"; do
    if [ -e "$f" ] || [ -L "$f" ]; then pass; else fail "deleted: ${f#"$C"/}"; fi
  done
}

# expect_count FOLDER GLOB N: FOLDER holds N entries whose names match GLOB.
expect_count() {
  local found
  found=$(find "$1" -mindepth 1 -maxdepth 1 -name "$2" | wc -l)
  if [ "$found" -eq "$3" ]; then pass; else fail "${1#"$C"/}: $found entries named $2, expected $3"; fi
}

# expect_gone_if yes|no FILE...
expect_gone_if() {
  local want=$1
  shift
  if [ "$want" = yes ]; then expect_gone "$@"; else expect_kept "$@"; fi
}

# expect_between LOW VALUE HIGH DESCRIPTION: LOW < VALUE < HIGH.
expect_between() {
  if [ "$2" -gt "$1" ] && [ "$2" -lt "$3" ]; then
    pass
  else
    fail "$4: $2 is not strictly between $1 and $3"
  fi
}

# expect_true DESCRIPTION COMMAND...
expect_true() {
  local what=$1
  shift
  if "$@"; then pass; else fail "$what"; fi
}

finish() {
  echo "$passed passed, $failed failed"
  exit $((failed == 0 ? 0 : 1))
}
