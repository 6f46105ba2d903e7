#!/usr/bin/env bash
# The main job: install, build, and drive the control through `tolmix`.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install-deps.sh"
bash "$root/scripts/build.sh"
tolmix="$root/build/host/tolmix"
echo "== a fresh control"
"$tolmix" call GetLastErrorInfo 0 -- ErrorCode -- SignedData -- GetLastErrorInfo 1
