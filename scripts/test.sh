#!/usr/bin/env bash
# The whole test suite on a fresh Debian 12 machine: dependencies, build, tests.
# Usage: scripts/test.sh [--sanitize]   (--sanitize: the ASan+UBSan build instead)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install-deps.sh"
bash "$root/scripts/build.sh" "$@"
dir="$root/build"
for a in "$@"; do [ "$a" = "--sanitize" ] && dir="$root/build-asan"; done

export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
cd "$dir"
ctest --output-on-failure -j "$(nproc)" --timeout 300
