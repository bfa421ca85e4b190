# Run by cpack on the staged files before it builds a package
# (CPACK_PRE_BUILD_SCRIPTS), for a statically linked build; changes only the
# .deb's. Adds lintian's overrides for the package, which the RPM and the
# .tar.gz have no use for.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
set(overrides "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/share/lintian/overrides")
file(MAKE_DIRECTORY "${overrides}")
file(COPY_FILE "${CMAKE_CURRENT_LIST_DIR}/lintian-overrides" "${overrides}/qor-deltmp")
