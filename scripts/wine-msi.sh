# The Wine side of the MSI checks, sourced by check-windows-msi.sh and
# check-windows-signing.sh from the repository root:
#   . scripts/wine-msi.sh PREFIX
#   start_wine_prefix MSI... || die "make the Wine prefix"
# A scratch prefix of its own (made by wine-run.sh, then served by one
# persistent wineserver until the sourcing script exits) with the MSIs in its
# C:\msi, and what Windows sees there: installed products, the registered
# task, the installed files.
wine_prefix=$(realpath -m "$1")
wine_run_script=$(realpath scripts/wine-run.sh)
drive_c=$wine_prefix/drive_c
folder="$drive_c/Program Files/QOR_DelTmp"
task="$drive_c/windows/system32/tasks/QOR_DelTmp"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
task_xml=packaging/windows/QOR_DelTmp-task.xml

wine_run() { (cd "$drive_c" 2>/dev/null || cd "$(dirname "$wine_prefix")"; "$wine_run_script" "$wine_prefix" "$@"); }

start_wine_prefix() {  # start_wine_prefix MSI...
  wine_run cmd /c "exit 0" >/dev/null || return 1
  WINEPREFIX="$wine_prefix" wineserver -k 2>/dev/null || true
  WINEPREFIX="$wine_prefix" wineserver -p
  trap 'WINEPREFIX="$wine_prefix" wineserver -k 2>/dev/null || true' EXIT
  mkdir -p "$drive_c/msi"
  cp "$@" "$drive_c/msi/"
}

# The DisplayVersion of every installed product named QOR_DelTmp, one a line.
installed_versions() {
  wine_run reg query "$uninstall_key" /s | tr -d '\r' | awk '
    /^HKEY_/ {name = ""; ver = ""}
    $1 == "DisplayName" {name = $3}
    $1 == "DisplayVersion" {ver = $3}
    name == "QOR_DelTmp" && ver != "" {print ver; name = ""}'
}
# The task Wine's Task Scheduler keeps came from the package's XML: Wine
# stores only part of a definition, but the description survives.
task_is_ours() {
  [ -f "$task" ] || { echo "no task at C:\\windows\\system32\\tasks\\QOR_DelTmp"; return 1; }
  local want
  want=$(xmllint --xpath "string(/*[local-name()='Task']/*[local-name()='RegistrationInfo']/*[local-name()='Description'])" "$task_xml")
  grep -qF "<Description>$want</Description>" "$task" || { echo "the registered task is not the package's"; return 1; }
}
msiexec() {  # msiexec ACTION MSI-NAME LOG-NAME
  wine_run msiexec "$1" "C:\\msi\\$2" /qn /l*v "C:\\msi\\$3" >/dev/null
}
