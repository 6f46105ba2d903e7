#!/usr/bin/env bash
# Builds the Debian package from the build tree.
#
#   bash scripts/package.sh [OUTDIR]
#
# writes tolmix_<version>_<arch>.deb into OUTDIR (default: the build tree,
# build/) and prints its path.  The tree (TOLMIX_BUILD_DIR selects another)
# is configured if it is not yet, then what the package holds is brought up
# to date (the target tolmix_package_parts: the programs, modules, shim and
# manual; not the tests, benchmarks or fuzz targets), then CPack packs it.
# The programs carry the install prefix they were configured with, so the
# tree must be configured for /usr, the default.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TOLMIX_BUILD_DIR:-$root/build}
out=${1:-$build}

if [ ! -f "$build/CPackConfig.cmake" ]; then
  werror=OFF
  if [ "${CI:-}" = "true" ]; then werror=ON; fi
  cmake -S "$root" -B "$build" -G Ninja -DTOLMIX_WERROR=$werror >/dev/null
fi
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
if [ "$prefix" != /usr ]; then
  echo "package.sh: $build is configured for the prefix $prefix; the package installs" \
       "under /usr: cmake -S '$root' -B '$build' -DCMAKE_INSTALL_PREFIX=/usr" >&2
  exit 1
fi
for tool in cpack dpkg-shlibdeps; do
  command -v "$tool" >/dev/null || { echo "package.sh: $tool not found (scripts/install-deps.sh)" >&2; exit 1; }
done

cmake --build "$build" -j "$(nproc)" --target tolmix_package_parts >&2

mkdir -p "$out"
out=$(cd "$out" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# CPack installs the tree into a staging folder (stripped) and packs it.
if ! (cd "$build" && cpack -G DEB -B "$work") >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log" >&2
  echo "package.sh: cpack failed" >&2
  exit 1
fi
debs=("$work"/*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
  echo "package.sh: expected one package in $work, found: ${debs[*]}" >&2
  exit 1
fi
mv -f "${debs[0]}" "$out/"
echo "$out/$(basename "${debs[0]}")"
