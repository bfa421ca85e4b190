#!/usr/bin/env bash
# Builds the Windows Installer package from the Windows build and checks it:
# its tables as msiinfo reads them, then, under Wine in a scratch prefix of
# its own, an install, the installed exe, a rebuild of the same version over
# it, an upgrade to the next patch version (built here from a copy of the
# sources with only the version raised), a refused downgrade, an uninstall,
# and an install whose task cannot be registered.
# The installed exe is only asked for its usage, which sweeps nothing.
#   check-windows-msi.sh
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=build/windows-release
work=$root/$build/msi-check
version=$(sed -n 's/^project(QOR_DelTmp VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
next=${version%.*}.$((${version##*.} + 1))
# Fixed for the life of the product: the README and the .wxs name it.
upgrade_code='{BB8E036F-8701-42E3-B120-44CEEC36F317}'

. scripts/checks.sh
. scripts/wine-msi.sh "$work/wineprefix"
die() { echo "FAIL  $*"; echo "windows msi: $passed passed, $((failed + 1)) failed"; exit 1; }

# --- build ----------------------------------------------------------------
cmake --preset windows-release >/dev/null || die "configure windows-release"
cmake --build --preset windows-msi || die "cmake --build --preset windows-msi"
msi=$root/$build/QOR_DelTmp-$version-x64.msi
[ -f "$msi" ] || die "no $msi"
echo "built $(basename "$msi"), $(stat -c %s "$msi") bytes"

rm -rf "$work" && mkdir -p "$work"
# The next version: the same sources with project(VERSION) raised, the exe
# and the MSI only (no tests).
next_src=$work/next-src
mkdir -p "$next_src"
tar -cf - CMakeLists.txt CMakePresets.json cmake Common packaging docs | tar -xf - -C "$next_src"
sed -i "s/^project(QOR_DelTmp VERSION $version /project(QOR_DelTmp VERSION $next /" "$next_src/CMakeLists.txt"
(cd "$next_src" && cmake --preset windows-release -DQOR_BUILD_TESTS=OFF >/dev/null &&
  cmake --build --preset windows-msi >/dev/null) || die "build the $next MSI"
next_msi=$next_src/$build/QOR_DelTmp-$next-x64.msi
[ -f "$next_msi" ] || die "no $next_msi"
echo "built $(basename "$next_msi") from a copy at version $next"

# The same version built again: the same files, a new ProductCode.
rebuilt_msi=$work/QOR_DelTmp-$version-rebuilt-x64.msi
bash packaging/windows/build-msi.sh "$version" "$root/$build/packaging/msi-files" "$rebuilt_msi" ||
  die "build $version again"

# A package whose task definition schtasks refuses: the same build script on
# the same files, but for the XML.
bad_files=$work/bad-files
cp -r "$root/$build/packaging/msi-files" "$bad_files"
printf 'not a task definition\r\n' >"$bad_files/QOR_DelTmp-task.xml"
bad_msi=$work/QOR_DelTmp-bad-task-x64.msi
bash packaging/windows/build-msi.sh "$version" "$bad_files" "$bad_msi" || die "build the MSI with a broken task"

# --- the package's tables ---------------------------------------------------
table() { msiinfo export "$1" "$2" | tr -d '\r' | tail -n +4; }
# table_value MSI TABLE KEY COLUMN: the COLUMN-th field of the row keyed KEY.
table_value() { table "$1" "$2" | awk -F'\t' -v k="$3" -v c="$4" '$1 == k {print $c}'; }

per_machine_with_fixed_upgrade_code() {
  local v
  v=$(table_value "$msi" Property ALLUSERS 2)
  [ "$v" = 1 ] || { echo "ALLUSERS is '$v', want 1 (per machine)"; return 1; }
  # Word count (msiinfo calls it Source): bit 8 would let a non-administrator
  # install without elevation, into their own profile.
  v=$(msiinfo suminfo "$msi" | sed -n 's/^Source: \([0-9]*\).*/\1/p')
  [ -n "$v" ] && [ $((v & 8)) -eq 0 ] || { echo "summary word count $v asks for no elevation"; return 1; }
  msiinfo suminfo "$msi" | grep -qx 'Template: x64;1033' || { echo "not an x64 package"; return 1; }
  v=$(table_value "$msi" Property UpgradeCode 2)
  [ "$v" = "$upgrade_code" ] || { echo "UpgradeCode is $v"; return 1; }
  # Both Upgrade rows (older or same version: replace; newer: refuse) use it.
  v=$(table "$msi" Upgrade | awk -F'\t' '{print $1, $2, $3, $5, $7}')
  [ "$v" = "$upgrade_code  $version 513 WIX_UPGRADE_DETECTED
$upgrade_code $version  2 WIX_DOWNGRADE_DETECTED" ] || { echo "Upgrade table:"; echo "$v"; return 1; }
  table "$msi" LaunchCondition | grep -q '^NOT WIX_DOWNGRADE_DETECTED' ||
    { echo "no launch condition refusing a downgrade"; return 1; }
}
check "msiinfo: per machine, x64, UpgradeCode $upgrade_code, major upgrade rows" \
  per_machine_with_fixed_upgrade_code

carries_project_version() {
  local v
  v=$(table_value "$msi" Property ProductVersion 2)
  [ "$v" = "$version" ] || { echo "ProductVersion $v"; return 1; }
  v=$(table_value "$msi" File QOR_DelTmp.exe 5)
  [ "$v" = "$version.0" ] || { echo "exe file version $v"; return 1; }
  v=$(table_value "$next_msi" Property ProductVersion 2)
  [ "$v" = "$next" ] || { echo "the next build's ProductVersion is $v"; return 1; }
  # The exe's own version resource follows the same project(VERSION).
  strings -el "$next_src/$build/packaging/msi-files/QOR_DelTmp.exe" | grep -qx "$next" ||
    { echo "the next build's exe has no version resource $next"; return 1; }
}
check "msiinfo: ProductVersion and file version are project(VERSION) ($version; the copy: $next)" \
  carries_project_version

installs_three_files_and_the_task() {
  local v
  v=$(table "$msi" Directory | awk -F'\t' '$1 == "INSTALLDIR" {print $2, $3}')
  [ "$v" = "ProgramFiles64Folder QOR_DelTmp" ] || { echo "INSTALLDIR: $v"; return 1; }
  v=$(table "$msi" File | awk -F'\t' '{print $3}' | sort | tr '\n' ' ')
  [ "$v" = "QOR_DelTmp-task.xml QOR_DelTmp.exe README.txt " ] || { echo "files: $v"; return 1; }
  v=$(table_value "$msi" CustomAction RegisterScheduledTask 4)
  [ "$v" = '"[System64Folder]schtasks.exe" /Create /TN QOR_DelTmp /XML "[INSTALLDIR]QOR_DelTmp-task.xml" /F' ] ||
    { echo "RegisterScheduledTask runs: $v"; return 1; }
  # 3106: a program in a folder, deferred, not impersonated, exit code checked.
  [ "$(table_value "$msi" CustomAction RegisterScheduledTask 2)" = 3106 ] ||
    { echo "RegisterScheduledTask type $(table_value "$msi" CustomAction RegisterScheduledTask 2)"; return 1; }
  table_value "$msi" CustomAction UnregisterScheduledTask 4 | grep -q '/Delete /TN QOR_DelTmp /F$' ||
    { echo "no task deletion on uninstall"; return 1; }
  [ "$(table_value "$msi" InstallExecuteSequence UnregisterScheduledTask 2)" = 'REMOVE~="ALL"' ] ||
    { echo "the task deletion does not run on uninstall"; return 1; }
}
check "msiinfo: three files into Program Files\\QOR_DelTmp, schtasks /Create and /Delete" \
  installs_three_files_and_the_task

# --- under Wine -------------------------------------------------------------
start_wine_prefix "$msi" "$rebuilt_msi" "$next_msi" "$bad_msi" || die "make the Wine prefix"

installs() {
  msiexec /i "$(basename "$msi")" install.log || { echo "msiexec /i ended with status $?"; return 1; }
  local f
  cmp "$folder/QOR_DelTmp.exe" "$root/$build/packaging/msi-files/QOR_DelTmp.exe" || return 1
  cmp "$folder/QOR_DelTmp-task.xml" "$task_xml" || return 1
  cmp "$folder/README.txt" packaging/windows/README.txt || return 1
  f=$(cd "$folder" && ls | sort | tr '\n' ' ')
  [ "$f" = "QOR_DelTmp-task.xml QOR_DelTmp.exe README.txt " ] || { echo "installed: $f"; return 1; }
  task_is_ours || return 1
  [ "$(installed_versions)" = "$version" ] || { echo "installed products: $(installed_versions)"; return 1; }
}
check "msiexec /i $(basename "$msi") /qn: status 0, the three files, the task, one product" installs

installed_exe_prints_usage() {
  local out
  out=$(wine_run 'C:\Program Files\QOR_DelTmp\QOR_DelTmp.exe' '/?') || { echo "/? ended with status $?"; return 1; }
  [ "$(head -n 1 <<<"$out")" = $'Usage: QOR_DelTmp [/s][/a]\r' ] || { echo "$out"; return 1; }
}
check "the installed exe prints its usage for /?" installed_exe_prints_usage

replaces_same_version() {
  local before after
  before=$(table_value "$msi" Property ProductCode 2)
  after=$(table_value "$rebuilt_msi" Property ProductCode 2)
  [ "$before" != "$after" ] || { echo "the rebuild has the same ProductCode"; return 1; }
  msiexec /i "$(basename "$rebuilt_msi")" rebuild.log || { echo "msiexec /i ended with status $?"; return 1; }
  [ "$(installed_versions)" = "$version" ] || { echo "installed products: $(installed_versions | tr '\n' ' ')"; return 1; }
  task_is_ours
}
check "msiexec /i of a rebuild of $version (new ProductCode): still exactly one product" replaces_same_version

upgrades() {
  msiexec /i "$(basename "$next_msi")" upgrade.log || { echo "msiexec /i ended with status $?"; return 1; }
  [ "$(installed_versions)" = "$next" ] || { echo "installed products: $(installed_versions | tr '\n' ' ')"; return 1; }
  cmp "$folder/QOR_DelTmp.exe" "$next_src/$build/packaging/msi-files/QOR_DelTmp.exe" ||
    { echo "the installed exe is not the $next build's"; return 1; }
  task_is_ours
}
check "msiexec /i of $next over $version: exactly one product, $next, with its exe and the task" upgrades

refuses_downgrade() {
  msiexec /i "$(basename "$msi")" downgrade.log && { echo "$version installed over $next"; return 1; }
  [ "$(installed_versions)" = "$next" ] || { echo "installed products: $(installed_versions | tr '\n' ' ')"; return 1; }
  cmp "$folder/QOR_DelTmp.exe" "$next_src/$build/packaging/msi-files/QOR_DelTmp.exe" || return 1
  task_is_ours
}
check "msiexec /i of $version over $next is refused; $next stays as it was" refuses_downgrade

uninstalls() {
  msiexec /x "$(basename "$next_msi")" uninstall.log || { echo "msiexec /x ended with status $?"; return 1; }
  [ ! -e "$folder" ] || { echo "left: $(ls -A "$folder")"; return 1; }
  [ ! -e "$task" ] || { echo "the task is still registered"; return 1; }
  [ -z "$(installed_versions)" ] || { echo "still installed: $(installed_versions)"; return 1; }
}
check "msiexec /x /qn removes the files, the folder, the task and the product" uninstalls

refused_task_rolls_back() {
  msiexec /i "$(basename "$bad_msi")" bad-task.log && { echo "the install succeeded"; return 1; }
  # The log names the failing action (Windows Installer ends it with return
  # value 3, Wine's with 0), and the rollback ran after it.
  awk '/Action ended .*: RegisterScheduledTask\. Return value [03]\./ {failed = 1}
       failed && /Action ended .*: UnregisterTaskOnRollback\./ {rolled = 1}
       END {exit !rolled}' "$drive_c/msi/bad-task.log" ||
    { echo "the log shows no failing RegisterScheduledTask followed by the rollback"; return 1; }
  [ ! -e "$folder" ] || { echo "left: $(ls -A "$folder")"; return 1; }
  [ ! -e "$task" ] || { echo "a task is registered"; return 1; }
  [ -z "$(installed_versions)" ] || { echo "installed: $(installed_versions)"; return 1; }
}
check "a task schtasks refuses fails the install, which leaves nothing behind" refused_task_rolls_back

echo "windows msi: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
