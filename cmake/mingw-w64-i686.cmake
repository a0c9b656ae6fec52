# Cross-compiles for Windows (i686) with Debian's MinGW-w64 compilers:
#   cmake -S . -B build/win-i686 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
set(VEXAN_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
