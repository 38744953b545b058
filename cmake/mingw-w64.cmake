# Cross-building for 64-bit Windows with Debian's mingw-w64 (posix threads model):
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake ...
# scripts/build-windows.sh uses it, with libxml2 cross-built beside.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KALAX_MINGW_HOST x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KALAX_MINGW_HOST}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KALAX_MINGW_HOST}-g++-posix)
set(CMAKE_RC_COMPILER ${KALAX_MINGW_HOST}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KALAX_MINGW_HOST})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The C and C++ runtimes and winpthread go into each binary, so a DLL or program
# needs nothing beside it but the system's own DLLs.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
