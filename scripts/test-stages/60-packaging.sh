#!/usr/bin/env bash
# Packaging: every package passes its linter and one smoke test.
# - lintian on the .deb, rpmlint (packaging/rpm/rpmlint.toml) on both RPMs,
#   wixl and msibuild on the MSI: each report is printed, and none may hold
#   an error or a warning.
# - The .deb and the x86-64 RPM are installed, run, upgraded to a next
#   version and removed on a throw-away system (scripts/linux-package-smoke.sh),
#   the MSI likewise under Wine in a scratch prefix; the .tar.gz files and the
#   zip are unpacked and their binary run.
# - Both RPMs' static binaries need no runtime newer than RHEL 8's and pass
#   the generated end-to-end run, the aarch64 one under qemu.
# - A build given a throw-away key signs the exe and the MSI; the build
#   without one signs neither.
# Outside the end-to-end run a packaged binary is only asked for its usage.
set -uo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
work=$root/build/packaging-check
version=$(sed -n 's/^project(QOR_DelTmp VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
next=${version%.*}.$((${version##*.} + 1))
rm -rf "$work"
mkdir -p "$work"
# Debian's rpm and rpmlint keep a database and a cache in the home folder.
export HOME=$work

passed=0
failed=0
check() {  # check NAME COMMAND...: shows the command's output when it fails
  local name=$1 out
  shift
  if out=$("$@" 2>&1); then
    passed=$((passed + 1))
    echo "ok    $name"
  else
    failed=$((failed + 1))
    echo "FAIL  $name"
    sed 's/^/      /' <<<"$out"
  fi
}
# A linter's report is printed also when it passes.
exec 3>&1
clean() {  # clean LINTER...: exits 0 and reports no error or warning
  local out status
  out=$("$@" 2>&1)
  status=$?
  sed 's/^/      | /' <<<"${out:-(no output)}" >&3
  [ "$status" -eq 0 ] && ! grep -qE '(^|: )[EW]: |WARNING|CRITICAL' <<<"$out"
}
build() {  # build PRESET
  cmake --preset "$1" >/dev/null && cmake --build --preset "$1" >/dev/null || { echo "FAIL  build $1"; exit 1; }
}
smoke() {  # smoke PACKAGE NEXT-PACKAGE
  unshare -m bash scripts/linux-package-smoke.sh "$@" "$(mktemp -d "$work/root.XXXXXX")"
}

# RHEL 8 has glibc 2.28 and GCC 8's libstdc++ and libgcc_s.
rhel8_runtimes=(GLIBC_2.28 GLIBCXX_3.4.25 CXXABI_1.3.11 GCC_8.0.0)
newer_than_rhel8() {  # newer_than_rhel8 BINARY: each symbol it takes from a newer runtime
  local runtime symbol
  for runtime in "${rhel8_runtimes[@]}"; do
    for symbol in $(readelf -W --dyn-syms "$1" | grep -oE "[^ ]+@${runtime%_*}_[0-9.]+"); do
      [ "$(printf '%s\n' "${symbol##*_}" "${runtime#*_}" | sort -V | tail -n 1)" = "${runtime#*_}" ] || echo "$symbol"
    done
  done
}
within_rhel8() {  # within_rhel8 BINARY
  local newer
  newer=$(newer_than_rhel8 "$1")
  [ -z "$newer" ] || { echo "needs more than RHEL 8 has:"; echo "$newer"; return 1; }
}

echo "---- .deb (linked dynamically, for the Debian release it is built on)"
build linux-package
cpack --preset linux-deb >/dev/null
cpack --preset linux-deb -D CPACK_PACKAGE_VERSION="$next" -B "$work/next" >/dev/null
deb=build/linux-package/qor-deltmp_${version}_amd64.deb
check "lintian: no error or warning" clean lintian --fail-on error,warning --display-info "$deb"
check "installed: runs, units verified, timer disabled; upgraded to $next: one package, timer kept; purged: nothing left" \
  smoke "$deb" "$work/next/qor-deltmp_${next}_amd64.deb"
# The RHEL 8 check below must see what ties the .deb's binary to Debian 12.
check "the RHEL 8 check finds __libc_start_main@GLIBC_2.34 in the .deb's binary" \
  grep -qx '__libc_start_main@GLIBC_2.34' <<<"$(newer_than_rhel8 build/linux-package/Common/Source/Tools/QOR_DelTmp/QOR_DelTmp)"

# The RPM and the .tar.gz of one static build, and its binary end to end.
static_packages() {  # static_packages PRESET ARCH [EMULATOR]
  local preset=$1 arch=$2 emulator=${3:-}
  local rpm=build/$preset/qor-deltmp-$version-1.$arch.rpm unpacked=$work/$arch
  echo "---- $arch RPM and .tar.gz (linked statically, for RHEL 8 and later, SLES 15, any Linux)"
  build "$preset"
  cpack --preset "$preset" >/dev/null
  check "rpmlint: no error or warning" clean rpmlint -c packaging/rpm/rpmlint.toml "$rpm"
  mkdir -p "$unpacked"
  rpm2cpio "$rpm" | (cd "$unpacked" && cpio -idm --quiet ./usr/sbin/QOR_DelTmp)
  check "the RPM's binary needs no runtime newer than RHEL 8's" within_rhel8 "$unpacked/usr/sbin/QOR_DelTmp"
  # 100 seeds of the run the dynamic build gets 300 of (stage 10): enough to
  # show that the static runtimes and the aarch64 build behave the same.
  check "the RPM's binary passes 100 seeds of the generated end-to-end run${emulator:+ under $emulator}" \
    python3 tests/EndToEnd/generated_run.py linux "$unpacked/usr/sbin/QOR_DelTmp" --seeds 100 ${emulator:+--emulator "$emulator"}
  tar -xzf "build/$preset/qor-deltmp-$version-$arch.tar.gz" -C "$unpacked"
  check "the .tar.gz unpacks a binary that runs and units that start it from /usr/local" \
    tarball_works "$unpacked/usr/local" $emulator
}
tarball_works() {  # tarball_works PREFIX [EMULATOR]
  local usage
  usage=$(${2:-} "$1/sbin/QOR_DelTmp" '/?') || return 1
  grep -q '^Usage: QOR_DelTmp' <<<"$usage" || return 1
  grep -qx 'ExecStart=/usr/local/sbin/QOR_DelTmp /s' "$1/lib/systemd/system/QOR_DelTmp.service" || return 1
  [ -f "$1/lib/systemd/system/QOR_DelTmp.timer" ]
}
static_packages linux-static x86_64
cpack --preset linux-static -G RPM -D CPACK_PACKAGE_VERSION="$next" -B "$work/next" >/dev/null
check "installed: runs, units verified, timer disabled; upgraded to $next: one package, timer kept; erased: nothing left" \
  smoke "build/linux-static/qor-deltmp-$version-1.x86_64.rpm" "$work/next/qor-deltmp-$next-1.x86_64.rpm"
static_packages linux-aarch64 aarch64 qemu-aarch64-static

echo "---- Windows zip and MSI, under Wine in a scratch prefix"
win=build/windows-release
msi=$win/QOR_DelTmp-$version-x64.msi
exe=$win/packaging/msi-files/QOR_DelTmp.exe
prefix=$work/wineprefix
drive_c=$prefix/drive_c
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
cmake --preset windows-release >/dev/null
# Builds the exe too if the Windows stage has not.
cmake --build --preset windows-msi >/dev/null
cpack --preset windows-zip >/dev/null
scripts/wine-run.sh "$prefix" cmd /c "exit 0" >/dev/null
# One wineserver for every run below, each of which then starts at once.
WINEPREFIX=$prefix wineserver -p
trap 'WINEPREFIX=$prefix wineserver -k' EXIT
wine_run() { (cd "$drive_c" && "$root/scripts/wine-run.sh" "$prefix" "$@"); }
wine_usage() {  # wine_usage EXE
  local usage
  usage=$(wine_run "$1" '/?') || return 1
  grep -q '^Usage: QOR_DelTmp' <<<"$usage"
}
installed_versions() {
  wine_run reg query "$uninstall_key" /s /v DisplayVersion | tr -d '\r' | awk '$1 == "DisplayVersion" {print $3}'
}

mkdir -p "$work/zip" "$drive_c/msi"
(cd "$work/zip" && cmake -E tar xf "$root/$win/QOR_DelTmp-$version-win64.zip")
zip_exe=$work/zip/QOR_DelTmp-$version-win64/QOR_DelTmp.exe
check "the zip unpacks an exe that runs" wine_usage "$zip_exe"
# Windows reads the manifest (resource 1 of type 24) before it starts the exe.
check "the packed exe's manifest demands administrator rights" \
  grep -qF 'requestedExecutionLevel level=""requireAdministrator"" uiAccess=""false""' <<<"$(x86_64-w64-mingw32-windres -i "$zip_exe" -J coff -O rc)"
cp "$msi" "$drive_c/msi/this.msi"
check "wixl and msibuild: no error or warning" \
  clean bash packaging/windows/build-msi.sh "$next" "$win/packaging/msi-files" "$drive_c/msi/next.msi"
msi_smoke() {
  wine_run msiexec /i 'C:\msi\this.msi' /qn || return 1
  wine_usage 'C:\Program Files\QOR_DelTmp\QOR_DelTmp.exe' || return 1
  [ -f "$drive_c/windows/system32/tasks/QOR_DelTmp" ] || { echo "no scheduled task"; return 1; }
  wine_run msiexec /i 'C:\msi\next.msi' /qn || return 1
  [ "$(installed_versions)" = "$next" ] || { echo "after the upgrade: $(installed_versions)"; return 1; }
  wine_run msiexec /x 'C:\msi\next.msi' /qn || return 1
  [ -z "$(installed_versions)" ] || { echo "after the uninstall: $(installed_versions)"; return 1; }
  [ ! -e "$drive_c/Program Files/QOR_DelTmp" ] || { echo "its folder is left"; return 1; }
  [ ! -e "$drive_c/windows/system32/tasks/QOR_DelTmp" ] || { echo "its task is left"; return 1; }
}
check "installed, runs, task there; upgraded to $next: one product; uninstalled: nothing left" msi_smoke

echo "---- Authenticode"
unsigned() {  # unsigned FILE...
  local file out
  for file in "$@"; do
    out=$(osslsigncode verify -in "$file" 2>&1)
    grep -qi 'no signature' <<<"$out" || { echo "$out"; return 1; }
  done
}
signed() {  # signed FILE...: each by the test certificate
  local file
  for file in "$@"; do
    osslsigncode verify -CAfile "$work/cert.pem" -in "$file" || return 1
  done
}
check "without a key the exe and the MSI are unsigned" unsigned "$exe" "$msi"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=QOR_DelTmp test code signing" \
  -addext extendedKeyUsage=codeSigning -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
openssl rand -hex 16 >"$work/password"
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -passout file:"$work/password" -out "$work/sign.p12"
cmake --preset windows-release -B "$work/signed" -DQOR_BUILD_TESTS=OFF \
  -DQOR_SIGN_PKCS12="$work/sign.p12" -DQOR_SIGN_PASSWORD_FILE="$work/password" >/dev/null
cmake --build "$work/signed" --target msi -j 2 >/dev/null
check "given a PKCS#12 key and its password file, the exe and the MSI are signed with it" \
  signed "$work/signed/packaging/msi-files/QOR_DelTmp.exe" "$work/signed/QOR_DelTmp-$version-x64.msi"

echo "packaging: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
