# Packages made by cpack: a .deb for Linux (binary, manual page, systemd units)
# and a .zip for Windows (exe, task definition, readme). The files come from
# the install rules in packaging/CMakeLists.txt.

set(QOR_PACKAGE_MAINTAINER "QOR_DelTmp maintainers <maintainers@qor.invalid>"
    CACHE STRING "Maintainer named in the packages")

set(CPACK_PACKAGE_NAME QOR_DelTmp)
set(CPACK_PACKAGE_VENDOR QOR)
set(CPACK_PACKAGE_CONTACT "${QOR_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "delete stale temporary files in the system temp folders")
set(CPACK_PACKAGE_DESCRIPTION
    "QOR_DelTmp deletes the temporary files that GetTempFileName-style programs
leave behind: empty files named with up to four uppercase hex digits and .tmp
that are at least 7 days old, and every DSP????.tmp file. It looks in
/var/tmp, /var/lib/QORTemp, the CUPS spool and /tmp, never descends into
subfolders and never touches folders, devices, link targets or files in use.
It prints SUCCESS(n) and exits with the count. A systemd timer to run it
daily is included but not enabled.")
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build/" "/out/")

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "QOR_DelTmp-${PROJECT_VERSION}-win64")
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  # Debian package names are lowercase, with no underscore.
  set(CPACK_DEBIAN_PACKAGE_NAME qor-deltmp)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QOR_PACKAGE_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION admin)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Depends is worked out from the libraries the binary loads (dpkg-shlibdeps):
  # the C and C++ runtime.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
      ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
      ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
      ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
