# Cross toolchain through MinGW-w64 for the processor SUITE_MINGW_ARCH (i686
# or x86_64), set by the toolchain file that includes this one. The -posix
# compilers give std::thread and std::mutex; everything of the compiler's
# runtime is linked in statically by cmake/Suite.cmake, so that nothing from
# MinGW has to ship beside the binaries.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${SUITE_MINGW_ARCH})

set(CMAKE_C_COMPILER ${SUITE_MINGW_ARCH}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${SUITE_MINGW_ARCH}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER ${SUITE_MINGW_ARCH}-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${SUITE_MINGW_ARCH}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest runs every Windows test program through Wine with a prefix and a display;
# the wrapper picks the loader from the program's own PE header.
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run")
