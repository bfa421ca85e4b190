#!/usr/bin/env bash
# Packaging: the install tree, the manual page, the systemd units, the .deb
# (listed, checked by lintian, then really installed, enabled, removed and
# purged inside a private mount namespace whose /usr, /etc and /var are
# throw-away overlays), the .rpm (the same, and an upgrade, by
# scripts/check-linux-rpm.sh), the Windows task definition, and the MSI
# (built from the Windows stage's cross build, then installed, upgraded and
# uninstalled under Wine by scripts/check-windows-msi.sh), and Authenticode
# signing of the exe and the MSI with a throw-away key
# (scripts/check-windows-signing.sh). The zip is checked by the Windows
# stage. The tool itself is only ever asked for its usage.
set -uo pipefail
self=$(realpath "$0")
cd "$(dirname "$self")/../.."

preset=linux-package
build=build/$preset
work=$build/packaging-test
unit_dir=usr/lib/systemd/system
expected_files=(
  usr/lib/systemd/system/QOR_DelTmp.service
  usr/lib/systemd/system/QOR_DelTmp.timer
  usr/sbin/QOR_DelTmp
  usr/share/doc/qor-deltmp/changelog.gz
  usr/share/doc/qor-deltmp/copyright
  usr/share/man/man8/QOR_DelTmp.8.gz
)

. scripts/checks.sh
summary() {
  echo "packaging: $passed passed, $failed failed, $skipped skipped"
  [ "$failed" -eq 0 ]
}

# --- helpers used by the checks ------------------------------------------

# The files (not folders) under a tree, relative, sorted.
files_under() { (cd "$1" && find . -type f -o -type l | sed 's|^\./||' | sort); }


# The values of KEY in a unit file, one a line (list settings may repeat).
unit_values() { sed -n "s/^$2=//p" "$1"; }

service_keys_hold() {
  local unit=$1 sbin=$2 v
  v=$(unit_values "$unit" Type)
  [ "$v" = oneshot ] || { echo "Type=$v, want oneshot"; return 1; }
  v=$(unit_values "$unit" ExecStart)
  [ "$v" = "$sbin/QOR_DelTmp /s" ] || { echo "ExecStart=$v, want $sbin/QOR_DelTmp /s"; return 1; }
  # A private /tmp would sweep an empty folder of the service's own.
  v=$(unit_values "$unit" PrivateTmp)
  case "$v" in "" | no | false | 0) ;; *) echo "PrivateTmp=$v"; return 1 ;; esac
  grep -Eq '^(DynamicUser|JoinsNamespaceOf)=' "$unit" && { echo "an option that implies PrivateTmp"; return 1; }
  v=$(unit_values "$unit" ProtectSystem)
  [ "$v" = strict ] || { echo "ProtectSystem=$v, want strict"; return 1; }
  # Every folder the tool sweeps must stay writable under ProtectSystem=strict.
  local writable
  writable=$(unit_values "$unit" ReadWritePaths | tr ' ' '\n' | sed 's/^-//' | sort -u)
  for folder in /var/tmp /var/lib/QORTemp /var/spool/cups /tmp; do
    grep -qx "$folder" <<<"$writable" || { echo "ReadWritePaths lacks $folder"; return 1; }
  done
  # Every count 1..255 is a success; anything else (a signal) is not.
  local statuses
  statuses=$(unit_values "$unit" SuccessExitStatus | tr ' ' '\n' | sed '/^$/d' | sort -n)
  same_lines "$(seq 1 255)" "$statuses" || { echo "SuccessExitStatus is not exactly 1..255"; return 1; }
}

timer_keys_hold() {
  local unit=$1
  [ "$(unit_values "$unit" OnCalendar)" = daily ] || { echo "OnCalendar is not daily"; return 1; }
  [ "$(unit_values "$unit" Persistent)" = true ] || { echo "Persistent is not true"; return 1; }
  [ -n "$(unit_values "$unit" RandomizedDelaySec)" ] || { echo "no RandomizedDelaySec"; return 1; }
  [ "$(unit_values "$unit" WantedBy)" = timers.target ] || { echo "WantedBy is not timers.target"; return 1; }
  grep -q '^Unit=' "$unit" && { echo "the timer must start the service of its own name"; return 1; }
  return 0
}

