# shellcheck shell=bash disable=SC2154
# More of the "P11" route under Wine, sourced by run.sh inside its routes
# loop (its check, w, win_run, opened and folders): a wrong PIN, then a
# token of Windows' own making: softhsm2-util.exe initialises it and
# imports the user's key, Linux's pkcs11-tool writes the certificate.
wrong=$(win_run cancel "$root/tests/win32/routes/route.js" P11 000000 "$text" "$recipient")
check "P11: a wrong PIN refused by the token" grep -qxF "setpasswd=false|登录UKEY失败,密码错误,重复次数过多会锁死UKEY." <<<"$wrong"
conf() { printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' "$1"; }
mkdir -p "$data/p11/tokens"
conf "$(w "$data/p11/tokens")" >"$data/p11/own.conf"
conf "$data/p11/tokens" >"$data/p11/linux.conf"
own=$(w "$data/p11/own.conf") own_pin=20261209
hsm() { SOFTHSM2_CONF=$own wine "$bin\\softhsm2-util.exe" --module "$bin\\softhsm2.dll" "$@" >/dev/null 2>&1; }
check "P11: softhsm2-util.exe makes a token" hsm --init-token --free --label tolmix --so-pin 19491001 --pin "$own_pin"
check "P11: softhsm2-util.exe imports the key" hsm --import "$(w "$data/user.key")" --token tolmix \
  --label user --id 01 --pin "$own_pin"
linux_cert() { SOFTHSM2_CONF="$data/p11/linux.conf" pkcs11-tool --module "$sbx/system/libsofthsm2.so" \
  --token-label tolmix --login --pin "$own_pin" --write-object "$data/user.pem" --type cert --id 01 \
  --label user >/dev/null 2>&1; }
check "P11: the certificate written from Linux" linux_cert
ours=$(SOFTHSM2_CONF=$own win_run cancel "$root/tests/win32/routes/route.js" P11 "$own_pin" "$text" "$recipient")
check "P11: Windows' own token signs" grep -qxF "sign=true|" <<<"$ours"
check "P11: openssl verifies its signature" opened "$ours" 1 -verify -CAfile "$data/ca.pem" -purpose any
