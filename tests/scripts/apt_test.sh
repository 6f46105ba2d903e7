#!/usr/bin/env bash
# The install scripts against an archive in a bad moment: apt-get, apt-cache,
# dpkg and dpkg-query are stand-ins on PATH (nothing is installed, nothing
# leaves this test's folder).  `apt-get update` fails every time as a mirror
# mid-sync does; some packages are missing from the archive or renamed.
# Checked, case by case: the exit status, the lines printed, and what was
# handed to `apt-get install`.
#
#   apt_test.sh       (no arguments; prints "N passed, N failed")
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stub=$work/bin
mkdir -p "$stub" "$work/etc/sources.list.d"
printf 'Types: deb\nURIs: http://archive.invalid/debian\nSuites: stable\nComponents: main\n' \
  >"$work/etc/sources.list.d/debian.sources"

# The stand-ins read STUB_ABSENT (packages the archive lacks, one per
# word), STUB_CLANG (the archive's clang version), append what they are
# asked to $work/calls and what `apt-get install` installed to
# $work/installed (which dpkg-query answers from; empty at each case).
cat >"$stub/apt-get" <<'STUB'
#!/bin/sh
echo "apt-get $*" >>"$STUB_CALLS"
case " $* " in
  *" update "*)
    echo "E: Failed to fetch http://archive.invalid/debian-security/dists/stable-security/main/binary-i386/Packages.xz  File has unexpected size (31204 != 31012). Mirror sync in progress? [IP: 127.0.0.1 80]" >&2
    exit 100 ;;
  *" source "*) exit 100 ;;
  *" install "*)
    # STUB_SKEW: libraries whose i386 list is out of step; multiarch then
    # refuses wine32:i386 unless the i386 .deb of the amd64 version comes too.
    for l in $STUB_SKEW; do
      case " $* " in *" wine32:i386 "*) case " $* " in *"/${l}_2.0-1_i386.deb "*) ;; *) exit 100 ;; esac ;; esac
    done
    for a in "$@"; do case $a in -*|install|*=*) ;; *) echo "$a" >>"$STUB_INSTALLED" ;; esac; done ;;
esac
exit 0
STUB
cat >"$stub/apt-cache" <<'STUB'
#!/bin/sh
case $1 in
  depends) for l in $STUB_SKEW; do printf '%s\n  Depends: %s:i386\n%s:i386\n' "$2" "$l" "$l"; done; exit 0 ;;
  show) echo "Source: ${STUB_SOURCE:-openssl}"; exit 0 ;;
  policy) ;;
  *) exit 0 ;;
esac
shift
[ $# -gt 0 ] || { echo "     500 http://archive.invalid/debian stable/main amd64 Packages"; exit 0; }
for p; do
  skip=""; for a in $STUB_ABSENT; do [ "$a" = "$p" ] && skip=1; done
  [ -z "$skip" ] || continue
  v=1.0-1
  [ "$p" = clang ] && v=$STUB_CLANG
  for l in $STUB_SKEW; do [ "$p" = "$l:amd64" ] && v=2.0-1; done
  printf '%s:\n  Installed: (none)\n  Candidate: %s\n' "${p%:amd64}" "$v"
done
STUB
# The pool holds every i386 library of version 2.0-1 under its source's folder.
cat >"$stub/curl" <<'STUB'
#!/bin/sh
echo "curl $*" >>"$STUB_CALLS"
for a; do case $a in -o) out=next ;; *) [ "$out" = next ] && out=$a ;; esac; url=$a; done
case $url in
  http://archive.invalid/debian/pool/main/o/openssl/*_2.0-1_i386.deb) : >"$out" ;;
  *) exit 22 ;;
esac
STUB
cat >"$stub/dpkg-query" <<'STUB'
#!/bin/sh
case $* in *Architecture*)
  for l in $STUB_SKEW; do echo "$l:amd64 1.0-1 installed"; done; exit 0 ;;
