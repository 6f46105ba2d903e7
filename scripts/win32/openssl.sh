#!/usr/bin/env bash
# OpenSSL 3.0 for Windows (mingw-w64; $TOLMIX_WIN32_ARCH: i686, the
# default, or x86_64), cross-built from
# Debian's own source package into a cache outside the clone, one folder
# per version: /var/cache/tolmix-win32/openssl-<version>-<arch> (override the
# root with TOLMIX_WIN32_CACHE).  Only the libraries and the engines are
# built and installed (no tests, no manuals).  Prints the folder.
set -euo pipefail
cache_root=${TOLMIX_WIN32_CACHE:-/var/cache/tolmix-win32}
arch=${TOLMIX_WIN32_ARCH:-i686}
case $arch in
  i686) target=mingw ;;
  x86_64) target=mingw64 ;;
  *) echo "windows: no OpenSSL target for $arch" >&2; exit 1 ;;
esac
versions=$(apt-cache showsrc openssl 2>/dev/null | awk '/^Version:/ {print $2}' | sort -Vr)
[ -n "$versions" ] || { echo "windows: no openssl source package in the archive" >&2; exit 3; }
# A build of any version the archive lists is reused; else the newest
# version whose source the archive still serves is built.
for version in $versions; do
  prefix="$cache_root/openssl-$version-$arch"
  if [ -f "$prefix/.complete" ]; then echo "$prefix"; exit 0; fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/tolmix-openssl.XXXXXX")
trap 'rm -rf "$work"' EXIT
start=$(date +%s)
src=
for version in $versions; do
  if (cd "$work" && apt-get source -qq --only-source "openssl=$version" >/dev/null 2>&1); then
    src=$(find "$work" -maxdepth 1 -type d -name 'openssl-*' | head -1)
    break
  fi
done
[ -n "$src" ] || { echo "windows: no openssl source could be fetched" >&2; exit 3; }
prefix="$cache_root/openssl-$version-$arch"
rm -rf "$prefix"
mkdir -p "$prefix"
cd "$src"
# no-asm: the i386 perlasm output uses relocations PE/COFF cannot hold.
# "capi" is OpenSSL's own CryptoAPI engine: the CSP route's module.
./Configure $target shared no-tests no-asm enable-capieng \
  --cross-compile-prefix=$arch-w64-mingw32- --prefix="$prefix" --libdir=lib >/dev/null
# One goal per make: two goals in one parallel make build shared objects twice.
for goal in build_libs build_modules; do
  nice make -s -j"$(nproc)" $goal >/dev/null 2>"$work/make.log" ||
    { tail -30 "$work/make.log" >&2; exit 1; }
done
make -s install_dev install_engines >/dev/null
# OPENSSL_Applink's source, which install_dev leaves out for x86-64.
[ -f "$prefix/include/openssl/applink.c" ] || cp ms/applink.c "$prefix/include/openssl/"
# libcrypto-3.dll, libcrypto-3-x64.dll on x86-64.
mkdir -p "$prefix/bin"
cp libcrypto-3*.dll "$prefix/bin/"
touch "$prefix/.complete"
echo "windows: OpenSSL $version built for $arch in $(( $(date +%s) - start ))s" >&2
echo "$prefix"
