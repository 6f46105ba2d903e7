#!/usr/bin/env bash
# The main job: install, build, and drive the control through `tolmix`.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install-deps.sh"
bash "$root/scripts/build.sh"
tolmix="$root/build/host/tolmix"
# The control is created by ProgID through the registry: register the
# in-process server into a registry file of the demo's own.  AboutBox opens
# the certificate chooser: let it cancel unattended.
export TOLMIX_REGISTRY="${TOLMIX_REGISTRY:-$root/build/demo/registry.ini}"
export TOLMIX_CHOOSER="${TOLMIX_CHOOSER:-cancel}"
echo "== register the in-process server"
"$tolmix" register
echo "== a fresh control"
"$tolmix" call GetLastErrorInfo 0 -- ErrorCode -- SignedData -- GetLastErrorInfo 1
echo "== member names are found without regard to case; unknown ones are refused"
"$tolmix" call errorcode -- ABOUTBOX -- getlasterrorinfo 0
"$tolmix" call NoSuchMember || echo "(refused, exit status $?)"
echo "== a text argument with no GBK form is refused with a message"
"$tolmix" call Sign "😀" -- GetLastErrorInfo 0
echo "== a wrong argument count or type is reported"
"$tolmix" call Digest abc || echo "(refused, exit status $?)"
"$tolmix" call Digest abc sha1 || echo "(refused, exit status $?)"
