#!/usr/bin/env bash
# Builds the RPM from the linux-package build and checks it: its header and
# files, rpmlint with packaging/rpm/rpmlint.toml, then, inside a private
# mount namespace whose /usr, /etc and /var are throw-away overlays and whose
# /run is empty (no running systemd), rpm -i, the installed files, binary and
# units, an enable, an upgrade to the next patch version (built here from a
# copy of the sources with only the version raised) and rpm -e. The same
# transactions then run again with a stand-in systemctl that records what
# the scriptlets ask of a running systemd.
# The installed binary is only asked for its usage.
#   check-linux-rpm.sh
set -uo pipefail
self=$(realpath "$0")
cd "$(dirname "$self")/.."

build=build/linux-package
work=$(pwd)/$build/rpm-check
version=$(sed -n 's/^project(QOR_DelTmp VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
next=${version%.*}.$((${version##*.} + 1))
arch=$(uname -m)
expected_files=(
  usr/lib/systemd/system/QOR_DelTmp.service
  usr/lib/systemd/system/QOR_DelTmp.timer
  usr/sbin/QOR_DelTmp
  usr/share/licenses/qor-deltmp/copyright
  usr/share/man/man8/QOR_DelTmp.8.gz
)
link=/etc/systemd/system/timers.target.wants/QOR_DelTmp.timer

. scripts/checks.sh


# --- inside the private mount namespace -----------------------------------
# Runs as `check-linux-rpm.sh --inside RPM NEXT-RPM SCRATCH`; reports through
# SCRATCH/counts. Exit status 3: the namespace could not be set up here.
if [ "${1:-}" = --inside ]; then
  rpm_file=$2 next_rpm=$3 scratch=$4
  overlay_system "$scratch" || exit 3
  # An empty /run: the scriptlets find no running systemd, as in an image
  # build, and cannot reach the host's.
  mount -t tmpfs tmpfs /run || { echo "cannot mount an empty /run"; exit 3; }
  # Debian's rpm keeps its database in ~/.rpmdb; here it is where Fedora
  # keeps it, in the throw-away /var.
  mkdir -p /etc/rpm
  echo '%_dbpath /var/lib/rpm' >/etc/rpm/macros
  [ "$(rpm --eval %_dbpath)" = /var/lib/rpm ] || { echo "rpm's database is not in the overlay"; exit 4; }
  rpm --initdb || exit 4

  installed=qor-deltmp-$version-1.$arch
  upgraded=qor-deltmp-$next-1.$arch

  # rpm -vv logs each scriptlet's end: "D: %post(NAME-VERSION-RELEASE.ARCH):
  # waitpid(PID) rc PID status 0". Each one named must have ended with 0.
  scriptlets_succeeded() {  # scriptlets_succeeded LOG SCRIPTLET...
    local log=$1 scriptlet
    shift
    for scriptlet in "$@"; do
      grep -qF "D: $scriptlet: waitpid(" "$log" || { echo "$scriptlet did not run"; return 1; }
      grep -F "D: $scriptlet: waitpid(" "$log" | grep -q ' status 0$' ||
        { grep -F "D: $scriptlet:" "$log"; return 1; }
    done
  }
  transaction() {  # transaction LOG RPM-ARGUMENTS...: rpm -vv, its log kept
    local log=$1
    shift
    local rc=0
    rpm -vv "$@" >"$log" 2>&1 || rc=$?
    [ "$rc" -eq 0 ] || { grep -v '^D: ' "$log"; echo "rpm $* ended with status $rc"; return 1; }
  }

  installs() {
    transaction "$scratch/install.log" -i --nodeps "$rpm_file" || return 1
    scriptlets_succeeded "$scratch/install.log" "%post($installed)" || return 1
    [ "$(rpm -q qor-deltmp)" = "$installed" ] || { echo "rpm -q: $(rpm -q qor-deltmp)"; return 1; }
    [ ! -e "$link" ] || { echo "the timer was enabled on install"; return 1; }
    [ "$(systemctl is-enabled QOR_DelTmp.timer 2>&1)" = disabled ] ||
      { echo "systemctl is-enabled: $(systemctl is-enabled QOR_DelTmp.timer 2>&1)"; return 1; }
  }
  check "rpm -i --nodeps $(basename "$rpm_file"): installed, %post ran and succeeded, timer disabled" installs

  files_in_place() {
    local out f
    out=$(rpm -V --nodeps qor-deltmp) || { echo "rpm -V:"; echo "$out"; return 1; }
    for f in "${expected_files[@]}"; do
      [ -f "/$f" ] || { echo "/$f is missing"; return 1; }
    done
    cmp /usr/share/licenses/qor-deltmp/copyright packaging/debian/copyright || return 1
    zcat /usr/share/man/man8/QOR_DelTmp.8.gz | cmp - docs/QOR_DelTmp.8
  }
  check "rpm -V: every file in place as packaged; the licence and the manual page are the repository's" \
    files_in_place

  binary_runs() {
    local out
    out=$(ldd /usr/sbin/QOR_DelTmp) || { echo "ldd failed"; return 1; }
    grep -q 'not found' <<<"$out" && { echo "$out"; return 1; }
    /usr/sbin/QOR_DelTmp '/?' | grep -q '^Usage: QOR_DelTmp'
  }
  check "the installed binary finds its libraries and prints its usage for /?" binary_runs

  man_finds_page() {
    local page
    page=$(man -w 8 QOR_DelTmp) || return 1
    [ "$page" = /usr/share/man/man8/QOR_DelTmp.8.gz ] || { echo "man -w: $page"; return 1; }
  }
  check "man -w 8 QOR_DelTmp finds the installed page" man_finds_page

  if command -v systemd-analyze >/dev/null; then
    check "systemd-analyze verify accepts the installed units" units_verify
  else
    skip "systemd-analyze verify" "systemd-analyze is not installed"
  fi

  check "systemctl enable QOR_DelTmp.timer" bash -c "systemctl enable QOR_DelTmp.timer && [ -L $link ]"

  upgrades() {
    transaction "$scratch/upgrade.log" -U --nodeps "$next_rpm" || return 1
    scriptlets_succeeded "$scratch/upgrade.log" "%post($upgraded)" "%preun($installed)" "%postun($installed)" ||
      return 1
    [ "$(rpm -q qor-deltmp)" = "$upgraded" ] || { echo "rpm -q: $(rpm -q qor-deltmp | tr '\n' ' ')"; return 1; }
    rpm -V --nodeps qor-deltmp || { echo "the files are not $next's"; return 1; }
    # The old version's preun saw an upgrade ($1 = 1), not an erase.
    [ -L "$link" ] || { echo "the upgrade disabled the timer"; return 1; }
  }
  check "rpm -U to $next: one package, $next's files, scriptlets ran, timer still enabled" upgrades

  erases() {
    transaction "$scratch/erase.log" -e qor-deltmp || return 1
    scriptlets_succeeded "$scratch/erase.log" "%preun($upgraded)" "%postun($upgraded)" || return 1
    rpm -q qor-deltmp >/dev/null && { echo "rpm still knows $(rpm -q qor-deltmp)"; return 1; }
    local f
    for f in "${expected_files[@]}"; do
      [ ! -e "/$f" ] || { echo "/$f is still there"; return 1; }
    done
    [ ! -L "$link" ] || { echo "the enable link is still there"; return 1; }
    # Not counted: rpm's database and man-db's cache.
    nothing_left_behind "$scratch" lib/rpm cache/man
  }
  check "rpm -e: %preun and %postun ran, the files and the enable link are gone" erases

  # The same transactions with systemd apparently running (/run/systemd/system
  # exists) and systemctl replaced by a stand-in that records its arguments:
  # what the scriptlets ask of systemd, which no running systemd can show here.
  calls=/run/systemctl-calls
  mkdir -p /run/systemd/system
  printf '#!/bin/sh\necho "$*" >>%s\n' "$calls" >/usr/bin/systemctl
  chmod 755 /usr/bin/systemctl

  # What the recorded calls do, one "verb unit" a line (a call without units:
  # its verb alone); `disable --now` also stops, `enable --now` also starts.
  unit_actions() {
    awk '{
      now = 0; verb = ""; n = 0
      for (i = 1; i <= NF; i++) {
        if ($i == "--now") now = 1
        else if ($i ~ /^-/) continue
        else if (verb == "") verb = $i
        else unit[++n] = $i
      }
      if (n == 0) print verb
      for (j = 1; j <= n; j++) {
        print verb, unit[j]
        if (now && verb == "disable") print "stop", unit[j]
        if (now && verb == "enable") print "start", unit[j]
      }
    }' "$calls" | sort -u
  }
  only_reloads() {  # only_reloads RPM-ARGUMENTS...
    : >"$calls"
    rpm "$@" >/dev/null 2>&1 || { echo "rpm $* ended with status $?"; return 1; }
    [ "$(unit_actions)" = daemon-reload ] || { echo "systemctl was asked:"; cat "$calls"; return 1; }
  }
  check "with systemd running, rpm -i only reloads systemd: nothing enabled or started" \
    only_reloads -i --nodeps "$rpm_file"
  check "with systemd running, rpm -U to $next only reloads systemd: nothing stopped or restarted" \
    only_reloads -U --nodeps "$next_rpm"
  stops_and_disables() {
    : >"$calls"
    rpm -e qor-deltmp >/dev/null 2>&1 || { echo "rpm -e ended with status $?"; return 1; }
    local actions action
    actions=$(unit_actions)
    for action in "disable QOR_DelTmp.timer" "stop QOR_DelTmp.timer" "stop QOR_DelTmp.service"; do
      grep -qx "$action" <<<"$actions" || { echo "no $action; systemctl was asked:"; cat "$calls"; return 1; }
    done
  }
  check "with systemd running, rpm -e disables and stops the timer and stops the service" stops_and_disables

  echo "$passed $failed $skipped" >"$scratch/counts"
  exit 0
fi

# --- build ------------------------------------------------------------------
die() { echo "FAIL  $*"; echo "linux rpm: $passed passed, $((failed + 1)) failed, $skipped skipped"; exit 1; }

rm -rf "$work" && mkdir -p "$work/home"
# Debian's rpm and rpmlint keep a database (~/.rpmdb) and settings in the
# home folder: theirs is in the build folder.
export HOME=$work/home

cmake --preset linux-package >/dev/null || die "configure linux-package"
cmake --build --preset linux-package >/dev/null || die "build linux-package"
rm -f "$build"/*.rpm
cpack_output=$(cpack --preset linux-rpm 2>&1) || { echo "$cpack_output"; die "cpack --preset linux-rpm"; }
rpm_file=$(pwd)/$build/qor-deltmp-$version-1.$arch.rpm
[ -f "$rpm_file" ] || die "no $rpm_file"
echo "built $(basename "$rpm_file"), $(stat -c %s "$rpm_file") bytes"

# The next version: the same sources with project(VERSION) raised.
next_src=$work/next-src
mkdir -p "$next_src"
tar -cf - CMakeLists.txt CMakePresets.json cmake Common packaging docs | tar -xf - -C "$next_src"
sed -i "s/^project(QOR_DelTmp VERSION $version /project(QOR_DelTmp VERSION $next /" "$next_src/CMakeLists.txt"
next_output=$(cd "$next_src" && cmake --preset linux-package 2>&1 && cmake --build --preset linux-package 2>&1 &&
  cpack --preset linux-rpm 2>&1) || { echo "$next_output"; die "build the $next RPM"; }
next_rpm=$next_src/$build/qor-deltmp-$next-1.$arch.rpm
[ -f "$next_rpm" ] || die "no $next_rpm"
echo "built $(basename "$next_rpm") from a copy at version $next"

# --- the package --------------------------------------------------------------
tag() { rpm -qp --qf "%{$1}" "$rpm_file"; }

header_holds() {
  local v
  v=$(tag NAME)-$(tag VERSION)-$(tag RELEASE).$(tag ARCH)
  [ "$v" = "qor-deltmp-$version-1.$arch" ] || { echo "package $v"; return 1; }
  v=$(tag LICENSE)
  [ "$v" = LicenseRef-QOR-all-rights-reserved ] || { echo "License: $v"; return 1; }
  # rpm shows a missing tag as "(none)".
  [ "$(tag PACKAGER)" != "(none)" ] || { echo "no Packager"; return 1; }
  [ "$(tag URL)" != "(none)" ] || { echo "no URL"; return 1; }
  # Not relocatable: the service names /usr/sbin/QOR_DelTmp.
  [ "$(tag PREFIXES)" = "(none)" ] || { echo "relocatable to $(tag PREFIXES)"; return 1; }
}
check "header: qor-deltmp-$version-1.$arch, licence, packager, URL, not relocatable" header_holds

# The files (not folders), without the /usr/lib/.build-id link rpmbuild
# adds for debuggers.
packaged_files() {
  rpm -qp --qf '[%{FILEMODES:perms} %{FILENAMES}\n]' "$rpm_file" |
    awk '$1 !~ /^d/ {print substr($2, 2)}' | grep -v '^usr/lib/\.build-id/' | sort
}
check "rpm -qpl lists exactly the expected files" \
  same_lines "$(printf '%s\n' "${expected_files[@]}")" "$(packaged_files)"
check "the copyright file is marked as the licence (rpm -qpL)" \
  same_lines /usr/share/licenses/qor-deltmp/copyright "$(rpm -qpL "$rpm_file")"

# Requires were worked out by rpmbuild from the libraries the binary loads.
requires_from_binary() {
  local v
  v=$(rpm -qp --requires "$rpm_file")
  grep -qx 'libc\.so\.6()(64bit)' <<<"$v" && grep -qx 'libstdc++\.so\.6()(64bit)' <<<"$v" ||
    { echo "Requires:"; echo "$v"; return 1; }
}
check "Requires name the C and C++ runtime the binary loads" requires_from_binary

# No error and no warning beyond the overrides in packaging/rpm/rpmlint.toml,
# each of which says why. The whole output is shown.
rpmlint_is_clean() {
  local out rc
  out=$(rpmlint -c packaging/rpm/rpmlint.toml "$rpm_file" 2>&1)
  rc=$?
  echo "$out" | sed 's/^/      rpmlint: /' >&3
  [ "$rc" -eq 0 ] && ! grep -qE ': [EW]: ' <<<"$out" && grep -q ' 0 errors, 0 warnings' <<<"$out"
}
if command -v rpmlint >/dev/null; then
  check "rpmlint: no error and no warning" rpmlint_is_clean 3>&1
else
  fail "rpmlint: no error and no warning" "rpmlint is not installed (scripts/deps/packaging.txt)"
fi

# --- installed for real -------------------------------------------------------
echo "---- .rpm installed for real (private namespace, overlay /usr /etc /var, empty /run)"
scratch=$(mktemp -d "$work/root.XXXXXX")
if ! unshare --mount --propagation private true 2>/dev/null; then
  skip "rpm -i, -U, -e" "no private mount namespace here (unshare refused)"
else
  unshare --mount --propagation private bash "$self" --inside "$rpm_file" "$next_rpm" "$scratch"
  rc=$?
  if [ -f "$scratch/counts" ]; then
    read -r p f s <"$scratch/counts"
    passed=$((passed + p)) failed=$((failed + f)) skipped=$((skipped + s))
  elif [ "$rc" -eq 3 ]; then
    skip "rpm -i, -U, -e" "overlay or tmpfs mounts are refused here"
  else
    fail "rpm -i, -U, -e" "the namespace run ended with status $rc"
  fi
fi
rm -rf "$scratch"

echo "linux rpm: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
