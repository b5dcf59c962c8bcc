# Cross-compiles the 32-bit Windows console program, the one users run, with
# Debian's mingw-w64:
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

# The layer tables' build (HVN_WINDOWS_TESTS) takes the compiler with POSIX
# threads, whose C++ library has the std::mutex GoogleTest needs; the program
# itself is built with the default one.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES HVN_WINDOWS_TESTS)
if(HVN_WINDOWS_TESTS)
  set(HVN_MINGW_THREADS -posix)
endif()
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc${HVN_MINGW_THREADS})
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++${HVN_MINGW_THREADS})
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
