# Read by CPack once per generator: what differs between the archives and the Debian package.
if(CPACK_GENERATOR STREQUAL "DEB")
  # /usr/bin/talvane with its README, copyright and changelog; the stand-in app stays out.
  set(CPACK_INSTALL_CMAKE_PROJECTS
      "${CPACK_TALVANE_BINARY_DIR};talvane;talvane;/"
      "${CPACK_TALVANE_BINARY_DIR};talvane;debian;/")
endif()
