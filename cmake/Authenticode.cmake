# Authenticode signing of the Windows build, when a key is given at configure
# time: either a certificate and its private key, or a PKCS#12 file. A
# password (of the PKCS#12 file, or of an encrypted key) is read from a file,
# so it never appears on a command line or in the build's logs.
#   cmake --preset windows-release -DQOR_SIGN_CERT=cert.pem -DQOR_SIGN_KEY=key.pem
#   cmake --preset windows-release -DQOR_SIGN_PKCS12=sign.p12 -DQOR_SIGN_PASSWORD_FILE=pass.txt
# Sets QOR_SIGN_SCRIPT to a script that signs one file in place
# (`cmake -D FILE=… -P ${QOR_SIGN_SCRIPT}`) and QOR_SIGN_INPUTS to the files
# a signature depends on, or leaves both empty: unsigned.

set(QOR_SIGN_CERT "" CACHE FILEPATH "Code-signing certificate (PEM or DER, with its chain), with QOR_SIGN_KEY")
set(QOR_SIGN_KEY "" CACHE FILEPATH "Private key of QOR_SIGN_CERT")
set(QOR_SIGN_PKCS12 "" CACHE FILEPATH "Code-signing certificate and key in one PKCS#12 file, instead of the two")
set(QOR_SIGN_PASSWORD_FILE "" CACHE FILEPATH "File holding the password of QOR_SIGN_PKCS12 or QOR_SIGN_KEY")
set(QOR_SIGN_TIMESTAMP_URL "" CACHE STRING "RFC 3161 time-stamping service to countersign with (optional)")

set(QOR_SIGN_SCRIPT "")
set(QOR_SIGN_INPUTS "")
if(NOT QOR_SIGN_CERT AND NOT QOR_SIGN_KEY AND NOT QOR_SIGN_PKCS12)
  message(STATUS "Authenticode: no key given (QOR_SIGN_CERT and QOR_SIGN_KEY, or QOR_SIGN_PKCS12), so QOR_DelTmp.exe and the MSI are not signed")
  return()
endif()

if(QOR_SIGN_PKCS12 AND (QOR_SIGN_CERT OR QOR_SIGN_KEY))
  message(FATAL_ERROR "Authenticode: give QOR_SIGN_PKCS12, or QOR_SIGN_CERT and QOR_SIGN_KEY, not both")
endif()
if(NOT QOR_SIGN_PKCS12 AND NOT (QOR_SIGN_CERT AND QOR_SIGN_KEY))
  message(FATAL_ERROR "Authenticode: QOR_SIGN_CERT and QOR_SIGN_KEY go together")
endif()
foreach(file IN ITEMS QOR_SIGN_CERT QOR_SIGN_KEY QOR_SIGN_PKCS12 QOR_SIGN_PASSWORD_FILE)
  if(${file} AND NOT EXISTS "${${file}}")
    message(FATAL_ERROR "Authenticode: ${file} names ${${file}}, which does not exist")
  endif()
  # A renewed certificate in the same place signs again.
  if(${file})
    list(APPEND QOR_SIGN_INPUTS "${${file}}")
  endif()
endforeach()
find_program(QOR_OSSLSIGNCODE osslsigncode REQUIRED)

if(QOR_SIGN_PKCS12)
  set(signer "${QOR_SIGN_PKCS12}")
else()
  set(signer "${QOR_SIGN_CERT}")
endif()
if(QOR_SIGN_TIMESTAMP_URL)
  string(APPEND signer ", time-stamped by ${QOR_SIGN_TIMESTAMP_URL}")
endif()
message(STATUS "Authenticode: QOR_DelTmp.exe and the MSI are signed with ${signer} (SHA-256)")

set(QOR_SIGN_SCRIPT ${PROJECT_BINARY_DIR}/sign-authenticode.cmake)
configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/sign-authenticode.cmake.in ${QOR_SIGN_SCRIPT} @ONLY)
list(APPEND QOR_SIGN_INPUTS ${QOR_SIGN_SCRIPT})
