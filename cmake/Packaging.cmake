# Packages made by cpack: for Linux an .rpm, a .tar.gz and a .deb of a
# statically linked build (`cpack --preset linux-static`, or linux-aarch64
# for 64-bit Arm), each with the binary, manual page and systemd units; for
# Windows a .zip (exe, task definition, readme). The files come from the
# install rules in packaging/CMakeLists.txt.

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
  # Debian's names for the build's architecture (dpkg --print-architecture
  # would name the build machine's, wrong for the cross build).
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
  elseif(CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
  endif()
  # The presets package a binary linked with -static-pie: it loads no
  # library, so the .deb depends on none and installs on releases older than
  # the one it is built on; lintian's override for that comes with it. A
  # dynamically linked build gets its Depends from the libraries it loads
  # (dpkg-shlibdeps, which needs dpkg-dev and file).
  if(CMAKE_EXE_LINKER_FLAGS MATCHES "-static")
    list(APPEND CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/debian/lintian-overrides.cmake)
  else()
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  endif()
  # dpkg reads xz since Debian 6; zstd, the default of some newer tools, only
  # since Debian 12 and Ubuntu 21.10.
  set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
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
  list(APPEND CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/rpm/fedora-layout.cmake)
  set(CPACK_RPM_USER_FILELIST "%license /usr/share/licenses/qor-deltmp/copyright")
  # The package owns its files and its licence folder; the folders around
  # them belong to the filesystem and systemd packages.
  set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
      /usr/sbin /usr/share/man /usr/share/man/man8 /usr/share/licenses
      /usr/lib/systemd /usr/lib/systemd/system)
endif()

include(CPack)
