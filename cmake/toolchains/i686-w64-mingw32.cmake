# 32-bit Windows (built and linked; Wine's 32-bit half is not installed here).
set(MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
