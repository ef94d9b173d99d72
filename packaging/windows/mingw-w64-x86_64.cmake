# Cross-building for 64-bit Windows on Debian with MinGW-w64 (scripts/windows-build):
#   cmake -DCMAKE_TOOLCHAIN_FILE=packaging/windows/mingw-w64-x86_64.cmake
#         -DCMAKE_PREFIX_PATH=<Qt for Windows> ...
# The POSIX thread flavour of the compiler: Qt for Windows is built with it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Qt's package files live outside the MinGW root and find their parts by explicit paths.
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
