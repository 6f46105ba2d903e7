#!/usr/bin/env bash
# The control for Windows, 32-bit and x86-64, from this tree, tested under Wine:
# installs the cross compilers and Wine (scripts/win32/install.sh),
# cross-builds OpenSSL once per version into a cache outside the clone
# (scripts/win32/openssl.sh) and SoftHSM2, the "P11" route's token
# (scripts/win32/softhsm2.sh), builds TOLMIX.OCX into build-win32/ and build-win64/ (and
# the Linux `tolmix` in build/ the tests compare with, where there is
# none), and runs the Windows tests (tests/win32/run.sh).  Skips, saying
# why, only when the archive lacks a package the build needs: the whole when
# both architectures need it, else that architecture alone (wine32:i386
# missing: the 32-bit).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
skip() { echo "windows: SKIPPED: $1"; exit 0; }
. "$root/scripts/lib/apt.sh"
. "$root/scripts/win32/packages.sh"

rc=0; bash "$root/scripts/win32/install.sh" || rc=$?
[ $rc -eq 3 ] && skip "a package of the Windows build is missing from the archive"
[ $rc -eq 0 ] || exit $rc

# build_arch ARCH BUILD: OpenSSL, the tree, the package and SoftHSM2 for
# one architecture (i686 or x86_64), then its tests under Wine.
build_arch() {
  local arch=$1 build=$2 start rc ossl hsm
  export TOLMIX_WIN32_ARCH=$arch
  start=$(date +%s)
  rc=0; ossl=$(bash "$root/scripts/win32/openssl.sh") || rc=$?
  [ $rc -eq 3 ] && skip "the archive serves no OpenSSL source"
  [ $rc -eq 0 ] || exit $rc
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/platform/win32/mingw-$arch.cmake" \
    -DTOLMIX_WIN32_OPENSSL="$ossl" -DTOLMIX_WERROR=$werror >/dev/null
  nice cmake --build "$build"
  # The system directory of the tests: the OCX, its modules, libcrypto and
  # OpenSSL's own capi engine, the "capi" module.
  cp "$ossl"/bin/libcrypto-3*.dll "$ossl/lib/engines-3/capi.dll" "$build/bin/"
  bash "$root/scripts/win32/package.sh" "$build" >/dev/null
  # For the tests (not the package): SoftHSM2 as the one PKCS#11 module of
  # a P11_SKF.ini of their own; without its source the "P11" tests skip.
  rc=0; hsm=$(bash "$root/scripts/win32/softhsm2.sh") || rc=$?
  if [ $rc -eq 0 ]; then
    cp "$hsm/bin/softhsm2.dll" "$hsm/bin/softhsm2-util.exe" "$build/bin/"
    printf '[DeviceCount]\r\nDeviceCount=1\r\n\r\n[Device_1]\r\nDLLName=softhsm2.dll\r\n' >"$build/bin/P11_SKF.ini"
  elif [ $rc -ne 3 ]; then exit $rc; fi
  echo "windows: $arch built in $(( $(date +%s) - start ))s (OpenSSL from $ossl)"
  bash "$root/tests/win32/run.sh" "$build"
}

werror=OFF; [ "${CI:-}" = "true" ] && werror=ON
# The other side of the page and route comparisons: `tolmix` of the Linux
# build in build/, made here when a fresh clone has none.
if [ ! -x "$root/build/host/tolmix" ]; then
  cmake -S "$root" -B "$root/build" -G Ninja -DTOLMIX_WERROR=$werror >/dev/null
  nice cmake --build "$root/build" --target tolmix
fi
status=0
# TOLMIX_WIN_ARCHS narrows the run to some architectures (e.g. "i686").
for arch in ${TOLMIX_WIN_ARCHS:-i686 x86_64}; do
  declare -n pkgs=WIN_${arch^^}
  missing=()
  for p in "${pkgs[@]}"; do apt_installed "$p" || missing+=("$p"); done
  unset -n pkgs
  if [ ${#missing[@]} -gt 0 ]; then
    echo "windows: SKIPPED: the $(win_arch_label $arch) Windows build and tests: ${missing[*]} not installed"
    continue
  fi
  if [ $arch = i686 ] && ! win_runs_32bit; then
    echo "windows: SKIPPED: the 32-bit Windows build and tests: this kernel does not run 32-bit programs ($(uname -r), no IA-32 emulation)"
    continue
  fi
  build=$root/build-win64; [ $arch = i686 ] && build=$root/build-win32
  ( build_arch $arch "$build" ) || status=1
done
exit $status
