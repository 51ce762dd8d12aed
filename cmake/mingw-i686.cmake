# 32-bit Windows, what ships.
set(SUITE_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
