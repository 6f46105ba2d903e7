# CMake toolchain for 64-bit Windows, x86-64 (platform/win32/mingw.cmake).
set(TOLMIX_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
