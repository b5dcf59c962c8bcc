# Shared part of the mingw-w64 toolchain files: cross-compiles the Windows
# console program with Debian's mingw-w64 for HVN_MINGW_ARCH.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${HVN_MINGW_ARCH})

set(CMAKE_C_COMPILER ${HVN_MINGW_ARCH}-w64-mingw32-gcc)
set(CMAKE_CXX_COMPILER ${HVN_MINGW_ARCH}-w64-mingw32-g++)
set(CMAKE_RC_COMPILER ${HVN_MINGW_ARCH}-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${HVN_MINGW_ARCH}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
