# Shared part of the MinGW-w64 toolchain files (mingw-w64-i686.cmake,
# mingw-w64-x86_64.cmake), which set VEXAN_MINGW_ARCH and include this.
# Debian's -posix compilers: their C++ runtime has std::thread and std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${VEXAN_MINGW_ARCH})
set(VEXAN_MINGW_PREFIX ${VEXAN_MINGW_ARCH}-w64-mingw32)
set(CMAKE_C_COMPILER ${VEXAN_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VEXAN_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VEXAN_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${VEXAN_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Self-contained binaries: the C and C++ runtimes and the thread library are
# linked in, so Vexan.dll and the test programs need no MinGW DLL beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
