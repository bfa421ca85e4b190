#!/usr/bin/env bash
# Packs the Windows build into its zip and checks it: exactly the exe, the
# task definition and the readme, the two text files as they are in the
# repository, the packed (stripped) exe's manifest, and that it still starts
# under Wine. The exe is only asked for its usage, which ends before any
# folder is swept.
#   check-windows-zip.sh WINE-PREFIX
set -uo pipefail
cd "$(dirname "$0")/.."
prefix=$1
build=build/windows-release
version=$(sed -n 's/^project(QOR_DelTmp VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
top=QOR_DelTmp-$version-win64

. scripts/checks.sh

rm -f "$build"/*.zip
cpack --preset windows-zip >/dev/null || { echo "FAIL  cpack --preset windows-zip"; exit 1; }
zip=$build/$top.zip
[ -f "$zip" ] || { echo "FAIL  no $zip"; exit 1; }
echo "built $(basename "$zip"), $(stat -c %s "$zip") bytes"
unpacked=$build/zip-check
rm -rf "$unpacked" && mkdir -p "$unpacked"
(cd "$unpacked" && cmake -E tar xf "../$top.zip") || { echo "FAIL  cannot unpack $zip"; exit 1; }

zip_holds_three_files() {
  local want got
  want=$(printf '%s\n' "$top/QOR_DelTmp-task.xml" "$top/QOR_DelTmp.exe" "$top/README.txt")
  got=$(cd "$unpacked" && find . -type f | sed 's|^\./||' | sort)
  [ "$want" = "$got" ] || { diff <(echo "$want") <(echo "$got"); return 1; }
}
check "zip holds exactly the exe, the task XML and the readme" zip_holds_three_files
check "task XML in the zip is the repository's" \
  cmp packaging/windows/QOR_DelTmp-task.xml "$unpacked/$top/QOR_DelTmp-task.xml"
readme_matches_with_crlf() {
  local packed=$unpacked/$top/README.txt
  cmp packaging/windows/README.txt "$packed" || return 1
  head -n 1 "$packed" | grep -q $'\r$' || { echo "README.txt has Unix line ends"; return 1; }
}
check "readme in the zip is the repository's, with CRLF line ends" readme_matches_with_crlf
packed_exe_runs() {
  local out
  out=$(scripts/wine-run.sh "$prefix" "$unpacked/$top/QOR_DelTmp.exe" '/?') ||
    { echo "/? ended with status $?"; return 1; }
  [ "$(head -n 1 <<<"$out")" = $'Usage: QOR_DelTmp [/s][/a]\r' ] || { echo "$out"; return 1; }
}
check "the packed exe starts under Wine and prints its usage" packed_exe_runs
# Resource 1 of type 24 (RT_MANIFEST) is what Windows reads before it starts
# the exe: it must demand administrator rights, without UI access.
manifest_demands_administrator() {
  x86_64-w64-mingw32-windres -i "$unpacked/$top/QOR_DelTmp.exe" -J coff -O rc |
    sed -n '/^1 24 /,/^END/p' |
    grep -F 'requestedExecutionLevel level=""requireAdministrator"" uiAccess=""false""'
}
check "the packed exe's manifest demands administrator rights" manifest_demands_administrator

echo "windows zip: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
