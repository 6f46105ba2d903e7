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
# win_runs_32bit: whether this kernel runs 32-bit x86 programs (IA-32
# emulation), which 32-bit Wine needs; some virtual machines' kernels are
# built without it.  Tried with a 93-byte i386 program that exits 0 (ELF
# header, one loadable segment, `mov eax,1; xor ebx,ebx; int 0x80`), so no
# 32-bit package is needed to ask.  TOLMIX_RUNS_32BIT=yes/no answers
# instead (the install scripts' tests).
win_runs_32bit() {
  local probe rc=0
  case ${TOLMIX_RUNS_32BIT:-} in yes) return 0 ;; no) return 1 ;; esac
  probe=$(mktemp)
  printf '\177ELF\1\1\1\0\0\0\0\0\0\0\0\0\2\0\3\0\1\0\0\0\124\200\4\10\64\0\0\0\0\0\0\0\0\0\0\0\64\0\40\0\1\0\0\0\0\0\0\0' >"$probe"
  printf '\1\0\0\0\0\0\0\0\0\200\4\10\0\200\4\10\135\0\0\0\135\0\0\0\5\0\0\0\0\20\0\0' >>"$probe"
  printf '\270\1\0\0\0\61\333\315\200' >>"$probe"
  chmod +x "$probe"
  "$probe" 2>/dev/null || rc=1
  rm -f "$probe"
  return $rc
}
