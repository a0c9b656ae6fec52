# GoogleTest and the registration of the test programs, for the native build
# and for the Windows cross build.
#
# Native: GoogleTest as installed, each program's cases discovered into ctest.
# Windows: GoogleTest built from its source (Debian's googletest package puts
# it in /usr/src/googletest) and linked statically. Discovery would have to run
# the programs at build time, so each program is one ctest test instead, run
# through CMAKE_CROSSCOMPILING_EMULATOR (wine64 when found) without the cases
# that tests/windows-skips.txt names. (Under ctest the first program's time
# includes Wine's start-up services, which hold its output open until the
# Wine server ends.) scripts/test-windows.sh runs the same programs one after
# another with the same filter; the build writes both for it:
#   windows-test-programs.txt  one program per line: "gtest <path>" for a
#                              GoogleTest program, "plain <path>" otherwise
#   windows-skip-filter.txt    the negative --gtest_filter
include_guard(GLOBAL)

if(NOT WIN32)
  find_package(GTest REQUIRED)
  include(GoogleTest)
  function(vexan_register_gtest target)
    gtest_discover_tests(${target} ${ARGN})
  endfunction()
  function(vexan_register_program target)
    add_test(NAME ${target} COMMAND ${target})
  endfunction()
  return()
endif()

set(VEXAN_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources for the Windows build")
if(NOT TARGET GTest::gtest)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(${VEXAN_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  foreach(name gtest gtest_main gmock gmock_main)
    if(NOT TARGET GTest::${name})
      add_library(GTest::${name} ALIAS ${name})
    endif()
  endforeach()
endif()

if(NOT CMAKE_CROSSCOMPILING_EMULATOR AND CMAKE_HOST_UNIX)
  find_program(VEXAN_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
  find_program(VEXAN_WINE64 NAMES wine64 wine)
  if(VEXAN_WINE64)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${VEXAN_WINE64})
  endif()
endif()

# The skip list: one test name or pattern per line, '#' starts a comment;
# "program <target>" leaves a whole test program out of the Windows build
# (vexan_add_test in tests/CMakeLists.txt reads VEXAN_WINDOWS_SKIPPED_PROGRAMS).
set(VEXAN_WINDOWS_SKIPS ${PROJECT_SOURCE_DIR}/tests/windows-skips.txt)
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${VEXAN_WINDOWS_SKIPS})
file(STRINGS ${VEXAN_WINDOWS_SKIPS} skip_lines)
set(skip_patterns "")
foreach(line IN LISTS skip_lines)
  string(REGEX REPLACE "#.*$" "" line "${line}")
  string(STRIP "${line}" line)
  if(line MATCHES "^program[ \t]+([A-Za-z0-9_]+)$")
    list(APPEND VEXAN_WINDOWS_SKIPPED_PROGRAMS ${CMAKE_MATCH_1})
  elseif(line)
    list(APPEND skip_patterns "${line}")
  endif()
endforeach()
list(JOIN skip_patterns ":" VEXAN_WINDOWS_SKIP_FILTER)
if(VEXAN_WINDOWS_SKIP_FILTER)
  set(VEXAN_WINDOWS_SKIP_FILTER "-${VEXAN_WINDOWS_SKIP_FILTER}")
else()
  set(VEXAN_WINDOWS_SKIP_FILTER "*")
endif()
file(WRITE ${CMAKE_BINARY_DIR}/windows-skip-filter.txt "${VEXAN_WINDOWS_SKIP_FILTER}\n")
set(VEXAN_WINE_PREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH "Wine prefix of the test runs")

# Further arguments are those of gtest_discover_tests for the native build;
# of them only RUN_SERIAL applies here, to the whole program.
function(vexan_register_gtest target)
  add_test(NAME ${target} COMMAND ${target} --gtest_filter=${VEXAN_WINDOWS_SKIP_FILTER})
  set_tests_properties(${target} PROPERTIES TIMEOUT 1800 ENVIRONMENT
                       "WINEPREFIX=${VEXAN_WINE_PREFIX};WINEDEBUG=-all")
  if("RUN_SERIAL" IN_LIST ARGN)
    set_tests_properties(${target} PROPERTIES RUN_SERIAL TRUE)
  endif()
  set_property(GLOBAL APPEND PROPERTY VEXAN_WINDOWS_TEST_PROGRAMS "gtest $<TARGET_FILE:${target}>")
  set_property(GLOBAL APPEND PROPERTY VEXAN_WINDOWS_TEST_TARGETS ${target})
endfunction()

# A test program that is not a GoogleTest one: exit status 0 is a pass.
function(vexan_register_program target)
  add_test(NAME ${target} COMMAND ${target})
  set_tests_properties(${target} PROPERTIES TIMEOUT 600 ENVIRONMENT
                       "WINEPREFIX=${VEXAN_WINE_PREFIX};WINEDEBUG=-all")
  set_property(GLOBAL APPEND PROPERTY VEXAN_WINDOWS_TEST_PROGRAMS "plain $<TARGET_FILE:${target}>")
  set_property(GLOBAL APPEND PROPERTY VEXAN_WINDOWS_TEST_TARGETS ${target})
endfunction()

# Written once every directory has registered its programs.
function(vexan_write_windows_test_list)
  get_property(programs GLOBAL PROPERTY VEXAN_WINDOWS_TEST_PROGRAMS)
  get_property(targets GLOBAL PROPERTY VEXAN_WINDOWS_TEST_TARGETS)
  list(JOIN programs "\n" content)
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/windows-test-programs.txt CONTENT "${content}\n")
  # One target that builds every test program: what the script builds.
  add_custom_target(vexan_windows_tests)
  if(targets)
    add_dependencies(vexan_windows_tests ${targets})
  endif()
endfunction()
cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL vexan_write_windows_test_list)
