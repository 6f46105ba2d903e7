#!/usr/bin/env bash
# Debian packages of the Windows build and its tests: the i686 and x86-64
# mingw-w64 cross compilers with widl, Wine (32-bit from i386 multiarch,
# and 64-bit) and what
# `apt-get source` needs.  Exit 3 (and a line saying which) when the
# archive lacks one of them, so that the caller can skip.
set -euo pipefail
PACKAGES=(locales g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686
          mingw-w64-tools mingw-w64-i686-dev wine wine32:i386 dpkg-dev perl make
          g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
          mingw-w64-x86-64-dev wine64)
SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
export DEBIAN_FRONTEND=noninteractive

missing=()
for p in "${PACKAGES[@]}"; do
  [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)" = "install ok installed" ] || missing+=("$p")
done
need_src=1
grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && need_src=0
grep -qs '^deb-src' /etc/apt/sources.list && need_src=0
# A Chinese locale for Wine: its ANSI code page (936) and its file names
# (UTF-8 on the Linux side) both come from it.
chinese_locale() {
  locale -a 2>/dev/null | grep -qix 'zh_CN.utf8' || $SUDO localedef -i zh_CN -f UTF-8 zh_CN.UTF-8
}
if [ ${#missing[@]} -eq 0 ] && [ $need_src -eq 0 ]; then chinese_locale; exit 0; fi

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
if [ $need_src -eq 1 ]; then
  # Source packages from the same archive and suites as the binaries.
  src=/etc/apt/sources.list.d/tolmix-win32-src.sources
  awk 'BEGIN{RS="";ORS="\n\n"} /Types:[^\n]*deb/ {sub(/Types:[^\n]*/,"Types: deb-src"); print}' \
    /etc/apt/sources.list.d/debian.sources | $SUDO tee "$src" >/dev/null
fi
$SUDO apt-get update -qq
for p in "${missing[@]}"; do
  if ! apt-cache show "$p" >/dev/null 2>&1; then
    echo "windows: the archive has no package $p" >&2
    exit 3
  fi
done
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
chinese_locale
