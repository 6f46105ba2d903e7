#!/usr/bin/env bash
# The Windows tests under Wine, on the cross-build in $1 (build-win32):
# registration with regsvr32 (every key written, and gone after /u), the
# type information and IObjectSafety (probe.exe), and page scripts run by
# cscript that must print what `tolmix run` prints on Linux for the same
# script.  A fresh 32-bit prefix whose ANSI code page is 936 each run.
set -uo pipefail
build=$(cd "$1" && pwd)
root=$(cd "$(dirname "$0")/../.." && pwd)
export WINEPREFIX="$build/wine" WINEARCH=win32 WINEDEBUG=-all LC_ALL=zh_CN.UTF-8
export WINEDLLOVERRIDES="mscoree,mshtml="
rm -rf "$WINEPREFIX"
wineboot -i >/dev/null 2>&1; wineserver -w
pass=0; fail=0
check() {  # NAME COMMAND...: one test
  local name=$1; shift
  if "$@"; then pass=$((pass + 1)); else fail=$((fail + 1)); echo "windows: FAIL $name" >&2; fi
}
bin=$(winepath -w "$build/bin")
ocx="$bin\\TOLMIX.OCX"
export WINEPATH="$bin"  # libcrypto-3.dll for every module of the folder

ctrl='{8A436BFA-A8D7-4341-BFFA-D55C5C80621D}'
page='{C3E9B560-7142-41B8-9634-EF256E46B639}'
lib='{531930F0-6F49-49EE-A212-4954B7013872}'
script='{7DD95801-9882-11CF-9FA9-00AA006C42C4}'
init='{7DD95802-9882-11CF-9FA9-00AA006C42C4}'
# key | value (empty: the default) | data ("*": the key alone)
keys="CLSID\\$ctrl||TOLMIX Control
CLSID\\$ctrl\\InprocServer32||TOLMIX.OCX
CLSID\\$ctrl\\InprocServer32|ThreadingModel|Apartment
CLSID\\$ctrl\\ProgID||TOLMIX.TOLMIXCtrl.1
CLSID\\$ctrl\\Control||*
CLSID\\$ctrl\\MiscStatus||0
CLSID\\$ctrl\\MiscStatus\\1||131473
CLSID\\$ctrl\\TypeLib||$lib
CLSID\\$ctrl\\Version||1.0
CLSID\\$ctrl\\Implemented Categories\\$script||*
CLSID\\$ctrl\\Implemented Categories\\$init||*
TOLMIX.TOLMIXCtrl.1||TOLMIX Control
TOLMIX.TOLMIXCtrl.1\\CLSID||$ctrl
CLSID\\$page||TOLMIX Property Page
CLSID\\$page\\InprocServer32|ThreadingModel|Apartment
TypeLib\\$lib\\1.0||TOLMIX ActiveX Control module
TypeLib\\$lib\\1.0\\409\\win32||TOLMIX.OCX
Component Categories\\$script|409|Controls safely scriptable!
Component Categories\\$init|409|Controls safely initializable from persistent data!"
has_key() {  # KEY VALUE DATA: the registry holds it
  local out
  if [ -z "$2" ]; then out=$(wine reg query "HKCR\\$1" /ve 2>/dev/null) || return 1
  else out=$(wine reg query "HKCR\\$1" /v "$2" 2>/dev/null) || return 1; fi
  [ "$3" = "*" ] || grep -qF -- "$3" <<<"$out"
}
lacks_key() { ! wine reg query "HKCR\\$1" >/dev/null 2>&1; }

for round in 1 2; do  # registering twice succeeds both times
  check "regsvr32 ($round)" wine regsvr32 /s "$ocx"
done
while IFS='|' read -r k v d; do check "key $k $v" has_key "$k" "$v" "$d"; done <<<"$keys"

probe=$(wine "$bin\\probe.exe" | tr -d '\r')
expect="typeinfo: 36 methods, 7 properties, 43 resolve
safety get IDispatch 00000000 3 3
safety get IPersistStream 80004002 3 3
safety set 3 3 00000000
safety set 1 0 80004005
safety set 4 4 80004005"
while IFS= read -r line; do check "probe: $line" grep -qxF -- "$line" <<<"$probe"; done <<<"$expect"

