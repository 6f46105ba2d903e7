#!/usr/bin/env bash
# The main job: install, build, then `tolmix demo [DIR]`: a fresh sandbox
# (SoftHSM2 token, soft SKF key, soft store, test PKI) and the page script
# examples/demo.js on the P11, SKF and CSP routes, one report line per check,
# ending with "N passed, N failed".  Exits non-zero when a check failed.
# Usage: scripts/demo.sh [DIR]   (DIR: where the sandbox goes; default a new
# folder under $TMPDIR or /tmp, named at the end and kept)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install-deps.sh"
bash "$root/scripts/build.sh"
exec "$root/build/host/tolmix" demo "$@"
