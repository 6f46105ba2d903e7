# CMake toolchain for 32-bit Windows (platform/win32/mingw.cmake).
set(TOLMIX_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
