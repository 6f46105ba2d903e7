#!/usr/bin/env bash
# Starts a software TPM and makes a tpm2-pkcs11 token on it, for tests.
#
#   tpm-token.sh DIR LABEL PIN SO_PIN CA_KEY CA_CERT
#
# swtpm runs in socket mode on a free 127.0.0.1 port with its state in
# DIR/state.  The token (tpm2_ptool, through a private tpm2-abrmd on a
# private D-Bus, since the TPM holds only three loaded objects and the tool
# does not flush its own) gets an RSA 2048 key made inside the TPM, with
# CKA_ID "01" as text (0x3031), and a certificate for it issued by
# CA_KEY/CA_CERT (key usage digitalSignature, keyEncipherment), written with
# pkcs11-tool.  Prints on standard output:
#   TPM2_PKCS11_TCTI=swtpm:host=127.0.0.1,port=N   (the direct swtpm TCTI)
#   TPM2_PKCS11_STORE=DIR/store
#   TPM_CERT=DIR/tpm-cert.pem
#   SWTPM_PID=PID   (kill -STOP / -CONT pauses it; kill ends it)
# Exits 77 with the reason on standard error when the simulator cannot start.
set -euo pipefail
[[ $# -eq 6 ]] || { echo "usage: $0 DIR LABEL PIN SO_PIN CA_KEY CA_CERT" >&2; exit 2; }
dir=$1 label=$2 pin=$3 so_pin=$4 ca_key=$5 ca_cert=$6
module=/usr/lib/x86_64-linux-gnu/libtpm2_pkcs11.so.1
for tool in swtpm swtpm_setup tpm2_ptool tpm2-abrmd dbus-run-session pkcs11-tool; do
  command -v "$tool" >/dev/null || { echo "$0: $tool not found" >&2; exit 77; }
done
rm -rf "$dir" && mkdir -p "$dir/state" "$dir/store"

swtpm_setup --tpm2 --tpmstate "$dir/state" --createek --overwrite >"$dir/setup.log" 2>&1 ||
  { echo "$0: swtpm_setup failed ($dir/setup.log)" >&2; exit 77; }
for try in 1 2 3 4 5; do
  port=$(( 20000 + RANDOM % 20000 ))
  if swtpm socket --tpm2 --tpmstate dir="$dir/state" --flags not-need-init,startup-clear \
       --server type=tcp,port=$port,bindaddr=127.0.0.1 \
       --ctrl type=tcp,port=$((port + 1)),bindaddr=127.0.0.1 \
       --daemon --pid file="$dir/swtpm.pid" 2>>"$dir/swtpm.log"; then
    break
  fi
  port=""
done
[[ -n $port ]] || { echo "$0: swtpm does not start ($dir/swtpm.log)" >&2; exit 77; }
tcti="swtpm:host=127.0.0.1,port=$port"

# Token and key through a resource manager of our own.
cat >"$dir/make.sh" <<MAKE
set -euo pipefail
tpm2-abrmd --session --allow-root --flush-all --tcti="$tcti" 2>"$dir/abrmd.log" &
abrmd=\$!
trap 'kill \$abrmd 2>/dev/null || true' EXIT
export TPM2TOOLS_TCTI="tabrmd:bus_type=session" TPM2_PKCS11_TCTI="tabrmd:bus_type=session"
for i in \$(seq 50); do tpm2_ptool listprimaries --path "$dir/store" >/dev/null 2>&1 && break; sleep 0.1; done
tpm2_ptool init --path "$dir/store" >/dev/null
tpm2_ptool addtoken --pid=1 --label="$label" --userpin="$pin" --sopin="$so_pin" --path "$dir/store" >/dev/null
tpm2_ptool addkey --label="$label" --userpin="$pin" --algorithm=rsa2048 --id=01 --key-label=key1 \
  --path "$dir/store" >/dev/null
MAKE
dbus-run-session -- bash "$dir/make.sh" 2>>"$dir/make.log" ||
  { echo "$0: tpm2_ptool could not make the token ($dir/make.log)" >&2; exit 1; }

export TPM2_PKCS11_TCTI="$tcti" TPM2_PKCS11_STORE="$dir/store" TPM2_PKCS11_LOG_LEVEL=0
pkcs11-tool --module "$module" --token-label "$label" --read-object --type pubkey --id 3031 \
  -o "$dir/pub.der" >/dev/null 2>&1
printf 'keyUsage=critical,digitalSignature,keyEncipherment\nbasicConstraints=CA:FALSE\n' >"$dir/ext.cnf"
openssl x509 -new -subj "/CN=$label user" -force_pubkey "$dir/pub.der" -keyform DER \
  -CA "$ca_cert" -CAkey "$ca_key" -days 3650 -extfile "$dir/ext.cnf" -out "$dir/tpm-cert.pem" 2>/dev/null ||
  openssl x509 -new -subj "/CN=$label user" -force_pubkey "$dir/pub.der" \
    -CA "$ca_cert" -CAkey "$ca_key" -days 3650 -extfile "$dir/ext.cnf" -out "$dir/tpm-cert.pem"
openssl x509 -in "$dir/tpm-cert.pem" -outform DER -out "$dir/tpm-cert.der"
pkcs11-tool --module "$module" --token-label "$label" --login --pin "$pin" --write-object \
  "$dir/tpm-cert.der" --type cert --id 3031 --label cert1 >/dev/null 2>&1

echo "TPM2_PKCS11_TCTI=$tcti"
echo "TPM2_PKCS11_STORE=$dir/store"
echo "TPM_CERT=$dir/tpm-cert.pem"
echo "SWTPM_PID=$(cat "$dir/swtpm.pid")"
