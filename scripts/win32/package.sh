#!/usr/bin/env bash
# The Windows package from the cross-build in BUILD (build-win32, or
# build-win64 for x86-64): the folder BUILD/TOLMIX-win32-<version>/
# (TOLMIX-win64-<version>/) with TOLMIX.OCX, its DLLs, the two
# device lists, install.cmd / uninstall.cmd and their fingerprint.js
# (packaging/win32/), the demo
# and docs/windows.md, and the same as a zip beside it.  Prints the folder.
set -euo pipefail
build=$(cd "$1" && pwd)
root=$(cd "$(dirname "$0")/../.." && pwd)
version=$(sed -n 's/^project(tolmix VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
# OpenSSL names its x86-64 library libcrypto-3-x64.dll.
if [ -f "$build/bin/libcrypto-3-x64.dll" ]; then bits=64 libcrypto=libcrypto-3-x64.dll sysdir="System32"
else bits=32 libcrypto=libcrypto-3.dll sysdir="SysWOW64 on 64-bit Windows, else System32"; fi
name="TOLMIX-win$bits-$version"
out="$build/$name"
rm -rf "$out" "$out.zip"
mkdir -p "$out"
for f in TOLMIX.OCX $libcrypto capi.dll pkcs11_rsa_key.dll gmEngine.dll SKFAPI.dll; do
  cp "$build/bin/$f" "$out/"
done
for f in install.cmd uninstall.cmd; do
  sed -e "s/@BITS@/$bits/g" -e "s/@LIBCRYPTO@/$libcrypto/g" "$root/packaging/win32/$f" >"$out/$f"
done
for f in P11_SKF.ini GM_SKF.ini; do  # the comments name the system directory of this build
  sed -e "s/@BITS@/$bits/g" -e "s/@SYSDIR@/$sysdir/g" "$root/packaging/win32/$f" >"$out/$f"
done
cp "$root/examples/demo.js" "$root/packaging/win32/fingerprint.js" "$out/"
sed 's/$/\r/' "$root/docs/windows.md" >"$out/README.txt"
(cd "$build" && cmake -E tar cf "$name.zip" --format=zip "$name")
echo "$out"
