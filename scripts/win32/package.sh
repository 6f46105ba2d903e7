#!/usr/bin/env bash
# The Windows package from the cross-build in BUILD (build-win32): the
# folder BUILD/TOLMIX-win32-<version>/ with TOLMIX.OCX, its DLLs, the two
# device lists, install.cmd / uninstall.cmd (packaging/win32/), the demo
# and docs/windows.md, and the same as a zip beside it.  Prints the folder.
set -euo pipefail
build=$(cd "$1" && pwd)
root=$(cd "$(dirname "$0")/../.." && pwd)
version=$(sed -n 's/^project(tolmix VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
name="TOLMIX-win32-$version"
out="$build/$name"
rm -rf "$out" "$out.zip"
mkdir -p "$out"
for f in TOLMIX.OCX libcrypto-3.dll capi.dll pkcs11_rsa_key.dll gmEngine.dll SKFAPI.dll; do
  cp "$build/bin/$f" "$out/"
done
cp "$root"/packaging/win32/{install.cmd,uninstall.cmd,P11_SKF.ini,GM_SKF.ini} "$out/"
cp "$root/examples/demo.js" "$out/"
sed 's/$/\r/' "$root/docs/windows.md" >"$out/README.txt"
(cd "$build" && cmake -E tar cf "$name.zip" --format=zip "$name")
echo "$out"
