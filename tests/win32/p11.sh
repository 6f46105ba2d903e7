# shellcheck shell=bash disable=SC2154
# The "P11" route under Wine, sourced by run.sh after its other routes
# (its check, wsh, w, win_run, linux_run, mask, block and folders): SoftHSM2
# built for Windows, softhsm2.dll named by the P11_SKF.ini of
# scripts/windows.sh, on the sandbox's own token folder: SoftHSM2's token
# files are the same on both systems.  Then a token of Windows' own
# making: softhsm2-util.exe initialises it and imports the user's key,
# Linux's pkcs11-tool writes the certificate.  As `tolmix demo` does, the
# soft SKF key is pulled out meanwhile, and plugged in again after.
if [ ! -f "$wsys/softhsm2.dll" ] || [ ! -f "$build/bin/P11_SKF.ini" ]; then
  echo "windows: P11: no softhsm2.dll and P11_SKF.ini (scripts/win32/softhsm2.sh), skipped"
else
  cp "$build/bin/P11_SKF.ini" "$wsys/"
  conf() { printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' "$1"; }
  mkdir -p "$data/p11/tokens"
  conf "$(w "$sbx/softhsm/tokens")" >"$data/p11/sandbox.conf"
  conf "$(w "$data/p11/tokens")" >"$data/p11/own.conf"
  conf "$data/p11/tokens" >"$data/p11/linux.conf"
  export SOFTHSM2_CONF; SOFTHSM2_CONF=$(w "$data/p11/sandbox.conf")
  pin=$(. "$sbx/env.sh" && echo "$TOLMIX_SANDBOX_P11_PIN")
  key="$sbx/skf/TolmixSoftKey/device.conf"
  sed -i 's/^present = 1$/present = 0/' "$key"
  other=$(cat "$sbx/pki/quenmark-user.pem") recipient=$(cat "$sbx/pki/p11-exchange.pem")
  demo=(route=P11 pin="$pin" recipient="$recipient" other="$other" pfxpass=demo-pfx)
  wdemo=$(win_run cancel "$root/examples/demo.js" "${demo[@]}" work="$(w "$work")" pfx="$(w "$work/other-rsa.pfx")")
  ldemo=$(TOLMIX_CHOOSER=cancel linux_run "$root/examples/demo.js" "${demo[@]}" work="$work" pfx="$work/other-rsa.pfx")
  check "demo P11 under Wine: no check failed" grep -qE "^P11: [0-9]+ passed, 0 failed$" <<<"$wdemo"
  check "demo P11: the same lines as on Linux" diff <(mask <<<"$ldemo") <(mask <<<"$wdemo")
  # Each side opens the other's envelope and checks the other's signature;
  # openssl checks Windows' signature and opens its envelope.
  lout=$(TOLMIX_CHOOSER=cancel linux_run "$root/tests/win32/routes/route.js" P11 "$pin" "$text" "$recipient")
  wout=$(win_run cancel "$root/tests/win32/routes/route.js" P11 "$pin" "$text" "$recipient" \
    "$(block 2 <<<"$lout")" "$(block 1 <<<"$lout")")
  back=$(TOLMIX_CHOOSER=cancel linux_run "$root/tests/win32/routes/route.js" P11 "$pin" "$text" "$recipient" \
    "$(block 2 <<<"$wout")" "$(block 1 <<<"$wout")")
  wrong=$(win_run cancel "$root/tests/win32/routes/route.js" P11 000000 "$text" "$recipient")
  [ -n "${TOLMIX_WIN32_VERBOSE:-}" ] && printf '%s\n' "$wdemo" "$wout" "$back" "$wrong" >&2
  for line in "setpasswd=true|" "sign=true|" "encrypt=true|" "decrypt=true|$text|" "verify=true|"; do
    check "P11: Windows $line" grep -qxF -- "$line" <<<"$wout"
  done
  for line in "decrypt=true|$text|" "verify=true|"; do
    check "P11: Linux opens Windows' messages: $line" grep -qxF -- "$line" <<<"$back"
  done
  check "P11: a wrong PIN refused by the token" grep -qxF "setpasswd=false|登录UKEY失败,密码错误,重复次数过多会锁死UKEY." <<<"$wrong"
  p11_opened() {  # OUTPUT BLOCK OPENSSL-ARGS...: that message of Windows, opened by openssl, is $text
    [ "$(block "$2" <<<"$1" | openssl smime "${@:3}" -inform PEM 2>/dev/null | iconv -f GBK -t UTF-8)" = "$text" ]; }
  check "P11: openssl verifies Windows' signature" p11_opened "$wout" 1 -verify -CAfile "$sbx/pki/ca-orvarsa.pem" -purpose any
  check "P11: openssl opens Windows' envelope" p11_opened "$wout" 2 -decrypt -inkey "$sbx/keys/p11-exchange.key"

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
  check "P11: openssl verifies its signature" p11_opened "$ours" 1 -verify -CAfile "$data/ca.pem" -purpose any
  sed -i 's/^present = 0$/present = 1/' "$key"
fi
