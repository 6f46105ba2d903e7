#!/usr/bin/env bash
# SoftHSM2 for Windows (mingw-w64, $TOLMIX_WIN32_ARCH: i686 or x86_64): the PKCS#11 module of the
# "P11" route under Wine.  Cross-built with SoftHSM2's own CMake build from
# Debian's source package, against the OpenSSL that openssl.sh prints, into
# a cache outside the clone, one folder per version:
# /var/cache/tolmix-win32/softhsm2-<version>-<arch> (root: TOLMIX_WIN32_CACHE).
# Only softhsm2.dll and softhsm2-util.exe are built, both linked statically
# but for libcrypto-3.dll.  Prints the folder; exit 3 when the archive
# serves no SoftHSM2 source.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cache_root=${TOLMIX_WIN32_CACHE:-/var/cache/tolmix-win32}
arch=${TOLMIX_WIN32_ARCH:-i686}
ossl=$(bash "$here/openssl.sh")
versions=$(apt-cache showsrc softhsm2 2>/dev/null | awk '/^Version:/ {print $2}' | sort -Vr)
[ -n "$versions" ] || { echo "windows: no softhsm2 source package in the archive" >&2; exit 3; }
# A build is reused when it was made against the same OpenSSL folder (the
# marker holds it) since that was last built: a different libcrypto may
# lack what the module imports.
for version in $versions; do
  prefix="$cache_root/softhsm2-$version-$arch"
  if [ "$(cat "$prefix/.complete" 2>/dev/null)" = "$ossl" ] && [ "$prefix/.complete" -nt "$ossl/.complete" ]; then
    echo "$prefix"; exit 0
  fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/tolmix-softhsm2.XXXXXX")
trap 'rm -rf "$work"' EXIT
start=$(date +%s)
# Only the upstream tarball is needed (Debian's own patches concern the
# Linux packaging); it is checked against the .dsc's SHA-256.  apt-get
# fails the whole fetch when one file of the source package is missing,
# so its status is not what decides.
src=
for version in $versions; do
  (cd "$work" && apt-get source -qq --download-only --only-source "softhsm2=$version" >/dev/null 2>&1) || true
  orig=$(find "$work" -maxdepth 1 -name 'softhsm2_*.orig.tar.*' | head -1)
  dsc=$(find "$work" -maxdepth 1 -name "softhsm2_*.dsc" | head -1)
  if [ -n "$orig" ] && [ -n "$dsc" ] &&
     awk -v f="$(basename "$orig")" '/^Checksums-Sha256:/{s=1;next} /^[^ ]/{s=0} s && $3==f {print $1"  "f}' "$dsc" |
       (cd "$work" && sha256sum -c --status); then
    mkdir "$work/src" && tar -xf "$orig" -C "$work/src" --strip-components=1
    src="$work/src"
    break
  fi
  rm -f "$work"/softhsm2_*
done
[ -n "$src" ] || { echo "windows: no softhsm2 source could be fetched" >&2; exit 3; }

# The Windows pieces of the source (syslog and setenv stand-ins, the
# passphrase prompt) are only in its MSVC project files; the patch gives
# them to the CMake build, and keeps snprintf (mingw's is C99) in place.
patch -s -d "$src" -p1 <"$here/softhsm2/mingw.patch"
# Cross-building: the results of OpenSSL's key wrap checks, which CMake
# cannot run, are given (OpenSSL 3.0 has both).  RSA is what the route
# needs: ECC, EdDSA and GOST are left out; no p11-kit, no tests.  The rest
# of SoftHSM2 still calls OpenSSL's DES, DSA, DH, MD5, CMAC and AES key
# wrap: an OpenSSL configured without one of them cannot serve it.
cmake -S "$src" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$here/../../platform/win32/mingw-$arch.cmake" -DTOLMIX_WIN32_OPENSSL="$ossl" \
  -DENABLE_ECC=OFF -DENABLE_EDDSA=OFF -DENABLE_GOST=OFF -DENABLE_P11_KIT=OFF -DENABLE_STATIC=OFF \
  -DDISABLE_NON_PAGED_MEMORY=ON -DBUILD_TESTS=OFF -DRUN_AES_KEY_WRAP=0 -DRUN_AES_KEY_WRAP_PAD=0 \
  "-DCMAKE_SHARED_LINKER_FLAGS=-static -s" "-DCMAKE_EXE_LINKER_FLAGS=-static -s" >"$work/cmake.log" 2>&1 ||
  { tail -30 "$work/cmake.log" >&2; exit 1; }
nice cmake --build "$work/build" --target softhsm2 softhsm2-util >"$work/make.log" 2>&1 ||
  { tail -30 "$work/make.log" >&2; exit 1; }
prefix="$cache_root/softhsm2-$version-$arch"
rm -rf "$prefix"
mkdir -p "$prefix/bin"
# softhsm2-util loads "softhsm2.dll" by default; CMake names it libsofthsm2.dll.
cp "$work/build/src/lib/libsofthsm2.dll" "$prefix/bin/softhsm2.dll"
cp "$work/build/src/bin/util/softhsm2-util.exe" "$prefix/bin/"
echo "$ossl" >"$prefix/.complete"
echo "windows: SoftHSM2 $version built for $arch in $(( $(date +%s) - start ))s" >&2
echo "$prefix"
