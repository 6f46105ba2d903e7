#!/usr/bin/env bash
# ThreadSanitizer run of the thread test: four threads, each with its own
# control, calling the session and message methods at once.
# Builds only what the test needs in build-tsan (the core, the engine
# modules, the host that makes the sandbox, the test) and runs it.
# Usage: scripts/tsan.sh [build dir]   (default: <repo>/build-tsan)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build-tsan}

cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTOLMIX_SANITIZE_THREAD=ON -DTOLMIX_BUILD_GTK=OFF >/dev/null
cmake --build "$dir" -j "$(nproc)" --target \
  tolmix_core SKFAPI softskf pkcs11_rsa_key gmEngine capi tolmix threads_tests

# Races inside the uninstrumented system libraries are out of our reach;
# tests/threads/tsan.supp lists each one with the reason it is not ours.
export TSAN_OPTIONS="suppressions=$root/tests/threads/tsan.supp halt_on_error=0 exitcode=66 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
# setarch -R: TSan's shadow layout needs the classic address space on
# kernels with high mmap randomisation.
exec setarch "$(uname -m)" -R "$dir/tests/threads/threads_tests"
