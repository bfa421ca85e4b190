# The ok/FAIL bookkeeping of the check scripts, sourced by them: `check NAME COMMAND...` passes
# when COMMAND succeeds and shows its output when it does not; pass, fail and skip record a
# result directly. $passed, $failed and $skipped count them. Below them, the helpers that the
# .deb's and the RPM's installs in a private namespace share.
passed=0 failed=0 skipped=0
pass() { passed=$((passed + 1)); echo "ok    $1"; }
fail() { failed=$((failed + 1)); echo "FAIL  $1"; shift; [ $# -eq 0 ] || printf '      %s\n' "$@"; }
skip() { skipped=$((skipped + 1)); echo "skip  $1: $2"; }
check() {
  local name=$1 out
  shift
  if out=$("$@" 2>&1); then pass "$name"; else fail "$name" "$out"; fi
}

# The two lists (each newline-separated) are the same; else shows their diff.
same_lines() {  # same_lines EXPECTED ACTUAL
  [ "$1" = "$2" ] && return 0
  diff <(echo "$1") <(echo "$2")
  return 1
}

# Inside a private mount namespace: throw-away overlays over /usr, /etc and
# /var, their changes kept in SCRATCH. Fails when overlays are refused here.
overlay_system() {  # overlay_system SCRATCH
  local top
  for top in usr etc var; do
    mkdir -p "$1/$top-upper" "$1/$top-work"
    mount -t overlay overlay \
      -o "lowerdir=/$top,upperdir=$1/$top-upper,workdir=$1/$top-work" "/$top" ||
      { echo "cannot overlay /$top"; return 1; }
  done
}

# systemd-analyze verify checks the installed units' syntax, that ExecStart
# is executable and that man:QOR_DelTmp(8) exists; it reports problems on
# stderr while its status stays 0, so any output fails.
units_verify() {
  local out
  out=$(cd /usr/lib/systemd/system &&
    systemd-analyze verify QOR_DelTmp.service QOR_DelTmp.timer 2>&1) || { echo "$out"; return 1; }
  [ -z "$out" ] || { echo "$out"; return 1; }
}

# What a package and its scripts ever wrote lands in the overlays' upper
# layers (see overlay_system): after its removal nothing there may still be
# named after it, except under the given paths of SCRATCH's /var (the package
# manager's own records, man-db's cache). Prints what is left.
nothing_left_behind() {  # nothing_left_behind SCRATCH VAR-PATH...
  local scratch=$1 excluded=() path left
  shift
  for path in "$@"; do excluded+=(-not -path "$scratch/var-upper/$path/*"); done
  left=$(find "$scratch"/usr-upper "$scratch"/etc-upper "$scratch"/var-upper \
    \( -iname '*qor_deltmp*' -o -iname '*qor-deltmp*' \) "${excluded[@]}" -print)
  [ -z "$left" ] || { echo "left behind:"; echo "$left"; return 1; }
}
