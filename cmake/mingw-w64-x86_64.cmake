# Cross-compiles a 64-bit build of the Windows program with Debian's
# mingw-w64, for the tests alone: Wine runs it natively where the kernel
# refuses 32-bit programs. Only the 32-bit program is shipped.
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