# No output at all from groff's strictest warnings.
renders_cleanly() {
  local out
  out=$(groff -man -ww -z "$1" 2>&1) || return 1
  [ -z "$out" ] || { echo "$out"; return 1; }
}

man_renders_cleanly() {  # man_renders_cleanly MAN-ARGS...
  local out
  out=$(MANWIDTH=80 MANPAGER=cat man --warnings "$@" 2>&1 >/dev/null) || { echo "$out"; return 1; }
  [ -z "$out" ] || { echo "$out"; return 1; }
}

# Every option the usage text offers has an entry of its own in OPTIONS: a
# tag line (after .TP) that starts with the option.
man_documents_usage_options() {
  local binary=$1 page=$2 usage options letter tags
  usage=$("$binary" '/?') || { echo "/? did not end with status 0"; return 1; }
  options=$(sed -n 's|^    /\(.\) : .*|\1|p' <<<"$usage")
  [ -n "$options" ] || { echo "no options found in the usage text:"; echo "$usage"; return 1; }
  tags=$(sed -n '/^\.SH OPTIONS/,/^\.SH /p' "$page" | awk 'tp {print} {tp = /^\.TP/}')
  for letter in $options; do
    grep -qE "^\.BR? /[$letter]([ \"]|\$)" <<<"$tags" || { echo "OPTIONS has no entry for /$letter"; return 1; }
  done
}

