#!/usr/bin/env bash
# Packaging: every package passes its linter and one smoke test.
# - lintian on both .debs, rpmlint (packaging/rpm/rpmlint.toml) on both
#   RPMs, wixl and msibuild on the MSI: each report is printed, and none may
#   hold an error or a warning.
# - The x86-64 .deb and RPM are installed, run, upgraded to a next version
#   and removed on a throw-away system (scripts/linux-package-smoke.sh), the
#   MSI likewise under Wine in a scratch prefix, where it also refuses a
#   folder other than its task's and installs without the task given
#   NOTASK; the zip is unpacked and its exe run, and so is each .tar.gz,
#   with the binary its service names.
# - The static binaries of both .debs and both RPMs need no runtime newer
#   than RHEL 8's; each .deb's is its RPM's build, and the RPMs' pass the
#   generated end-to-end run, the aarch64 one under qemu.
# - A build given a throw-away key signs the exe and the MSI; the build
#   without one signs neither.
# Outside the end-to-end run a packaged binary is only asked for its usage.
# Each check runs traced and stops at its first failing step; a failure
# prints the trace, with the values the step saw, and the output.
set -euo pipefail
cd "$(dirname "$0")/../.."
work="$PWD/build/packaging-check"
version=$(sed -n 's/^project(QOR_DelTmp VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
next="${version%.*}.$((${version##*.} + 1))"
rm -rf "$work"
mkdir -p "$work"
# Debian's rpm and rpmlint keep a database and a cache in the home folder.
export HOME="$work"
# The Wine prefix for the Windows checks is made meanwhile.
export WINEPREFIX="$work/wineprefix"
scripts/wine-run.sh "$WINEPREFIX" cmd /c "exit 0" >/dev/null &
making_prefix=$!

failed=0
check() {  # check NAME COMMAND...
  local out
  set +e
  out=$(exec 2>&1; set -ex; "${@:2}")
  if [ "$?" = 0 ]; then
    echo "ok    $1"
  else
    failed=1
    echo "FAIL  $1"
    echo "$out"
  fi
  set -e
}
# A linter's report is printed also when it passes.
exec 3>&1
lint() {  # lint LINTER...: exits 0, and its report holds no error or warning
  "$@" 2>&1 | tee "$work/report" >&3
  ! grep -E '(^|: )[EW]: |WARNING|CRITICAL' "$work/report"
}
usage() {  # usage [RUNNER] BINARY: the binary prints its usage
  "$@" '/?' | grep '^Usage: QOR_DelTmp'
}
# Versions newer than RHEL 8's runtimes: glibc 2.28, and GCC 8's libstdc++
# (GLIBCXX_3.4.25, CXXABI_1.3.11) and libgcc_s (GCC_8.0.0).
within_rhel8() {  # within_rhel8 BINARY: fails naming each symbol it takes from a newer runtime
  readelf -W --dyn-syms "$1" >"$work/symbols"
  ! grep -oE '[^ ]+@(GLIBC_2\.(29|[3-9][0-9])|GLIBCXX_3\.4\.(2[6-9]|[3-9][0-9])|CXXABI_1\.3\.(1[2-9]|[2-9][0-9])|GCC_(9|[1-9][0-9]))\b[0-9.]*' "$work/symbols"
}
build() {  # build CONFIGURE-PRESET PACKAGE-PRESET
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1"
  cpack --preset "$2" >/dev/null
}
# The same files packed as the next version, to upgrade to.
pack_next() {  # pack_next PACKAGE-PRESET [CPACK-OPTIONS...]
  cpack --preset "$@" -D CPACK_PACKAGE_VERSION="$next" -B "$work/next" >/dev/null
}

# The check must see what ties a dynamically linked build to Debian 12: it
# is shown stage 10's debug build, of the same compiler.
check "the RHEL 8 check names __libc_start_main@GLIBC_2.34 in a dynamically linked build" \
  grep -x '__libc_start_main@GLIBC_2.34' <<<"$(within_rhel8 build/linux-debug/Common/Source/Tools/QOR_DelTmp/QOR_DelTmp)"
same_build() {  # same_build BINARY OTHER: OTHER carries BINARY's GNU build ID
  local id
  id=$(readelf -n "$1" | grep -o 'Build ID: [0-9a-f]*')
  readelf -n "$2" | grep -F "$id"
}

# Each architecture's RPM, .deb and .tar.gz, of one static build.
for arch in x86_64 aarch64; do
  echo "---- $arch RPM, .deb and .tar.gz (linked statically, for RHEL 8 and later, SLES 15, Debian, Ubuntu, any Linux)"
  preset=linux-static
  emulator=
  deb="qor-deltmp_${version}_amd64.deb"
  if [ "$arch" = aarch64 ]; then
    preset=linux-aarch64
    emulator=qemu-aarch64-static
    deb="qor-deltmp_${version}_arm64.deb"
  fi
  build "$preset" "$preset"
  rpm="qor-deltmp-$version-1.$arch.rpm"
  check "rpmlint: no error or warning" lint rpmlint -c packaging/rpm/rpmlint.toml "build/$preset/$rpm"
  mkdir "$work/$arch.rpm" "$work/$arch.tar.gz"
  rpm2cpio "build/$preset/$rpm" | cpio -id --quiet -D "$work/$arch.rpm"
  dpkg-deb -x "build/$preset/$deb" "$work/$arch.deb"
  for format in rpm deb; do
    check "the $format's binary needs no runtime newer than RHEL 8's" within_rhel8 "$work/$arch.$format/usr/sbin/QOR_DelTmp"
  done
  # So the run below speaks for both.
  check "the deb's binary is the rpm's (the same build ID)" same_build "$work/$arch".{rpm,deb}/usr/sbin/QOR_DelTmp
  # 50 seeds of the run the dynamic build gets 300 of (stage 10): enough to
  # show that the static runtimes and the aarch64 build behave the same.
  check "the rpm's binary passes 50 seeds of the generated end-to-end run${emulator:+ under $emulator}" \
    python3 tests/EndToEnd/generated_run.py linux "$work/$arch.rpm/usr/sbin/QOR_DelTmp" --seeds 50 --emulator "$emulator"
  # The binary its service starts, found under where the .tar.gz was unpacked
  # as README says.
  tar --no-overwrite-dir -xzf "build/$preset/qor-deltmp-$version-$arch.tar.gz" -C "$work/$arch.tar.gz"
  check "the .tar.gz unpacks a binary that runs, where its service starts it" usage $emulator \
    "$work/$arch.tar.gz$(sed -n 's/^ExecStart=//p' "$work/$arch.tar.gz/usr/local/lib/systemd/system/QOR_DelTmp.service")"
  if [ "$arch" = x86_64 ]; then
    pack_next "$preset" -G 'RPM;DEB'
    for package in "$rpm" "$deb"; do
      check "$package installed: runs, units verified, timer disabled; upgraded to $next: only it, timer kept; removed: nothing left" \
        unshare -m bash scripts/linux-package-smoke.sh "build/$preset/$package" "$work/next/${package//$version/$next}" "$work/${package##*.}"
    done
  fi
done
# One run for both: lintian takes longer to start than to check a package.
check "lintian on both .debs: no error or warning" lint lintian --display-info build/linux-{static,aarch64}/*.deb

echo "---- Windows zip and MSI, under Wine in a scratch prefix"
win=build/windows-release
cmake --preset windows-release >/dev/null
# Builds the exe too if the Windows stage has not.
cmake --build --preset windows-msi
cpack --preset windows-zip >/dev/null
wait "$making_prefix"
wine_run() {  # wine_run PROGRAM ARGUMENTS...: in the scratch prefix
  scripts/wine-run.sh "$WINEPREFIX" "$@"
}
installed() {  # the version of each product installed
  wine_run reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s /v DisplayVersion | grep -oE '[0-9]+\.[0-9.]+'
}

python3 -m zipfile -e "$win/QOR_DelTmp-$version-win64.zip" "$work/zip"
exe="$work/zip/QOR_DelTmp-$version-win64/QOR_DelTmp.exe"
check "the zip unpacks an exe that runs" usage wine_run "$exe"
# Windows reads the manifest, stored as text, before it starts the exe.
check "the zip's exe demands administrator rights" \
  grep -aoF 'requestedExecutionLevel level="requireAdministrator" uiAccess="false"' "$exe"
cp "$win/QOR_DelTmp-$version-x64.msi" "$WINEPREFIX/drive_c/this.msi"
check "wixl and msibuild: no error or warning" \
  lint bash packaging/windows/build-msi.sh "$next" "$win/packaging/msi-files" "$WINEPREFIX/drive_c/next.msi"
task="$WINEPREFIX/drive_c/windows/system32/tasks/QOR_DelTmp"
msi_smoke() {  # installed, run, upgraded and uninstalled under Wine
  wine_run msiexec /i 'C:\this.msi' /qn
  usage wine_run 'C:\Program Files\QOR_DelTmp\QOR_DelTmp.exe'
  [ -f "$task" ]
  wine_run msiexec /i 'C:\next.msi' /qn
  [ "$(installed)" = "$next" ]
  wine_run msiexec /x 'C:\next.msi' /qn
  [ -z "$(installed)$(find "$WINEPREFIX/drive_c" -iname '*qor?deltmp*')" ]
}
check "installed, runs, task there; upgraded to $next: only it; uninstalled: nothing left" msi_smoke
fails() {  # fails COMMAND...: the command fails
  ! "$@"
}
msi_elsewhere() {  # installed in another folder, refused with the task and taken without
  fails wine_run msiexec /i 'C:\this.msi' /qn 'INSTALLDIR=C:\elsewhere'
  [ -z "$(installed)" ]
  wine_run msiexec /i 'C:\this.msi' /qn NOTASK=1 'INSTALLDIR=C:\elsewhere'
  # The upgrade keeps to the first install's choices.
  wine_run msiexec /i 'C:\next.msi' /qn
  usage wine_run 'C:\elsewhere\QOR_DelTmp.exe'
  [ ! -e "$task" ]
  # An administrator's own task, which uninstalling leaves.
  wine_run schtasks /Create /TN QOR_DelTmp /XML 'C:\elsewhere\QOR_DelTmp-task.xml'
  wine_run msiexec /x 'C:\next.msi' /qn
  [ -f "$task" ]
  [ -z "$(installed)$(ls "$WINEPREFIX/drive_c/elsewhere")" ]
}
check "INSTALLDIR elsewhere: refused; with NOTASK=1 installed there, upgraded, no task; uninstalled: an own task kept" msi_elsewhere

echo "---- Authenticode"
openssl req -x509 -newkey rsa:2048 -nodes -subj "/CN=QOR_DelTmp test code signing" \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
openssl rand -hex 16 >"$work/password"
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -passout file:"$work/password" -out "$work/sign.p12"
cmake --preset windows-release -B "$work/signed" -DQOR_BUILD_TESTS=OFF \
  -DQOR_SIGN_PKCS12="$work/sign.p12" -DQOR_SIGN_PASSWORD_FILE="$work/password" >/dev/null
cmake --build "$work/signed" --target msi -j 2
unsigned() {  # unsigned FILE: osslsigncode finds no signature in it
  [[ "$(osslsigncode verify -in "$1" 2>&1)" = *[Nn]o\ signature* ]]
}
for file in packaging/msi-files/QOR_DelTmp.exe "QOR_DelTmp-$version-x64.msi"; do
  check "without a key, $file is unsigned" unsigned "$win/$file"
  check "given a PKCS#12 key and its password file, $file is signed with it" \
    osslsigncode verify -CAfile "$work/cert.pem" -in "$work/signed/$file"
done
exit "$failed"
