# shellcheck shell=bash
# shellcheck disable=SC2034  # the arrays are for the scripts that source this
# The Debian packages of the Windows build and its tests, sourced by
# scripts/win32/install.sh and scripts/windows.sh: those both architectures
# need, and each architecture's own (its cross compiler and its Wine).
WIN_COMMON=(locales mingw-w64-tools dpkg-dev perl make wine)
WIN_I686=(g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686
          mingw-w64-i686-dev wine32:i386)
WIN_X86_64=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
            mingw-w64-x86-64-dev wine64)
# win_arch_label ARCH: how the lines name it.
win_arch_label() { case $1 in i686) echo "32-bit";; *) echo "x86-64";; esac; }
