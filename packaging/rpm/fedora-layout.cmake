# Run by cpack on the staged files before it builds a package
# (CPACK_PRE_BUILD_SCRIPTS); changes only the RPM's. The install rules lay
# out Debian's documentation; Fedora's guidelines put the licence statement
# in /usr/share/licenses/<package>/ and the release history in the
# package's own changelog (rpm -q --changelog), made from
# packaging/rpm/changelog.
if(NOT CPACK_GENERATOR STREQUAL "RPM")
  return()
endif()
set(usr "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(debian_docs "${usr}/share/doc/qor-deltmp")
file(MAKE_DIRECTORY "${usr}/share/licenses/qor-deltmp")
file(RENAME "${debian_docs}/copyright" "${usr}/share/licenses/qor-deltmp/copyright")
file(REMOVE "${debian_docs}/changelog.gz")
file(GLOB unplaced "${debian_docs}/*")
if(unplaced)
  message(FATAL_ERROR "${CMAKE_CURRENT_LIST_FILE} has no place in the RPM for: ${unplaced}")
endif()
file(REMOVE_RECURSE "${debian_docs}")
