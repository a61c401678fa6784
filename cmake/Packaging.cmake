# Installation (components `talvane` and `standin`) and the release packages CPack builds from it:
# a zip on Windows; a tar.gz and a Debian package on Linux.
include(GNUInstallDirs)

if(WIN32)
  # Unpacked anywhere and run from there: the programs and the README side by side.
  set(TALVANE_BIN_DIR .)
  set(TALVANE_DOC_DIR .)
else()
  set(TALVANE_BIN_DIR "${CMAKE_INSTALL_BINDIR}")
  set(TALVANE_DOC_DIR "${CMAKE_INSTALL_DOCDIR}")
endif()
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

install(TARGETS talvane RUNTIME DESTINATION "${TALVANE_BIN_DIR}" COMPONENT talvane)
install(FILES README.md DESTINATION "${TALVANE_DOC_DIR}" COMPONENT talvane)
# Only on request (`--component standin`): a tool for tests and trying talvane by hand.
install(TARGETS talvane-standin RUNTIME DESTINATION "${TALVANE_BIN_DIR}"
        COMPONENT standin EXCLUDE_FROM_ALL)

if(NOT WIN32)
  # The manual page, and what a Debian package must carry besides: copyright file and changelog.
  configure_file(docs/talvane.1 man/talvane.1 @ONLY)
  configure_file(cmake/debian/changelog.in debian/changelog @ONLY)
  foreach(file man/talvane.1 debian/changelog)
    execute_process(COMMAND gzip -9nf "${CMAKE_CURRENT_BINARY_DIR}/${file}"
                    RESULT_VARIABLE gzip_status)
    if(NOT gzip_status EQUAL 0)
      message(FATAL_ERROR "gzip failed on ${file}")
    endif()
  endforeach()
  install(FILES "${CMAKE_CURRENT_BINARY_DIR}/man/talvane.1.gz"
          DESTINATION "${CMAKE_INSTALL_MANDIR}/man1" COMPONENT talvane)
  install(FILES cmake/debian/copyright "${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.gz"
          DESTINATION "${CMAKE_INSTALL_DOCDIR}" COMPONENT debian EXCLUDE_FROM_ALL)
endif()

set(CPACK_PACKAGE_NAME talvane)
set(CPACK_PACKAGE_VENDOR "The talvane authors")
set(CPACK_PACKAGE_CONTACT "The talvane authors <talvane@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(TALVANE_LONG_DESCRIPTION
    "talvane starts Claude Code or Codex inside a pseudo-terminal the size of the"
    "console, relays every key and every byte of output, and ends with the agent's"
    "exit code. Beside that it keeps a session with the Talvane desktop app on"
    "127.0.0.1, so that spoken replies are typed into the agent.")
list(JOIN TALVANE_LONG_DESCRIPTION " " CPACK_PACKAGE_DESCRIPTION)
if(WIN32)
  set(TALVANE_PACKAGE_OS windows)
  set(CPACK_GENERATOR ZIP)
else()
  set(TALVANE_PACKAGE_OS linux)
  set(CPACK_GENERATOR TGZ DEB)
endif()
set(CPACK_PACKAGE_FILE_NAME "talvane-${PROJECT_VERSION}-${TALVANE_PACKAGE_OS}-x86_64")
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/packages")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
# The archives hold both programs; the Debian package only talvane (see PackagingGenerator.cmake).
set(CPACK_INSTALL_CMAKE_PROJECTS
    "${CMAKE_BINARY_DIR};talvane;talvane;/"
    "${CMAKE_BINARY_DIR};talvane;standin;/")
set(CPACK_TALVANE_BINARY_DIR "${CMAKE_BINARY_DIR}")
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_CURRENT_LIST_DIR}/PackagingGenerator.cmake")

set(CPACK_DEBIAN_FILE_NAME "talvane_${PROJECT_VERSION}_amd64.deb")
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
list(JOIN TALVANE_LONG_DESCRIPTION "\n" long_lines)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "${long_lines}")
# What the release build links against: Debian 11's C library and the system's libgcc_s. Not
# dpkg-shlibdeps, which would read this machine's newer libraries.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.31), libgcc-s1 (>= 4.2)")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

include(CPack)
