# Cross-compiles for Windows (x86_64) with Debian's MinGW-w64 compilers:
#   cmake -S . -B build/win-x86_64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(VEXAN_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
