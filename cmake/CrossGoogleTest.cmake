# GoogleTest for a cross build. No prebuilt GoogleTest exists for the target,
# so it is built here from a source tree on the build host: Debian's
# `googletest` package installs one under /usr/src/googletest. Provides the
# same GTest:: targets as find_package(GTest).
#
# Test discovery runs the test programs, which in a cross build goes through
# CMAKE_CROSSCOMPILING_EMULATOR; it is done when ctest runs rather than after
# linking, so that building needs no emulator environment.

set(TORVIK_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest source tree for cross builds")
if(NOT EXISTS ${TORVIK_GOOGLETEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "No GoogleTest source at ${TORVIK_GOOGLETEST_SOURCE} (Debian package: googletest)")
endif()

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(${TORVIK_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

foreach(lib gtest gtest_main gmock gmock_main)
  # Their own warnings are not ours to fix.
  target_compile_options(${lib} PRIVATE -w)
  if(NOT TARGET GTest::${lib})  # recent GoogleTest defines these itself
    add_library(GTest::${lib} ALIAS ${lib})
  endif()
endforeach()

set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
