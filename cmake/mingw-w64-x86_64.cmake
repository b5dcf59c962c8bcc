# Cross-compiles a 64-bit build of the Windows program with Debian's
# mingw-w64, for the tests alone: Wine runs it natively where the kernel
# refuses 32-bit programs. Only the 32-bit program is shipped.
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

# The layer tables' build (HVN_WINDOWS_TESTS) takes the compiler with POSIX
# threads, whose C++ library has the std::mutex GoogleTest needs; the program
# itself is built with the default one.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES HVN_WINDOWS_TESTS)
if(HVN_WINDOWS_TESTS)
  set(HVN_MINGW_THREADS -posix)
endif()
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc${HVN_MINGW_THREADS})
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++${HVN_MINGW_THREADS})
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
