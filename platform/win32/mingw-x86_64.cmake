# CMake toolchain for 64-bit Windows (x86-64) with Debian's mingw-w64 (posix
# threads flavour, which std::thread and std::mutex need).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(TOLMIX_WIDL x86_64-w64-mingw32-widl)
# TOLMIX_WIN32_OPENSSL: the OpenSSL cross-build (scripts/win32/openssl.sh).
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${TOLMIX_WIN32_OPENSSL})
set(OPENSSL_ROOT_DIR ${TOLMIX_WIN32_OPENSSL})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(TOLMIX_HARDEN OFF)  # ELF-only link flags; mingw ld makes PE images with ASLR and DEP
