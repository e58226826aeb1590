# Cross build for 64-bit Windows (x86_64) with Debian's mingw-w64 compilers.
#   cmake -S . -B build-win64 -G Ninja --toolchain cmake/mingw-x86_64.cmake
# The -posix compilers: their C++ runtime has std::thread and std::mutex (winpthreads,
# linked statically into the plug-in).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CHANTERA_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${CHANTERA_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CHANTERA_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${CHANTERA_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${CHANTERA_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
