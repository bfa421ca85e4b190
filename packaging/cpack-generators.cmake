# Read by cpack once per generator (CPACK_PROJECT_CONFIG_FILE). The .tar.gz
# is for systems that take neither package: it is unpacked with
# `tar -xzf … -C /` into /usr/local, where no package manager writes, and
# the service it carries starts the binary there.
if(CPACK_GENERATOR STREQUAL "TGZ")
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr/local)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  set(CPACK_SET_DESTDIR ON)
endif()
