# The one test binary, the fake agent it drives, and how CTest runs them.
enable_testing()

if(CMAKE_CROSSCOMPILING)
  # Debian ships GoogleTest as source for other targets; build it with this toolchain.
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL)
  set(TALVANE_GTEST gtest gmock)
else()
  find_package(GTest REQUIRED)
  set(TALVANE_GTEST GTest::gtest GTest::gmock)
endif()

# A stand-in coding agent: records what it is given and receives, echoes, exits as asked.
add_executable(fake_agent tests/fake_agent/fake_agent.cpp)
target_link_libraries(fake_agent PRIVATE talvane_platform)
if(MINGW)
  target_link_options(fake_agent PRIVATE -municode)
endif()

if(WIN32)
  # Types keys into, breaks, and reads the modes of a console, from inside it (the Wine tests).
  add_executable(console_tool tests/console_tool/console_tool.cpp)
  if(MINGW)
    target_link_options(console_tool PRIVATE -municode)
  endif()
endif()

set(test_sources "")
foreach(dir src/platform src/cli/launch src/cli/companion src/cli/relay src/cli/replies
            tools/standin tests/e2e)
  talvane_tests(found "${dir}")
  list(APPEND test_sources ${found})
endforeach()
talvane_sources(support tests/support)

add_executable(talvane_tests ${test_sources} ${support})
target_include_directories(talvane_tests PRIVATE "${PROJECT_SOURCE_DIR}")
target_link_libraries(talvane_tests PRIVATE
  talvane_launch talvane_standin ${TALVANE_GTEST} Threads::Threads)
if(GTest_FOUND)
  target_link_libraries(talvane_tests PRIVATE GTest::gmock_main)
else()
  target_link_libraries(talvane_tests PRIVATE gmock_main)
endif()
target_compile_definitions(talvane_tests PRIVATE
  TALVANE_EXE="$<TARGET_FILE:talvane>"
  FAKE_AGENT_EXE="$<TARGET_FILE:fake_agent>"
  STANDIN_EXE="$<TARGET_FILE:talvane-standin>"
  TALVANE_VERSION="${PROJECT_VERSION}")
if(WIN32)
  # GetFileVersionInfoW, to read talvane.exe's version resource back.
  target_link_libraries(talvane_tests PRIVATE version)
endif()

if(CMAKE_CROSSCOMPILING)
  # Runs under the emulator (Wine) set by the toolchain; it exits 77 when Wine is missing.
  add_test(NAME windows_suite COMMAND talvane_tests)
  set_tests_properties(windows_suite PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 900)
else()
  include(GoogleTest)
  gtest_discover_tests(talvane_tests DISCOVERY_MODE PRE_TEST PROPERTIES TIMEOUT 120)
endif()

if(CMAKE_SYSTEM_NAME STREQUAL "Linux" AND NOT CMAKE_CROSSCOMPILING)
  # The Windows build's talvane.exe under Wine, in real Linux pseudo-terminals: its own program,
  # which sets up one Wine prefix for the run and exits 77 when Wine or that build is missing.
  set(TALVANE_WINDOWS_BUILD "${PROJECT_SOURCE_DIR}/build/windows" CACHE PATH
      "The Windows build that the Wine end-to-end tests run")
  file(GLOB wine_tests CONFIGURE_DEPENDS tests/wine/*.cpp)
  add_executable(talvane_wine_tests ${wine_tests} tests/support/launcher_process_posix.cpp
                                    tests/support/run_program_posix.cpp tests/support/temp_dir.cpp)
  target_include_directories(talvane_wine_tests PRIVATE "${PROJECT_SOURCE_DIR}")
  target_link_libraries(talvane_wine_tests PRIVATE talvane_standin GTest::gtest Threads::Threads)
  target_compile_definitions(talvane_wine_tests PRIVATE
    WINDOWS_BUILD_DIR="${TALVANE_WINDOWS_BUILD}")
  add_test(NAME windows_end_to_end COMMAND talvane_wine_tests)
  set_tests_properties(windows_end_to_end PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600)
endif()
