# Cross build for 32-bit Windows (i686) with Debian's mingw-w64 compilers.
#   cmake -S . -B build-win32 -G Ninja --toolchain cmake/mingw-i686.cmake
# The -posix compilers: their C++ runtime has std::thread and std::mutex (winpthreads,
# linked statically into the plug-in).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CHANTERA_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${CHANTERA_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CHANTERA_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${CHANTERA_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${CHANTERA_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
