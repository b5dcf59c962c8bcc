# What both toolchain files share: Debian's mingw-w64 for the processor
# CMAKE_SYSTEM_PROCESSOR names. The layer tables' build (HVN_WINDOWS_TESTS)
# takes the compiler with POSIX threads, whose C++ library has the
# std::mutex GoogleTest needs; the program itself is built with the default
# one.
set(CMAKE_SYSTEM_NAME Windows)
set(HVN_MINGW ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES HVN_WINDOWS_TESTS)
if(HVN_WINDOWS_TESTS)
  set(HVN_MINGW_THREADS -posix)
endif()
set(CMAKE_C_COMPILER ${HVN_MINGW}-gcc${HVN_MINGW_THREADS})
set(CMAKE_CXX_COMPILER ${HVN_MINGW}-g++${HVN_MINGW_THREADS})
set(CMAKE_RC_COMPILER ${HVN_MINGW}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${HVN_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
