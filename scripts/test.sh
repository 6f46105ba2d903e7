#!/usr/bin/env bash
# The whole test suite on a fresh Debian 12 machine: dependencies (the
# tests' npm tools too, where the npm registry can be reached), build, a
# short run of every fuzz target, then every test.
# Usage: scripts/test.sh [--sanitize]   (--sanitize: the ASan+UBSan build)
# TOLMIX_FUZZ_SECONDS sets the seconds per fuzz target (default 30; 0 skips).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install-deps.sh"
bash "$root/scripts/install-js-tools.sh"
# Debian 13 in the reduced form of the platform matrix: the product built
# in a Debian 13 chroot and its demo there (docs/platform.md; the whole
# matrix is `bash scripts/platforms.sh`).  Started in the background here,
# where its debootstrap and downloads overlap the builds below; waited for
# before the tests, which it would slow.
platforms_pid=""
platforms_log=$(mktemp)
if ! [[ " $* " == *" --sanitize "* ]]; then
  if [ "$(id -u)" -eq 0 ]; then
    bash "$root/scripts/platforms.sh" --reduced >"$platforms_log" 2>&1 &
    platforms_pid=$!
  else
    echo "test.sh: SKIPPED: the Debian 13 leg (scripts/platforms.sh): needs root"
  fi
fi

bash "$root/scripts/build.sh" "$@"
dir="$root/build"
for a in "$@"; do [ "$a" = "--sanitize" ] && dir="$root/build-asan"; done

fuzz_seconds=${TOLMIX_FUZZ_SECONDS:-30}
if [ "$fuzz_seconds" -gt 0 ]; then
  if command -v clang++ >/dev/null; then
    bash "$root/scripts/fuzz.sh" "$fuzz_seconds"
  else
    echo "test.sh: SKIPPED: the fuzz targets: clang is not installed (see install-deps above)"
  fi
fi

# The control for 32-bit Windows, cross-built and tested under Wine; its
# page scripts are compared with the Linux build's output (docs/windows.md).
if [ "$dir" = "$root/build" ]; then
  bash "$root/scripts/windows.sh"
fi

platforms=0
if [ -n "$platforms_pid" ]; then
  wait "$platforms_pid" || platforms=$?
  cat "$platforms_log"
fi
rm -f "$platforms_log"

export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
cd "$dir"
status=0
ctest --output-on-failure -j "$(nproc)" --timeout 600 || status=$?
if [ ! -d "$root/tests/js/node_modules" ]; then
  echo "test.sh: tests/js/node_modules is not installed (the npm registry could not be" \
       "reached): the browser and SM2 peer tests were skipped"
fi
[ $platforms -eq 0 ] || status=1
exit $status
