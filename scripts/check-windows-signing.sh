#!/usr/bin/env bash
# Authenticode signing of the Windows build. The build without a key
# (windows-release) leaves the exe and the MSI unsigned and says so. A build
# of its own (build/windows-signed) given a throw-away self-signed
# code-signing certificate made here signs the exe, in the zip and in the
# MSI, and the MSI, with SHA-256: each passes osslsigncode verify against
# that certificate, the signed exe prints its usage under Wine, and the
# signed MSI installs and uninstalls under Wine. The same build given the key
# as a PKCS#12 file, its password in a file, and a time-stamping service (a
# local one, answering with openssl ts) signs with a countersignature, and
# the password is in none of its files.
# The exe is only asked for its usage, which sweeps nothing.
#   check-windows-signing.sh
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
unsigned=$root/build/windows-release
signed=$root/build/windows-signed
work=$root/build/signing-check
version=$(sed -n 's/^project(QOR_DelTmp VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
msi_name=QOR_DelTmp-$version-x64.msi
zip_top=QOR_DelTmp-$version-win64

. scripts/checks.sh
. scripts/wine-msi.sh "$work/wineprefix"
die() { echo "FAIL  $*"; echo "windows signing: $passed passed, $((failed + 1)) failed"; exit 1; }

# --- helpers ----------------------------------------------------------------
# A PE file's certificate table (data directory entry 4) holds its
# Authenticode signature; an MSI keeps it in the stream \005DigitalSignature.
has_no_signature() {  # has_no_signature EXE-OR-MSI
  local parts
  case "$1" in
    *.exe)
      parts=$(x86_64-w64-mingw32-objdump -p "$1") || return 1
      grep -qx 'Entry 4 0000000000000000 00000000 Security Directory' <<<"$parts" ||
        { echo "$1 has a certificate table"; return 1; }
      ;;
    *.msi)
      parts=$(msiinfo streams "$1") || return 1
      grep -q DigitalSignature <<<"$parts" && { echo "$1 has a DigitalSignature stream"; return 1; }
      ;;
  esac
  osslsigncode verify -in "$1" >/dev/null 2>&1 && { echo "osslsigncode verify accepts $1"; return 1; }
  return 0
}

verify_output() {  # verify_output FILE OSSLSIGNCODE-VERIFY-OPTIONS...
  local file=$1
  shift
  osslsigncode verify "$@" -in "$file" 2>&1
}

# Signed by the test certificate with a SHA-256 digest, the signature intact.
signed_by_test_cert() {  # signed_by_test_cert EXE-OR-MSI
  local out
  out=$(verify_output "$1" -CAfile "$work/cert.pem") || { echo "$out"; return 1; }
  grep -q '^Signature verification: ok' <<<"$out" || { echo "$out"; return 1; }
  grep -qE 'Message digest algorithm *: SHA256' <<<"$out" || { echo "not a SHA-256 digest:"; echo "$out"; return 1; }
}

# --- the build without a key --------------------------------------------------
configure_output=$(cmake --preset windows-release 2>&1) || die "configure windows-release"
says_unsigned() {
  local lines
  lines=$(grep -i authenticode <<<"$configure_output")
  [ "$(wc -l <<<"$lines")" -eq 1 ] && grep -q 'not signed' <<<"$lines" || { echo "configure said: $lines"; return 1; }
}
check "without a key, configuring says in one line that nothing is signed" says_unsigned
cmake --build --preset windows-msi >/dev/null || die "cmake --build --preset windows-msi"
check "without a key, the installed exe (what the zip and the MSI take) is unsigned" \
  has_no_signature "$unsigned/packaging/msi-files/QOR_DelTmp.exe"
check "without a key, the MSI is unsigned" has_no_signature "$unsigned/$msi_name"

# --- a throw-away code-signing certificate --------------------------------------
rm -rf "$work" && mkdir -p "$work"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=QOR_DelTmp test code signing" \
  -addext extendedKeyUsage=codeSigning -addext keyUsage=digitalSignature \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null || die "make the test certificate"
# Another one, which signed nothing.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=QOR_DelTmp other certificate" \
  -addext extendedKeyUsage=codeSigning -keyout "$work/other-key.pem" -out "$work/other.pem" 2>/dev/null ||
  die "make the other certificate"

