#!/usr/bin/env bash
# Debian packages of the Windows build and its tests (scripts/win32/packages.sh):
# the i686 and x86-64 mingw-w64 cross compilers with widl, Wine (32-bit from
# i386 multiarch, and 64-bit) and what `apt-get source` needs.  Lives with a
# partly failed `apt-get update` (scripts/lib/apt.sh).  When the archive
# lacks a package of one architecture, installs the rest and says which
# architecture's tests will be skipped (scripts/windows.sh skips it); exits 3
# (and a line saying which) when it lacks one that both need.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
APT_WHO=windows
. "$root/scripts/lib/apt.sh"
. "$root/scripts/win32/packages.sh"
etc=${TOLMIX_APT_ETC:-/etc/apt}

need_src=1
grep -rqs '^Types:.*deb-src' "$etc/sources.list.d/" && need_src=0
grep -qs '^deb-src' "$etc/sources.list" && need_src=0
# A Chinese locale for Wine: its ANSI code page (936) and its file names
# (UTF-8 on the Linux side) both come from it.
chinese_locale() {
  locale -a 2>/dev/null | grep -qix 'zh_CN.utf8' || $APT_SUDO localedef -i zh_CN -f UTF-8 zh_CN.UTF-8
}
if apt_installed "${WIN_COMMON[@]}" "${WIN_I686[@]}" "${WIN_X86_64[@]}" && [ $need_src -eq 0 ]; then
  chinese_locale; exit 0
fi

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $APT_SUDO dpkg --add-architecture i386
fi
if [ $need_src -eq 1 ]; then
  # Source packages from the same archive and suites as the binaries.
  awk 'BEGIN{RS="";ORS="\n\n"} /Types:[^\n]*deb/ {sub(/Types:[^\n]*/,"Types: deb-src"); print}' \
    "$etc/sources.list.d/debian.sources" | $APT_SUDO tee "$etc/sources.list.d/tolmix-win32-src.sources" >/dev/null
fi
apt_update

# lacking GROUP...: the packages of the named arrays that neither are
# installed nor can be.
lacking() {
  local -n _g
  local p
  for _g in "$@"; do
    for p in "${_g[@]}"; do apt_installed "$p" || apt_has "$p" || echo "$p"; done
  done
}
gone=$(lacking WIN_COMMON | xargs)
if [ -n "$gone" ]; then
  apt_say "the archive has no package $gone"
  exit 3
fi
install=("${WIN_COMMON[@]}")
for arch in i686 x86_64; do
  group=WIN_${arch^^}
  if [ $arch = i686 ] && ! win_runs_32bit; then
    apt_say "this kernel does not run 32-bit programs (no IA-32 emulation): the 32-bit Windows build and tests will be skipped"
    continue
  fi
  gone=$(lacking "$group" | xargs)
  if [ -n "$gone" ]; then
    apt_say "the archive has no package $gone: the $(win_arch_label $arch) Windows build and tests will be skipped"
  else
    declare -n pkgs=$group
    install+=("${pkgs[@]}")
    unset -n pkgs
  fi
done
todo=()
for p in "${install[@]}"; do apt_installed "$p" || todo+=("$p"); done
# An i386 index caught mid-sync lists shared libraries at other versions
# than the amd64 ones, which multiarch cannot install side by side.  Then
# the amd64 part goes in first, and the i386 files of the amd64 versions
# come from the archive's pool (apt_align_foreign); when even that fails
# the 32-bit part is left out.
i386_aligned() {
  local out i386=()
  for p in "${WIN_I686[@]}"; do apt_installed "$p" || i386+=("$p"); done
  apt_say "the i386 and amd64 package lists disagree: fetching the i386 libraries of the amd64 versions"
  out=$(apt_align_foreign i386 "${i386[@]}") && [ -n "$out" ] || return 1
  mapfile -t aligned <<<"$out"
  apt_install "${aligned[@]}" "${i386[@]}"
}
if ! apt_install "${todo[@]}"; then
  todo=()
  for p in "${WIN_COMMON[@]}" "${WIN_X86_64[@]}"; do apt_installed "$p" || todo+=("$p"); done
  apt_install "${todo[@]}"
  if [[ " ${install[*]} " == *" wine32:i386 "* ]] && ! i386_aligned; then
    apt_say "the 32-bit packages cannot be installed now: the 32-bit Windows build and tests will be skipped"
  fi
fi
chinese_locale