esac
for p; do :; done
for l in $STUB_SKEW; do [ "$p" = "$l:amd64" ] && { echo "install ok installed"; exit 0; }; done
grep -qxF -- "$p" "$STUB_INSTALLED" 2>/dev/null || exit 1
case $* in *Status*) echo "install ok installed" ;; *) echo "$STUB_CLANG" ;; esac
STUB
cat >"$stub/dpkg" <<'STUB'
#!/bin/sh
echo "dpkg $*" >>"$STUB_CALLS"
[ "$1" = --print-foreign-architectures ] && echo i386
[ "$1" = --print-architecture ] && echo amd64
exit 0
STUB
cat >"$stub/locale" <<'STUB'
#!/bin/sh
echo zh_CN.utf8
STUB
printf '#!/bin/sh\nexec "$@"\n' >"$stub/sudo"
chmod +x "$stub"/*

export PATH="$stub:$PATH" STUB_CALLS="$work/calls" STUB_INSTALLED="$work/installed" TOLMIX_APT_PAUSE=0 \
       TOLMIX_APT_ETC="$work/etc" TOLMIX_WIN32_CACHE="$work/cache" TOLMIX_RUNS_32BIT=yes
passed=0 failed=0

# case NAME SCRIPT STATUS ABSENT CLANG EXPECT...
# EXPECT: "out:TEXT" / "!out:TEXT" (a line printed / not printed), "install:PKG" / "!install:PKG" (PKG
# handed / not handed to apt-get install), "!has:PKG" (PKG not installed in
# the end), "updates:N" (apt-get update calls).
case_() {
  local name=$1 script=$2 want=$3 out rc=0 e why=""
  export STUB_ABSENT=$4 STUB_CLANG=$5
  shift 5
  : >"$STUB_CALLS"; : >"$STUB_INSTALLED"
  # shellcheck disable=SC2086  # SCRIPT may carry arguments
  out=$(bash "$root"/$script 2>&1) || rc=$?
  [ "$rc" = "$want" ] || why="$why; status $rc, not $want"
  local installs
  installs=" $(grep '^apt-get .*install' "$STUB_CALLS" | tr '\n' ' ') "
  for e in "$@"; do
    case $e in
      out:*) grep -qF -- "${e#out:}" <<<"$out" || why="$why; no line \"${e#out:}\"" ;;
      '!out:'*) ! grep -qF -- "${e#!out:}" <<<"$out" || why="$why; a line \"${e#!out:}\"" ;;
      install:*) [[ $installs == *" ${e#install:} "* ]] || why="$why; ${e#install:} not installed" ;;
      '!install:'*) [[ $installs != *" ${e#!install:} "* ]] || why="$why; ${e#!install:} installed" ;;
      '!has:'*) ! grep -qxF -- "${e#!has:}" "$STUB_INSTALLED" || why="$why; ${e#!has:} ended up installed" ;;
      updates:*) [ "$(grep -c '^apt-get .*update' "$STUB_CALLS")" = "${e#updates:}" ] ||
                   why="$why; $(grep -c '^apt-get .*update' "$STUB_CALLS") updates, not ${e#updates:}" ;;
    esac
  done
  if [ -z "$why" ]; then
    passed=$((passed + 1)); echo "ok    $name"
  else
    failed=$((failed + 1)); echo "FAIL  $name${why}"; sed 's/^/      | /' <<<"$out"
  fi
}

case_ "deps: update fails twice, the install goes on" scripts/install-deps.sh 0 "" 1:14.0-55.7 \
  updates:2 "out:going on with the package lists at hand" \
  install:build-essential install:libssl-dev install:chromium install:libclang-rt-14-dev
case_ "deps: no browser in the archive, its tests skip" scripts/install-deps.sh 0 "chromium" 1:14.0-55.7 \
  "out:the archive has no package chromium: the browser tests (bridge_browser*, bridge_extension*) will be skipped" \
  '!install:chromium' '!install:firefox-esr' install:cmake install:swtpm
case_ "deps: names as Debian 13 has them" scripts/install-deps.sh 0 \
  "libclang-rt-14-dev libtss2-tcti-tabrmd0 libtpm2-pkcs11-1" 1:19.0-63 \
  install:libclang-rt-19-dev install:libtss2-tcti-tabrmd0t64 install:libtpm2-pkcs11-1t64 \
  '!install:libclang-rt-14-dev' '!install:libtss2-tcti-tabrmd0'
case_ "deps: no clang runtime, the fuzz targets skip" scripts/install-deps.sh 0 "libclang-rt-14-dev" 1:14.0-55.7 \
  "out:the archive has no package libclang-rt-14-dev: the fuzz targets (scripts/fuzz.sh) will be skipped" \
  '!install:clang' install:cmake
case_ "deps --demo: the product's build and the demo alone" "scripts/install-deps.sh --demo" 0 "" 1:14.0-55.7 \
  install:libssl-dev install:softhsm2 install:duktape-dev '!install:libgtest-dev' '!install:chromium' '!install:clang'
case_ "deps: no cmake, the build cannot be had" scripts/install-deps.sh 1 "cmake" 1:14.0-55.7 \
  "out:the archive has no package cmake: the build and the demo need it"
case_ "windows: no wine32:i386, the 64-bit part goes on" scripts/win32/install.sh 0 "wine32:i386" 1:14.0-55.7 \
  updates:2 "out:the archive has no package wine32:i386: the 32-bit Windows build and tests will be skipped" \
  '!install:wine32:i386' '!install:g++-mingw-w64-i686-posix' install:wine64 install:g++-mingw-w64-x86-64-posix install:wine
STUB_SKEW="libssl3 zlib1g" case_ "windows: the i386 list is behind, its libraries come from the pool" \
  scripts/win32/install.sh 0 "" 1:14.0-55.7 \
  "out:fetching the i386 libraries of the amd64 versions" install:wine64 install:wine32:i386 \
  install:libssl3:amd64 install:zlib1g:amd64 \
  '!out:the 32-bit Windows build and tests will be skipped'
STUB_SKEW="libssl3" STUB_SOURCE=gone case_ "windows: the i386 library is in no pool, the 32-bit part skips" \
  scripts/win32/install.sh 0 "" 1:14.0-55.7 \
  "out:libssl3_2.0-1_i386.deb is in no pool" install:wine64 '!has:wine32:i386' \
  "out:the 32-bit Windows build and tests will be skipped"
TOLMIX_RUNS_32BIT=no case_ "windows: a kernel without IA-32 emulation, no 32-bit package" \
  scripts/win32/install.sh 0 "" 1:14.0-55.7 \
  "out:this kernel does not run 32-bit programs" '!install:wine32:i386' \
  '!install:g++-mingw-w64-i686-posix' install:wine64
case_ "windows: no widl, the Windows part skips" scripts/win32/install.sh 3 "mingw-w64-tools" 1:14.0-55.7 \
  "out:the archive has no package mingw-w64-tools"
case_ "windows.sh: 32-bit skipped, x86-64 still tried" scripts/windows.sh 0 "wine32:i386" 1:14.0-55.7 \
  "out:windows: SKIPPED: the 32-bit Windows build and tests:" \
  "out:windows: SKIPPED: the archive serves no OpenSSL source"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
