#!/usr/bin/env bash
# Provisions a SoftHSM2 token for the PKCS#11 route.
#
#   provision-softhsm.sh DIR LABEL PIN SO_PIN KEY CERT [KEY CERT ...]
#
# DIR receives softhsm2.conf and tokens/ (tokens/ is emptied first).  One
# token labelled LABEL is initialised with the user PIN and the SO PIN; every
# KEY/CERT pair (PEM files) is written to it with
# CKA_ID 01, 02, ... in argument order and CKA_LABEL = the certificate's file
# name without its extension.  Private keys are stored with CKA_SENSITIVE
# true and CKA_EXTRACTABLE false.
#
# Prints "SOFTHSM2_CONF=<DIR>/softhsm2.conf" on standard output; every later
# user of the token needs that variable.  SOFTHSM2_MODULE overrides the
# module path (default /usr/lib/softhsm/libsofthsm2.so).
set -euo pipefail

if [[ $# -lt 6 || $(( ($# - 4) % 2 )) -ne 0 ]]; then
  echo "usage: $0 DIR LABEL PIN SO_PIN KEY CERT [KEY CERT ...]" >&2
  exit 2
fi
dir=$1 label=$2 pin=$3 so_pin=$4
shift 4
module=${SOFTHSM2_MODULE:-/usr/lib/softhsm/libsofthsm2.so}
for tool in softhsm2-util pkcs11-tool; do
  command -v "$tool" >/dev/null || { echo "$0: $tool not found" >&2; exit 1; }
done
[[ -f $module ]] || { echo "$0: PKCS#11 module $module not found" >&2; exit 1; }

mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
rm -rf "$dir/tokens"
mkdir -p "$dir/tokens"
cat > "$dir/softhsm2.conf" <<CONF
directories.tokendir = $dir/tokens
objectstore.backend = file
log.level = ERROR
slots.removable = false
CONF
export SOFTHSM2_CONF=$dir/softhsm2.conf

softhsm2-util --init-token --free --label "$label" --pin "$pin" --so-pin "$so_pin" >/dev/null

p11() {
  pkcs11-tool --module "$module" --token-label "$label" --login --pin "$pin" "$@" >/dev/null
}

n=1
while [[ $# -gt 0 ]]; do
  key=$1 cert=$2
  shift 2
  id=$(printf '%02X' "$n")
  name=$(basename "$cert")
  name=${name%.*}
  p11 --write-object "$key" --type privkey --id "$id" --label "$name" --sensitive
  p11 --write-object "$cert" --type cert --id "$id" --label "$name"
  n=$((n + 1))
done

echo "SOFTHSM2_CONF=$dir/softhsm2.conf"