# Page scripts: the same lines from cscript under Wine as from tolmix run.
tolmix="$root/build/host/tolmix"
data=$(mktemp -d "${TMPDIR:-/tmp}/tolmix-win32.XXXXXX")
bash "$root/tests/win32/make-data.sh" "$data"
mkdir -p "$data/system"  # a system directory of the test's own on both sides
export TOLMIX_REGISTRY="$data/registry.ini"  # the Linux side's classes
[ -x "$tolmix" ] && "$tolmix" register >/dev/null
for js in "$root"/tests/win32/pages/*.js; do
  name=$(basename "$js")
  if [ ! -x "$tolmix" ]; then echo "windows: $name: no Linux build to compare with, skipped"; continue; fi
  linux=$(TOLMIX_SYSTEM_DIR="$data/system" TOLMIX_CHOOSER=cancel "$tolmix" run "$js" "$data/" 2>/dev/null)
  wdata="$(winepath -w "$data")\\"
  windows=$(TOLMIX_SYSTEM_DIR="$(winepath -w "$data/system")" TOLMIX_CHOOSER=cancel wine cscript //nologo "$(winepath -w "$js")" "$wdata" 2>/dev/null | tr -d '\r' | iconv -f GBK -t UTF-8)
  [ -n "$linux" ] || linux="(no output)"
  check "$name same output" diff <(echo "$linux") <(echo "$windows")
done

# The "CSP" route: the user's certificate in "MY", its key in a container
# of Wine's own provider, OpenSSL's capi engine as the "capi" module.  What
# Windows signs and seals, openssl opens on Linux, and the other way round.
gbk() { printf '%s' "$1" | iconv -f UTF-8 -t GBK; }
block() { awk -v n="$1" '/^-----BEGIN PKCS7-----/{k++} k==n{print} /^-----END PKCS7-----/{if(k==n)exit}'; }
prov="Microsoft Enhanced Cryptographic Provider v1.0"
check "import into MY" wine "$bin\\import.exe" "$(winepath -w "$data/user.pem")" \
  "$(winepath -w "$data/user.key")" "$prov" "tolmix-user"
gbk "中文 sealed on Linux" >"$data/sealed.txt"
gbk "中文 signed on Linux" >"$data/signed.txt"
openssl smime -encrypt -des3 -outform PEM -in "$data/sealed.txt" "$data/user.pem" >"$data/env.pem"
openssl smime -sign -nodetach -outform PEM -in "$data/signed.txt" -signer "$data/user.pem" \
  -inkey "$data/user.key" >"$data/sig.pem"
csp=$(TOLMIX_SYSTEM_DIR="$bin" TOLMIX_CHOOSER=first wine cscript //nologo \
  "$(winepath -w "$root/tests/win32/routes/csp.js")" "$(tr '\n' '|' <"$data/env.pem")" \
  "$(tr '\n' '|' <"$data/sig.pem")" 2>/dev/null | tr -d '\r')
csp_text=$(iconv -f GBK -t UTF-8 <<<"$csp")
[ -n "${TOLMIX_WIN32_VERBOSE:-}" ] && echo "$csp_text" >&2
for line in "setpasswd=true|" "sign=true|" "decrypt=true|中文 sealed on Linux|"; do
  check "csp: $line" grep -qxF -- "$line" <<<"$csp_text"
done
opened() {  # N EXPECTED OPENSSL-ARGS...: block N of the output, opened by openssl
  local n=$1 want=$2; shift 2
  [ "$(block "$n" <<<"$csp" | openssl smime "$@" -inform PEM 2>/dev/null | iconv -f GBK -t UTF-8)" = "$want" ]
}
check "csp: Windows signature verified on Linux" opened 1 "中文 signed on Windows" \
  -verify -CAfile "$data/ca.pem" -purpose any
check "regsvr32 /u" wine regsvr32 /s /u "$ocx"
for k in "CLSID\\$ctrl" "CLSID\\$page" "TOLMIX.TOLMIXCtrl.1" "TypeLib\\$lib"; do check "gone $k" lacks_key "$k"; done
check "categories stay" has_key "Component Categories\\$script" 409 "Controls safely scriptable!"
wineserver -k 2>/dev/null
rm -rf "$data"
echo "windows: $pass passed, $fail failed"
[ "$fail" -eq 0 ]
