# Keeps the library's export families apart: fails when a file of a family
# folder in src/ includes a header of another family, or of the platform layer
# where the family owns nothing there. A family file includes engine/, link/
# (for lookups), its own folder and the public header; the platform only for
# what the family owns itself: the SDO family's spill files, the EDS family's
# files and workers. What a family needs of another layer it reaches through
# the engine's toolkit.
#
# Usage: cmake -DSOURCE_DIR=<src> -DSCRATCH_DIR=<dir> -P CheckFamilyIncludes.cmake
# It first checks itself on a small tree it writes into SCRATCH_DIR (one include
# it must refuse, the others it must let pass), then checks SOURCE_DIR.
cmake_minimum_required(VERSION 3.20)

set(FAMILIES master nodes sdo pdo sync_emcy events eds)
set(SHARED_FOLDERS engine link)
set(PLATFORM_OWNERS sdo eds)

# Sets `out` to the list "file: header" of every include in the family
# folders of `root` that the rule refuses.
function(find_refused_includes root out)
  set(refused "")
  foreach(family IN LISTS FAMILIES)
    file(GLOB files "${root}/${family}/*.cpp" "${root}/${family}/*.hpp" "${root}/${family}/*.h")
    list(SORT files)
    foreach(path IN LISTS files)
      file(STRINGS "${path}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
      foreach(line IN LISTS lines)
        string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*)\".*$" "\\1" header "${line}")
        if(NOT header MATCHES "^([^/]+)/")
          continue()  # no folder: the public header, or a file beside this one
        endif()
        set(folder "${CMAKE_MATCH_1}")
        if(folder STREQUAL family OR folder IN_LIST SHARED_FOLDERS)
          continue()
        endif()
        if(folder STREQUAL "platform" AND family IN_LIST PLATFORM_OWNERS)
          continue()
        endif()
        file(RELATIVE_PATH shown "${root}" "${path}")
        list(APPEND refused "${shown}: ${header}")
      endforeach()
    endforeach()
  endforeach()
  set(${out} "${refused}" PARENT_SCOPE)
endfunction()

if(NOT SOURCE_DIR OR NOT SCRATCH_DIR)
  message(FATAL_ERROR "usage: cmake -DSOURCE_DIR=<src> -DSCRATCH_DIR=<dir> -P CheckFamilyIncludes.cmake")
endif()

# The check on a tree whose answer is known.
set(tree "${SCRATCH_DIR}/tree")
file(REMOVE_RECURSE "${tree}")
file(WRITE "${tree}/pdo/a.cpp"
  "#include \"engine/request.hpp\"\n#include \"link/frame.hpp\"\n#include \"pdo/b.hpp\"\n#include \"vexan.h\"\n"
  "#include <vector>\n  #  include \"sdo/upload.hpp\"\n")
file(WRITE "${tree}/sdo/b.cpp" "#include \"platform/platform.hpp\"\n")
file(WRITE "${tree}/nodes/c.cpp" "#include \"platform/platform.hpp\"\n")
find_refused_includes("${tree}" found)
set(expected "nodes/c.cpp: platform/platform.hpp" "pdo/a.cpp: sdo/upload.hpp")
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "the include check is broken: on its own test tree it found\n  ${found}\ninstead of\n  ${expected}")
endif()

if(NOT IS_DIRECTORY "${SOURCE_DIR}")
  message(FATAL_ERROR "no source folder ${SOURCE_DIR}")
endif()
find_refused_includes("${SOURCE_DIR}" found)
if(found)
  list(JOIN found "\n  " shown)
  message(FATAL_ERROR "a family includes what belongs to another layer or family:\n  ${shown}\n"
                      "Reach it through the engine's toolkit (engine/toolkit.hpp), or wire it in library.cpp.")
endif()
message(STATUS "family includes: every family folder keeps to engine/, link/ and its own")
