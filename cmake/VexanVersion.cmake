# The version of project(Vexan VERSION ...) is Vexan's one version. The other
# places that carry it take it from there:
#  - the shared library's VERSION and SOVERSION, the pkg-config file and the
#    packages use PROJECT_VERSION directly;
#  - python/vexan/_version.py, the Python package's version (pyproject.toml
#    reads it), is written here. It stays in the source tree, so that the
#    package installs from a checkout without a CMake build: commit it after
#    changing the version;
#  - VEXAN_LIBRARY_VERSION in include/vexan.h, what Vexan_GetVersion returns,
#    is the version's three numbers as digits (2.0.3 is 203). The public
#    header is not generated: a header that disagrees stops the configuration.
# The Python test test_version.py checks that all of them agree.
#
# Also runs as a script, for that test:
#   cmake -DVEXAN_VERSION=2.0.3 [-DVEXAN_PYTHON_VERSION_FILE=path] [-DVEXAN_HEADER=path] -P VexanVersion.cmake

# Writes the Python package's version file `output` for `version` (only when
# its content changes, so an unchanged file keeps its time stamp).
function(vexan_write_python_version version output)
  set(VEXAN_PACKAGE_VERSION "${version}")
  set(content [=[
# The package's version: the Vexan project version of the top-level
# CMakeLists.txt, which writes this file when it configures (edit it there).
# pyproject.toml reads it from here.
__version__ = "@VEXAN_PACKAGE_VERSION@"
]=])
  string(CONFIGURE "${content}" content @ONLY)
  set(current "")
  if(EXISTS "${output}")
    file(READ "${output}" current)
  endif()
  if(NOT current STREQUAL content)
    message(STATUS "Writing the Python package's version ${version} to ${output}")
    file(WRITE "${output}" "${content}")
  endif()
endfunction()

# Stops with an error unless VEXAN_LIBRARY_VERSION in `header` is `version` as digits.
function(vexan_check_header_version version header)
  string(REGEX MATCH "^([0-9]+)\\.([0-9])\\.([0-9])$" parts "${version}")
  if(NOT parts)
    message(FATAL_ERROR "Vexan version ${version}: VEXAN_LIBRARY_VERSION (major, minor and patch as digits) "
                        "needs the form N.D.D")
  endif()
  math(EXPR expected "${CMAKE_MATCH_1} * 100 + ${CMAKE_MATCH_2} * 10 + ${CMAKE_MATCH_3}")
  file(STRINGS "${header}" lines REGEX "^#define VEXAN_LIBRARY_VERSION ")
  string(REGEX MATCH "^#define VEXAN_LIBRARY_VERSION ([0-9]+)$" found "${lines}")
  if(NOT found)
    message(FATAL_ERROR "${header}: no \"#define VEXAN_LIBRARY_VERSION <number>\" line")
  endif()
  if(NOT CMAKE_MATCH_1 EQUAL expected)
    message(FATAL_ERROR "${header}: VEXAN_LIBRARY_VERSION is ${CMAKE_MATCH_1}, but the project version ${version} "
                        "makes it ${expected}: change the one or the other")
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
  if(NOT VEXAN_VERSION)
    message(FATAL_ERROR "VexanVersion.cmake as a script needs -DVEXAN_VERSION=<version>")
  endif()
  if(VEXAN_PYTHON_VERSION_FILE)
    vexan_write_python_version("${VEXAN_VERSION}" "${VEXAN_PYTHON_VERSION_FILE}")
  endif()
  if(VEXAN_HEADER)
    vexan_check_header_version("${VEXAN_VERSION}" "${VEXAN_HEADER}")
  endif()
else()
  vexan_check_header_version("${PROJECT_VERSION}" "${PROJECT_SOURCE_DIR}/include/vexan.h")
  if(IS_DIRECTORY "${PROJECT_SOURCE_DIR}/python/vexan")
    vexan_write_python_version("${PROJECT_VERSION}" "${PROJECT_SOURCE_DIR}/python/vexan/_version.py")
  endif()
endif()
