# The CMake toolchain of Windows with Debian's mingw-w64 (posix threads
# flavour, which std::thread and std::mutex need), shared by
# mingw-i686.cmake and mingw-x86_64.cmake, which set TOLMIX_MINGW_ARCH.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${TOLMIX_MINGW_ARCH})
set(CMAKE_C_COMPILER ${TOLMIX_MINGW_ARCH}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOLMIX_MINGW_ARCH}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER ${TOLMIX_MINGW_ARCH}-w64-mingw32-windres)
set(TOLMIX_WIDL ${TOLMIX_MINGW_ARCH}-w64-mingw32-widl)
# TOLMIX_WIN32_OPENSSL: the OpenSSL cross-build (scripts/win32/openssl.sh).
set(CMAKE_FIND_ROOT_PATH /usr/${TOLMIX_MINGW_ARCH}-w64-mingw32 ${TOLMIX_WIN32_OPENSSL})
set(OPENSSL_ROOT_DIR ${TOLMIX_WIN32_OPENSSL})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(TOLMIX_HARDEN OFF)  # ELF-only link flags; mingw ld makes PE images with ASLR and DEP
