#!/usr/bin/env bash
# OpenSSL 3.0 for 32-bit Windows (mingw-w64, i686), cross-built from
# Debian's own source package into a cache outside the clone, one folder
# per version: /var/cache/tolmix-win32/openssl-<version>-i686 (override the
# root with TOLMIX_WIN32_CACHE).  Only the libraries and the engines are
# built and installed (no tests, no manuals).  Prints the folder.
set -euo pipefail
cache_root=${TOLMIX_WIN32_CACHE:-/var/cache/tolmix-win32}
versions=$(apt-cache showsrc openssl 2>/dev/null | awk '/^Version:/ {print $2}' | sort -Vr)
[ -n "$versions" ] || { echo "windows: no openssl source package in the archive" >&2; exit 3; }
# A build of any version the archive lists is reused; else the newest
# version whose source the archive still serves is built.
for version in $versions; do
  prefix="$cache_root/openssl-$version-i686"
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
prefix="$cache_root/openssl-$version-i686"
rm -rf "$prefix"
mkdir -p "$prefix"
cd "$src"
# no-asm: the i386 perlasm output uses relocations PE/COFF cannot hold.
# "capi" is OpenSSL's own CryptoAPI engine: the CSP route's module.
./Configure mingw shared no-tests no-asm enable-capieng \
  --cross-compile-prefix=i686-w64-mingw32- --prefix="$prefix" --libdir=lib >/dev/null
# One goal per make: two goals in one parallel make build shared objects twice.
for goal in build_libs build_modules; do
  nice make -s -j"$(nproc)" $goal >/dev/null 2>"$work/make.log" ||
    { tail -30 "$work/make.log" >&2; exit 1; }
done
make -s install_dev install_engines >/dev/null
cp libcrypto-3.dll "$prefix/bin/" 2>/dev/null || { mkdir -p "$prefix/bin" && cp libcrypto-3.dll "$prefix/bin/"; }
touch "$prefix/.complete"
echo "windows: OpenSSL $version built for i686 in $(( $(date +%s) - start ))s" >&2
echo "$prefix"