# --- signed with a certificate and key ------------------------------------------
# The other settings are cleared in case an earlier run left them.
configure_output=$(cmake --preset windows-release -B "$signed" -DQOR_BUILD_TESTS=OFF \
  -DQOR_SIGN_CERT="$work/cert.pem" -DQOR_SIGN_KEY="$work/key.pem" \
  -DQOR_SIGN_PKCS12= -DQOR_SIGN_PASSWORD_FILE= -DQOR_SIGN_TIMESTAMP_URL= 2>&1) ||
  { echo "$configure_output"; die "configure $signed with the test key"; }
says_signed_with_test_cert() {
  grep -qxF -- "-- Authenticode: QOR_DelTmp.exe and the MSI are signed with $work/cert.pem (SHA-256)" \
    <<<"$configure_output" || { grep -i authenticode <<<"$configure_output"; return 1; }
}
check "with a key, configuring says what signs them" says_signed_with_test_cert
cmake --build "$signed" --target msi -j 2 || die "build the signed MSI"
rm -f "$signed"/*.zip
(cd "$signed" && cpack -G ZIP >/dev/null) || die "cpack -G ZIP in $signed"
signed_msi=$signed/$msi_name
unpacked=$work/unpacked
mkdir -p "$unpacked/zip" "$unpacked/msi"
(cd "$unpacked/zip" && cmake -E tar xf "$signed/$zip_top.zip") || die "unpack the signed zip"
msiextract -C "$unpacked/msi" "$signed_msi" >/dev/null || die "unpack the signed MSI"
zip_exe=$unpacked/zip/$zip_top/QOR_DelTmp.exe
msi_exe=$unpacked/msi/QOR_DelTmp/QOR_DelTmp.exe

check "the exe in the zip is signed by the test certificate (SHA-256)" signed_by_test_cert "$zip_exe"
check "the exe in the MSI is signed by the test certificate (SHA-256)" signed_by_test_cert "$msi_exe"
check "the MSI is signed by the test certificate (SHA-256)" signed_by_test_cert "$signed_msi"
refused_by_other_cert() {
  verify_output "$signed_msi" -CAfile "$work/other.pem" >/dev/null && { echo "verified against a certificate that signed nothing"; return 1; }
  return 0
}
check "osslsigncode verify refuses the MSI against a certificate that did not sign it" refused_by_other_cert

echo "---- the signed exe and MSI under Wine"
start_wine_prefix "$signed_msi" || die "make the Wine prefix"
prints_usage() {  # prints_usage EXE (a Unix path or a Windows one)
  local out
  out=$(wine_run "$1" '/?') || { echo "/? ended with status $?"; return 1; }
  [ "$(head -n 1 <<<"$out")" = $'Usage: QOR_DelTmp [/s][/a]\r' ] || { echo "$out"; return 1; }
}
check "the signed exe from the zip prints its usage under Wine" prints_usage "$zip_exe"
installs_signed() {
  msiexec /i "$msi_name" install.log || { echo "msiexec /i ended with status $?"; return 1; }
  cmp "$folder/QOR_DelTmp.exe" "$signed/packaging/msi-files/QOR_DelTmp.exe" || return 1
  signed_by_test_cert "$folder/QOR_DelTmp.exe" || return 1
  task_is_ours || return 1
  [ "$(installed_versions)" = "$version" ] || { echo "installed products: $(installed_versions)"; return 1; }
}
check "msiexec /i of the signed MSI: the signed exe in place, the task, one product" installs_signed
check "the installed signed exe prints its usage" prints_usage 'C:\Program Files\QOR_DelTmp\QOR_DelTmp.exe'
uninstalls_signed() {
  msiexec /x "$msi_name" uninstall.log || { echo "msiexec /x ended with status $?"; return 1; }
  [ ! -e "$folder" ] || { echo "left: $(ls -A "$folder")"; return 1; }
  [ ! -e "$task" ] || { echo "the task is still registered"; return 1; }
  [ -z "$(installed_versions)" ] || { echo "still installed: $(installed_versions)"; return 1; }
}
check "msiexec /x of the signed MSI removes the files, the task and the product" uninstalls_signed

# --- signed with a PKCS#12 file and a time-stamping service ---------------------
echo "---- PKCS#12 with a password file, and a local time-stamping service"
openssl rand -hex 16 >"$work/password"
password=$(cat "$work/password")
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/sign.p12" \
  -passout file:"$work/password" || die "make the PKCS#12 file"

# An RFC 3161 service on a free local port: each request is answered by
# `openssl ts -reply` with a time-stamping certificate of its own. It ends by
# itself after ten minutes at the latest.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=QOR_DelTmp test TSA" \
  -addext extendedKeyUsage=critical,timeStamping -keyout "$work/tsa-key.pem" -out "$work/tsa.pem" 2>/dev/null ||
  die "make the time-stamping certificate"
echo 01 >"$work/tsa-serial"
cat >"$work/tsa.cnf" <<EOF
[ tsa ]
default_tsa = test_tsa
[ test_tsa ]
serial = $work/tsa-serial
signer_cert = $work/tsa.pem
signer_key = $work/tsa-key.pem
signer_digest = sha256
default_policy = 1.3.6.1.4.1.99999.1
digests = sha256
accuracy = secs:1
ess_cert_id_alg = sha256
EOF
cat >"$work/tsa.py" <<'EOF'
import http.server, subprocess, sys
class TimeStamping(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers['Content-Length']))
        reply = subprocess.run(['openssl', 'ts', '-reply', '-config', sys.argv[1],
                                '-queryfile', '/dev/stdin', '-out', '/dev/stdout'],
                               input=query, capture_output=True)
        self.send_response(200 if reply.returncode == 0 else 500)
        self.send_header('Content-Type', 'application/timestamp-reply')
        self.send_header('Content-Length', str(len(reply.stdout)))
        self.end_headers()
        self.wfile.write(reply.stdout)
    def log_message(self, *args):
        pass
server = http.server.HTTPServer(('127.0.0.1', 0), TimeStamping)
with open(sys.argv[2], 'w') as port_file:
    port_file.write(str(server.server_port))
server.serve_forever()
EOF
timeout 600 python3 "$work/tsa.py" "$work/tsa.cnf" "$work/tsa-port" &
tsa_pid=$!
for _ in $(seq 50); do
  [ -s "$work/tsa-port" ] && break
  sleep 0.1
done
[ -s "$work/tsa-port" ] || { kill "$tsa_pid"; die "start the local time-stamping service"; }
tsa_url=http://127.0.0.1:$(cat "$work/tsa-port")

configure_output=$(cmake --preset windows-release -B "$signed" -DQOR_BUILD_TESTS=OFF \
  -DQOR_SIGN_CERT= -DQOR_SIGN_KEY= -DQOR_SIGN_PKCS12="$work/sign.p12" \
  -DQOR_SIGN_PASSWORD_FILE="$work/password" -DQOR_SIGN_TIMESTAMP_URL="$tsa_url" 2>&1) ||
  { kill "$tsa_pid"; echo "$configure_output"; die "configure $signed with the PKCS#12 file"; }
build_output=$(cmake --build "$signed" --target msi -j 2 -v 2>&1)
build_status=$?
kill "$tsa_pid"
[ "$build_status" -eq 0 ] || { echo "$build_output"; die "build the MSI signed with the PKCS#12 file"; }

time_stamped_by_test_tsa() {  # time_stamped_by_test_tsa EXE-OR-MSI
  local out
  out=$(verify_output "$1" -CAfile "$work/cert.pem" -TSA-CAfile "$work/tsa.pem") || { echo "$out"; return 1; }
  grep -q '^Signature verification: ok' <<<"$out" || { echo "$out"; return 1; }
  grep -q '^Timestamp Server Signature verification: ok' <<<"$out" || { echo "$out"; return 1; }
}
check "PKCS#12: the exe in the MSI is signed and time-stamped by the local service" \
  time_stamped_by_test_tsa "$signed/packaging/msi-files/QOR_DelTmp.exe"
check "PKCS#12: the MSI is signed and time-stamped by the local service" \
  time_stamped_by_test_tsa "$signed_msi"
password_stays_in_its_file() {
  grep -qF -- "-readpass $work/password" <<<"$build_output" || { echo "the build did not read the password file"; return 1; }
  grep -qF "$password" <<<"$build_output" && { echo "the password is in the build's output"; return 1; }
  grep -rlF "$password" "$signed" && { echo "the password is in these files of the build"; return 1; }
  return 0
}
check "PKCS#12: the password is read from its file, and is in no command, log or file of the build" \
  password_stays_in_its_file

echo "windows signing: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
