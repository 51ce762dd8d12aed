# 64-bit Windows: the same sources, so that the suite runs under wine64 where
# the machine runs no 32-bit programs. It ships nothing.
set(SUITE_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
