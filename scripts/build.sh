#!/usr/bin/env bash
# Configures and builds the tree.  Usage: scripts/build.sh [--sanitize] [BUILD_DIR]
# Warnings are errors when CI=true.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
sanitize=OFF
dir=""
for a in "$@"; do
  case "$a" in
    --sanitize) sanitize=ON ;;
    *) dir="$a" ;;
  esac
done
if [ -z "$dir" ]; then
  if [ "$sanitize" = ON ]; then dir="$root/build-asan"; else dir="$root/build"; fi
fi
werror=OFF
if [ "${CI:-}" = "true" ]; then werror=ON; fi
cmake -S "$root" -B "$dir" -G Ninja -DTOLMIX_SANITIZE=$sanitize -DTOLMIX_WERROR=$werror >/dev/null
cmake --build "$dir" -j "$(nproc)"
