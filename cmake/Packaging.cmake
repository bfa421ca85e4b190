# Packages made by cpack: for Linux a .deb (`cpack --preset linux-deb`), and
# an .rpm and a .tar.gz of a statically linked build (`cpack --preset
# linux-static`, or linux-aarch64 for 64-bit Arm), each with the binary,
# manual page and systemd units; for Windows a .zip (exe, task definition,
# readme). The files come from the install rules in packaging/CMakeLists.txt.

set(QOR_PACKAGE_MAINTAINER "QOR_DelTmp maintainers <maintainers@qor.invalid>"
    CACHE STRING "Maintainer named in the packages")
# The project has no public web page yet; the RPM must name one.
set(QOR_PACKAGE_URL "https://qor.invalid/QOR_DelTmp"
    CACHE STRING "Web page named in the RPM")

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
  # The .tar.gz's name; its prefix is set per generator.
  set(CPACK_PACKAGE_FILE_NAME "qor-deltmp-${PROJECT_VERSION}-${CMAKE_SYSTEM_PROCESSOR}")
  set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/packaging/cpack-generators.cmake)
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

  # The RPM has the .deb's name, so a fleet's tools install qor-deltmp
  # everywhere. Its binary is linked statically (the presets linux-static and
  # linux-aarch64), so that one package installs on every release from RHEL 8
  # and SLES 15 on: rpmbuild's dependency generator finds no library to
  # require. Its architecture is the build's, also when cross-built.
  set(CPACK_RPM_PACKAGE_NAME qor-deltmp)
  set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
  set(CPACK_RPM_PACKAGE_RELEASE 1)
  set(CPACK_RPM_PACKAGE_ARCHITECTURE ${CMAKE_SYSTEM_PROCESSOR})
  # The service names /usr/sbin/QOR_DelTmp: rpm --prefix may not move it.
  set(CPACK_PACKAGE_RELOCATABLE OFF)
  # rpmlint wants the summary capitalised, lintian the synopsis not.
  set(CPACK_RPM_PACKAGE_SUMMARY "Delete stale temporary files in the system temp folders")
  set(CPACK_RPM_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
  # An SPDX reference to a licence of our own: the one in the copyright file.
  set(CPACK_RPM_PACKAGE_LICENSE LicenseRef-QOR-all-rights-reserved)
  set(CPACK_RPM_PACKAGE_GROUP Applications/System)
  set(CPACK_RPM_PACKAGE_URL "${QOR_PACKAGE_URL}")
  # rpmbuild fills the Packager tag from this macro.
  set(CPACK_RPM_SPEC_MORE_DEFINE "%define packager ${QOR_PACKAGE_MAINTAINER}")
  set(CPACK_RPM_CHANGELOG_FILE ${PROJECT_SOURCE_DIR}/packaging/rpm/changelog)
  set(CPACK_RPM_POST_INSTALL_SCRIPT_FILE ${PROJECT_SOURCE_DIR}/packaging/rpm/post)
  set(CPACK_RPM_PRE_UNINSTALL_SCRIPT_FILE ${PROJECT_SOURCE_DIR}/packaging/rpm/preun)
  set(CPACK_RPM_POST_UNINSTALL_SCRIPT_FILE ${PROJECT_SOURCE_DIR}/packaging/rpm/postun)
  # Fedora's places for the documentation: the licence statement in
  # /usr/share/licenses/qor-deltmp, the release history in the package's
  # changelog instead of Debian's changelog.gz. The script moves the RPM's
  # staged files only.
  set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/rpm/fedora-layout.cmake)
  set(CPACK_RPM_USER_FILELIST "%license /usr/share/licenses/qor-deltmp/copyright")
  # The package owns its files and its licence folder; the folders around
  # them belong to the filesystem and systemd packages.
  set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
      /usr/sbin /usr/share/man /usr/share/man/man8 /usr/share/licenses
      /usr/lib/systemd /usr/lib/systemd/system)
endif()

include(CPack)