project_version=$(sed -n 's/^project(QOR_DelTmp VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)

man_version_matches_project() {
  local th
  th=$(sed -n 's/^\.TH .*"QOR_DelTmp \([0-9.]*\)".*/\1/p' "$1")
  [ -n "$project_version" ] && [ "$project_version" = "$th" ] ||
    { echo "project $project_version, manual page $th"; return 1; }
}

# The newest entry of the Debian changelog is the version being packaged.
changelog_matches_project() {
  local v
  v=$(dpkg-parsechangelog -l "$1" -S Version) || return 1
  [ "$v" = "$project_version" ] || { echo "changelog $v, project $project_version"; return 1; }
  [ "$(dpkg-parsechangelog -l "$1" -S Source)" = qor-deltmp ] || { echo "changelog is not qor-deltmp's"; return 1; }
}

# The newest entry of the RPM's changelog ("* DAY DATE NAME <MAIL> -
# VERSION-RELEASE") is the version being packaged.
rpm_changelog_matches_project() {
  local v
  v=$(grep -m 1 '^\* ' "$1" | sed -n 's/.* - \([0-9.]*\)-[0-9]*$/\1/p')
  [ "$v" = "$project_version" ] || { echo "RPM changelog '$v', project $project_version"; return 1; }
}

# Every file name of a package that the documentation quotes carries the
# project's version (the names are the ones the build makes).
docs_name_current_packages() {
  local file names stale
  for file in "$@"; do
    names=$(grep -oE 'qor-deltmp_[0-9.]+_amd64\.deb|qor-deltmp-[0-9.]+-[0-9]+\.x86_64\.rpm|QOR_DelTmp-[0-9.]+-(x64\.msi|win64\.zip)' "$file" | sort -u)
    [ -n "$names" ] || { echo "$file names no package"; return 1; }
    stale=$(grep -vE "_${project_version//./\\.}_|-${project_version//./\\.}-" <<<"$names") &&
      { echo "$file: $stale"; return 1; }
  done
  return 0
}

xml_value() {  # xml_value FILE XPATH-UNDER-TASK
  xmllint --xpath "string(/*[local-name()='Task']/$2)" "$1"
}

task_names_installed_path() {
  local xml=$1 readme=$2 exe='C:\Program Files\QOR_DelTmp\QOR_DelTmp.exe' v
  v=$(xml_value "$xml" "*[local-name()='Actions']/*[local-name()='Exec']/*[local-name()='Command']")
  [ "$v" = "\"$exe\"" ] || { echo "Command is $v"; return 1; }
  v=$(xml_value "$xml" "*[local-name()='Actions']/*[local-name()='Exec']/*[local-name()='Arguments']")
  [ "$v" = /s ] || { echo "Arguments is $v"; return 1; }
  # The readme tells the administrator to put the exe exactly there.
  tr -d '\r' <"$readme" | grep -qF "\"C:\\Program Files\\QOR_DelTmp\\\"" ||
    { echo "README.txt does not install to the folder the task names"; return 1; }
}

task_settings_hold() {
  local xml=$1 v
  v=$(xml_value "$xml" "*[local-name()='Principals']/*[local-name()='Principal']/*[local-name()='RunLevel']")
  [ "$v" = HighestAvailable ] || { echo "RunLevel is $v"; return 1; }
  v=$(xml_value "$xml" "*[local-name()='Principals']/*[local-name()='Principal']/*[local-name()='UserId']")
  [ "$v" = S-1-5-18 ] || { echo "UserId is $v, want SYSTEM (S-1-5-18)"; return 1; }
  v=$(xml_value "$xml" "*[local-name()='Triggers']/*[local-name()='CalendarTrigger']/*[local-name()='ScheduleByDay']/*[local-name()='DaysInterval']")
  [ "$v" = 1 ] || { echo "DaysInterval is $v"; return 1; }
}

# The declaration says UTF-8, so the bytes must be UTF-8 without a BOM.
task_encoding_matches() {
  head -c 3 "$1" | od -An -tx1 | grep -q 'ef bb bf' && { echo "has a BOM"; return 1; }
  head -n 1 "$1" | grep -q 'encoding="UTF-8"' || { echo "no UTF-8 declaration"; return 1; }
  iconv -f UTF-8 -t UTF-8 "$1" >/dev/null
}

# --- inside the private mount namespace -----------------------------------
# Runs as `60-packaging.sh --inside DEB SCRATCH`; reports through SCRATCH/counts.
if [ "${1:-}" = --inside ]; then
  deb=$2 scratch=$3
  overlay_system "$scratch" || exit 3
  # Slim images tell dpkg to drop manual pages; this /etc is a throw-away
  # overlay, so install the way a full system does.
  grep -l '^path-exclude' /etc/dpkg/dpkg.cfg.d/* 2>/dev/null | xargs -r rm -f
  export DEBIAN_FRONTEND=noninteractive
  link=/etc/systemd/system/timers.target.wants/QOR_DelTmp.timer
  state=/var/lib/systemd/deb-systemd-helper-enabled/QOR_DelTmp.timer.dsh-also
  # As the README installs it. The dependencies are already on this system.
  installs() {
    apt-get install -y -q --no-install-recommends "$deb" || return 1
    dpkg -L qor-deltmp | grep -qx /usr/sbin/QOR_DelTmp || { echo "dpkg -L lacks the binary"; return 1; }
    [ ! -e "$link" ] || { echo "the timer was enabled on install"; return 1; }
    [ "$(systemctl is-enabled QOR_DelTmp.timer 2>&1)" = disabled ] ||
      { echo "systemctl is-enabled: $(systemctl is-enabled QOR_DelTmp.timer 2>&1)"; return 1; }
    # deb-systemd-helper recorded the link enabling would make: that record
    # is what lets remove and purge clean up after the administrator.
    grep -qx "$link" "$state" || { echo "no deb-systemd-helper state naming $link"; return 1; }
  }
  check "apt-get install ./$(basename "$deb"): installed, timer disabled, state recorded" installs
  linked_dynamically() {
    local out
    out=$(ldd /usr/sbin/QOR_DelTmp) || { echo "ldd failed"; return 1; }
    echo "$out"
    grep -q 'not found' <<<"$out" && return 1
    grep -q 'libstdc++\.so\.6 => /' <<<"$out" && grep -q 'libc\.so\.6 => /' <<<"$out" &&
      /usr/sbin/QOR_DelTmp '/?' | grep -q '^Usage: QOR_DelTmp'
  }
  check "ldd: the installed binary loads the system's libstdc++ and libc, and runs" linked_dynamically
  man_opens_from_gz() {
    local page
    page=$(man -w 8 QOR_DelTmp) || return 1
    [ "$page" = /usr/share/man/man8/QOR_DelTmp.8.gz ] || { echo "man -w: $page"; return 1; }
    MANWIDTH=80 MANPAGER=cat man 8 QOR_DelTmp 2>&1 | grep -q 'QOR_DelTmp - delete stale temporary files' ||
      { echo "the rendered page lacks its NAME line"; return 1; }
  }
  check "man 8 QOR_DelTmp opens the gzipped page" man_opens_from_gz
  if man --help 2>&1 | grep -q -- --warnings; then
    check "man 8 QOR_DelTmp renders without warnings" man_renders_cleanly 8 QOR_DelTmp
  else
    skip "man 8 QOR_DelTmp renders without warnings" "this man has no --warnings"
  fi
  if command -v systemd-analyze >/dev/null; then
    check "systemd-analyze verify accepts the installed units" units_verify
  else
    skip "systemd-analyze verify" "systemd-analyze is not installed; the keys were parsed above"
  fi
  check "systemctl enable QOR_DelTmp.timer" \
    bash -c "systemctl enable QOR_DelTmp.timer && [ -L $link ]"
  removes() {
    dpkg -r qor-deltmp || return 1
    local f
    for f in /usr/sbin/QOR_DelTmp /usr/lib/systemd/system/QOR_DelTmp.timer \
      /usr/lib/systemd/system/QOR_DelTmp.service /usr/share/man/man8/QOR_DelTmp.8.gz; do
      [ ! -e "$f" ] || { echo "$f is still there"; return 1; }
    done
    [ ! -L "$link" ] || { echo "the enable link is still there"; return 1; }
    [ "$(dpkg-query -W -f='${Status}' qor-deltmp)" = "deinstall ok config-files" ] ||
      { echo "dpkg status: $(dpkg-query -W -f='${Status}' qor-deltmp)"; return 1; }
  }
  check "dpkg -r removes the files and disables the timer (its enable link goes)" removes
  purges() {
    dpkg -P qor-deltmp || return 1
    dpkg-query -W qor-deltmp 2>/dev/null && { echo "dpkg still knows qor-deltmp"; return 1; }
    [ ! -e "$state" ] || { echo "$state is still there"; return 1; }
    # Not counted: dpkg's and apt's logs, and the formatted copy man-db keeps
    # of a page read above (its own cache, which mandb prunes; no package
    # cleans it).
    nothing_left_behind "$scratch" log cache/man
  }
  check "dpkg -P leaves no unit, link, helper state or file of the package" purges
  echo "$passed $failed $skipped" >"$scratch/counts"
  exit 0
fi

# --- build, install, package ----------------------------------------------
die() { echo "FAIL  $*"; failed=$((failed + 1)); summary; exit 1; }

cmake --preset "$preset" >/dev/null || die "configure $preset"
cmake --build --preset "$preset" || die "build $preset"
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)

echo "---- install tree"
DESTDIR="$work/usr-tree" cmake --install "$build" --prefix /usr >/dev/null || die "install to /usr"
DESTDIR="$work/local-tree" cmake --install "$build" --prefix /usr/local >/dev/null ||
  die "install to /usr/local"
check "install puts exactly the expected files under /usr" \
  same_lines "$(printf '%s\n' "${expected_files[@]}")" "$(files_under "$work/usr-tree")"
check "installed binary is an executable (mode 755)" \
  bash -c "[ \"\$(stat -c %a '$work/usr-tree/usr/sbin/QOR_DelTmp')\" = 755 ]"
check "service in the /usr tree starts /usr/sbin/QOR_DelTmp /s" \
  service_keys_hold "$work/usr-tree/$unit_dir/QOR_DelTmp.service" /usr/sbin
check "service in the /usr/local tree follows the prefix" \
  service_keys_hold "$work/local-tree/usr/local/lib/systemd/system/QOR_DelTmp.service" /usr/local/sbin
check "timer runs daily, persistent, with a random delay" \
  timer_keys_hold "$work/usr-tree/$unit_dir/QOR_DelTmp.timer"

echo "---- manual page"
page=docs/QOR_DelTmp.8
check "groff -man -ww renders the page without a warning" renders_cleanly "$page"
if man --help 2>&1 | grep -q -- --warnings; then
  check "man --warnings renders the page without a warning" man_renders_cleanly -l "$page"
else
  skip "man --warnings renders the page" "this man has no --warnings"
fi
if command -v lexgrog >/dev/null; then
  check "the NAME section gives whatis and apropos their line" \
    bash -c "lexgrog '$page' | grep -q 'QOR_DelTmp - delete stale temporary files'"
else
  skip "NAME section parses for whatis" "lexgrog (man-db) is not installed"
fi
check "manual page documents every option of the usage text" \
  man_documents_usage_options "$work/usr-tree/usr/sbin/QOR_DelTmp" "$page"
check "manual page carries the project's version" man_version_matches_project "$page"
check "the Debian changelog's newest entry is the project's version" \
  changelog_matches_project packaging/debian/changelog
check "the RPM changelog's newest entry is the project's version" \
  rpm_changelog_matches_project packaging/rpm/changelog
check "README.md and the zip's readme name this version's packages" \
  docs_name_current_packages README.md packaging/windows/README.txt

echo "---- .deb"
rm -f "$build"/*.deb
cpack --preset linux-deb >/dev/null || die "cpack --preset linux-deb"
debs=("$build"/*.deb)
[ "${#debs[@]}" -eq 1 ] && [ -f "${debs[0]}" ] || die "expected one .deb in $build"
deb=$(cd "$(dirname "${debs[0]}")" && pwd)/$(basename "${debs[0]}")
echo "built $(basename "$deb"), $(stat -c %s "$deb") bytes"
check "dpkg-deb -c lists exactly the expected files" \
  same_lines "$(printf './%s\n' "${expected_files[@]}")" \
  "$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)"
control_fields_hold() {
  local v
  [ "$(dpkg-deb -f "$deb" Package)" = qor-deltmp ] || { echo "Package"; return 1; }
  [ "$(dpkg-deb -f "$deb" Version)" = "$project_version" ] || { echo "Version $(dpkg-deb -f "$deb" Version)"; return 1; }
  [ "$(dpkg-deb -f "$deb" Section)" = admin ] || { echo "Section"; return 1; }
  [ -n "$(dpkg-deb -f "$deb" Maintainer)" ] || { echo "no Maintainer"; return 1; }
  v=$(dpkg-deb -f "$deb" Architecture)
  [ "$v" = "$(dpkg --print-architecture)" ] || { echo "Architecture $v"; return 1; }
  # The binary is linked dynamically, and dpkg-shlibdeps turned the
  # libraries it loads into Depends.
  readelf -d "$work/usr-tree/usr/sbin/QOR_DelTmp" | grep -q 'NEEDED.*libstdc++' ||
    { echo "the packaged binary does not load libstdc++"; return 1; }
  v=$(dpkg-deb -f "$deb" Depends)
  grep -q 'libc6 (>= ' <<<"$v" && grep -q 'libstdc++6 (>= ' <<<"$v" ||
    { echo "Depends: $v"; return 1; }
}
check "control fields: name, version, section, maintainer, architecture, depends" control_fields_hold
package_docs_hold() {
  local unpacked=$work/deb-unpacked doc
  rm -rf "$unpacked" && dpkg-deb -x "$deb" "$unpacked" || return 1
  doc=$unpacked/usr/share/doc/qor-deltmp
  head -n 1 "$doc/copyright" |
    grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
    { echo "copyright is not in the machine-readable format"; return 1; }
  zcat "$doc/changelog.gz" | cmp - packaging/debian/changelog || return 1
  zcat "$unpacked/usr/share/man/man8/QOR_DelTmp.8.gz" | cmp - docs/QOR_DelTmp.8
}
check "package docs: machine-readable copyright, changelog.gz and the gzipped manual page" \
  package_docs_hold
# Policy and style as Debian checks them: no error and no warning. Its whole
# output is shown; overrides, if ever needed, sit in the package with their
# reason and are listed by lintian as such.
lintian_is_clean() {
  local out
  out=$(lintian --fail-on error,warning --display-info "$deb" 2>&1)
  local rc=$?
  echo "$out" | sed 's/^/      lintian: /' >&3
  [ "$rc" -eq 0 ] && ! grep -qE '^[EW]: ' <<<"$out"
}
if command -v lintian >/dev/null; then
  echo "      lintian $(lintian --version | awk '{print $2}') on $(basename "$deb"):"
  check "lintian: no error and no warning" lintian_is_clean 3>&1
else
  fail "lintian: no error and no warning" "lintian is not installed (scripts/deps/packaging.txt)"
fi

echo "---- .deb installed for real (private namespace, overlay /usr /etc /var)"
scratch=$(mktemp -d "$work/root.XXXXXX")
if ! unshare --mount --propagation private true 2>/dev/null; then
  skip "install, man, enable, remove" "no private mount namespace here (unshare refused)"
else
  unshare --mount --propagation private bash "$self" --inside "$deb" "$scratch"
  rc=$?
  if [ -f "$scratch/counts" ]; then
    read -r p f s <"$scratch/counts"
    passed=$((passed + p)) failed=$((failed + f)) skipped=$((skipped + s))
  elif [ "$rc" -eq 3 ]; then
    skip "install, man, enable, remove" "overlay mounts are refused here"
  else
    fail "install, man, enable, remove" "the namespace run ended with status $rc"
  fi
fi
rm -rf "$scratch"

# Built from the same build, checked by rpmlint, then installed, upgraded and
# erased in a namespace of its own.
echo "---- .rpm"
rpm_log=$work/check-linux-rpm.log
bash scripts/check-linux-rpm.sh 2>&1 | tee "$rpm_log"
if counts=$(sed -n 's/^linux rpm: \([0-9]*\) passed, \([0-9]*\) failed, \([0-9]*\) skipped$/\1 \2 \3/p' "$rpm_log") &&
  [ -n "$counts" ]; then
  read -r p f s <<<"$counts"
  passed=$((passed + p)) failed=$((failed + f)) skipped=$((skipped + s))
else
  fail "RPM checks" "scripts/check-linux-rpm.sh stopped before its summary"
fi

echo "---- Windows task definition and readme"
xml=packaging/windows/QOR_DelTmp-task.xml
readme=packaging/windows/README.txt
check "task XML is well-formed" xmllint --noout "$xml"
check "task XML is UTF-8 as it declares" task_encoding_matches "$xml"
check "task runs the installed exe with /s, as the readme installs it" \
  task_names_installed_path "$xml" "$readme"
check "task runs daily as SYSTEM with the highest privileges" task_settings_hold "$xml"

# The MSI is built from the Windows stage's cross build (only the exe is
# built here when that stage has not run), so nothing is compiled twice.
echo "---- Windows installer (MSI), under Wine in a scratch prefix"
msi_log=$work/check-windows-msi.log
bash scripts/check-windows-msi.sh 2>&1 | tee "$msi_log"
if counts=$(sed -n 's/^windows msi: \([0-9]*\) passed, \([0-9]*\) failed$/\1 \2/p' "$msi_log") && [ -n "$counts" ]; then
  read -r p f <<<"$counts"
  passed=$((passed + p)) failed=$((failed + f))
else
  fail "Windows installer checks" "scripts/check-windows-msi.sh stopped before its summary"
fi

# A build of its own signs them; the unsigned build above must stay unsigned.
echo "---- Authenticode signing of the exe and the MSI"
signing_log=$work/check-windows-signing.log
bash scripts/check-windows-signing.sh 2>&1 | tee "$signing_log"
if counts=$(sed -n 's/^windows signing: \([0-9]*\) passed, \([0-9]*\) failed$/\1 \2/p' "$signing_log") &&
  [ -n "$counts" ]; then
  read -r p f <<<"$counts"
  passed=$((passed + p)) failed=$((failed + f))
else
  fail "Authenticode signing checks" "scripts/check-windows-signing.sh stopped before its summary"
fi

summary
