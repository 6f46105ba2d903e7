#!/usr/bin/env bash
# The Windows tests under Wine, on the cross-build in $1 (build-win32 or
# build-win64):
# registration with regsvr32 (every key written, and gone after /u), the
# type information and IObjectSafety (probe.exe), and page scripts run by
# cscript that must print what `tolmix run` prints on Linux for the same
# script.  A fresh 32-bit prefix whose ANSI code page is 936 each run.
set -uo pipefail
build=$(cd "$1" && pwd)
root=$(cd "$(dirname "$0")/../.." && pwd)
# A build for x86-64 (build-win64, with OpenSSL's libcrypto-3-x64.dll) gets
# a 64-bit prefix.
bits=32; [ -f "$build/bin/libcrypto-3-x64.dll" ] && bits=64
export WINEPREFIX="$build/wine" WINEARCH=win$bits WINEDEBUG=-all LC_ALL=zh_CN.UTF-8
# Debian's `wine` starts Windows' programs with the 32-bit loader when
# wine32 is there, and a 32-bit cscript cannot load a 64-bit control: the
# 64-bit tests get a `wine` of the 64-bit loader, first on PATH.
if [ $bits = 64 ]; then
  mkdir -p "$build/wine64-bin"
  printf '#!/bin/sh\nexec /usr/lib/wine/wine64 "$@"\n' >"$build/wine64-bin/wine"
  chmod +x "$build/wine64-bin/wine"
  export PATH="$build/wine64-bin:$PATH" WINELOADER=/usr/lib/wine/wine64
fi
export WINEDLLOVERRIDES="mscoree,mshtml="
rm -rf "$WINEPREFIX"
wineboot -i >/dev/null 2>&1; wineserver -w
# Windows without a display: dialogs and message boxes exist, unseen.
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1; wineserver -w
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
TypeLib\\$lib\\1.0\\409\\win$bits||TOLMIX.OCX
Component Categories\\$script|409|Controls safely scriptable!
Component Categories\\$init|409|Controls safely initializable from persistent data!"
has_key() {  # KEY VALUE DATA: the registry holds it
  local out
  if [ -z "$2" ]; then out=$(wine reg query "HKCR\\$1" /ve "/reg:$bits" 2>/dev/null) || return 1
  else out=$(wine reg query "HKCR\\$1" /v "$2" "/reg:$bits" 2>/dev/null) || return 1; fi
  [ "$3" = "*" ] || grep -qF -- "$3" <<<"$out"
}
# /reg:64: the 64-bit view, which a 64-bit control's classes are in.
lacks_key() { ! wine reg query "HKCR\\$1" "/reg:$bits" >/dev/null 2>&1; }

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
safety set 4 4 80004005
page $page General sized
page shows \"TODO: Place controls to manipulate properties of TOLMIX Control on this dialog.\" 00000000 00000000
page dirty 00000001 apply 00000000
page closes 00000000 00000000
ole misc 131473 class same
verb properties 00000000 showed the page"
while IFS= read -r line; do check "probe: $line" grep -qxF -- "$line" <<<"$probe"; done <<<"$expect"

# embed.exe: the control in a container that does what a browser does for
# an <object> element with <param>s (tests/win32/clients/embed.cpp).
embed=$(wine "$bin\\embed.exe" | tr -d '\r')
[ -n "${TOLMIX_WIN32_VERBOSE:-}" ] && echo "$embed" >&2
expect=""
for i in IOleObject IOleControl IPersistPropertyBag IPersistStreamInit IViewObject IViewObject2 IViewObjectEx \
  IOleInPlaceObject IOleInPlaceObjectWindowless IOleInPlaceActiveObject IProvideClassInfo IProvideClassInfo2 \
  IConnectionPointContainer IQuickActivate IDispatch IObjectSafety; do
  expect+="qi $i 00000000"$'\n'
done
expect+="safety data 00000000
safety caller 00000000
quickactivate 00000000 misc 131473 view 0
site kept yes
bag load 00000000 read _ExtentX,_ExtentY,SignedData,EncryptedData,ErrorCode,DecryptedData,AllCSP,DigestData,SignProData
dirty after load 00000001
verb inplace 00000000
verb show 00000000
window 80004005 none
rects 00000000
message 00000001
draw 00000000 00000000 white bounds, ellipse
extent 00000000 0x0
viewstatus 00000000 0
hit 00000000 0
typeinfo 36 methods 7 properties
call Digest 16 00000000 -1
call DigestData 6 00000000 kAFQmDzST7DWlj99KOF/cg==
call SignedData 1 00000000 
call ErrorCode 3 00000000 0
classinfo coclass of the control
events 00000000 {C3595E9B-C46E-494F-9835-2DD0B10D3204}
connection points 00000000 next 00000001 0
find events 80040200
controlinfo 00000000 0
deactivate 00000000
close 00000000
unsite 00000000
site events activate-windowless,deactivate
release 0 site refs 1
stream initnew 00000000 save 00000000 load 00000000
release 0"
while IFS= read -r line; do check "embed: $line" grep -qxF -- "$line" <<<"$embed"; done <<<"$expect"

# cscript's output, as UTF-8 lines.  Wine 8.0's cscript sizes its byte
# buffer at one byte per character when its output is not a console, so a
# line of GBK text overruns its heap; under a terminal it writes UTF-16 to
# the console, which reaches us as UTF-8.  The terminal is wide enough that
# no line wraps; a cursor move to the right stands for the spaces it skips,
# the other cursor sequences and carriage returns are dropped.  Standard
# error is left out, as on the Linux side (Wine's own notes go there).
wsh() {  # [VAR=VALUE...] -- SCRIPT ARGS...: SCRIPT and ARGS as Windows sees them
  local vars=()
  while [ "$1" != "--" ]; do vars+=("$1"); shift; done
  shift
  # A script that waits for a dialog nobody answers is ended after 3 min.
  SHELL=/bin/bash timeout -k 5 180 script -qfec "stty cols 8000 rows 200; exec $(printf '%q ' env "${vars[@]}" \
    wine cscript //nologo "$@") 2>/dev/null" /dev/null </dev/null |
    perl -pe 's/\e\[(\d*)C/" " x ($1 || 1)/ge; s/\e\[[0-9;?]*[A-Za-z]//g; tr/\r//d'
}
w() { winepath -w "$1"; }

tolmix="$root/build/host/tolmix"
data=$(mktemp -d "${TMPDIR:-/tmp}/tolmix-win32.XXXXXX")
bash "$root/tests/win32/make-data.sh" "$data"

# The routes on the devices of a sandbox made on Linux: the soft SKF key's
# folder serves both sides; the "CSP" route's certificates go into "MY"
# with their keys in containers of Wine's Enhanced provider, and OpenSSL's
# capi engine is the "capi" module.
if [ -x "$tolmix" ]; then
  sbx="$data/sandbox" wsys="$data/wsystem" work="$data/work"
  "$tolmix" sandbox "$sbx" >/dev/null
  mkdir -p "$wsys" "$work"
  cp "$build"/bin/*.dll "$wsys/"
  printf '[DeviceCount]\r\nDeviceCount=1\r\n\r\n[Device_1]\r\nDLLName=SKFAPI.dll\r\n' >"$wsys/GM_SKF.ini"
  prov="Microsoft Enhanced Cryptographic Provider v1.0"
  for k in csp-sign csp-enc; do
    check "import $k into MY" wine "$bin\\import.exe" "$(w "$sbx/pki/$k.pem")" "$(w "$sbx/keys/$k.key")" "$prov" "tolmix-$k"
  done
  openssl pkcs12 -export -in "$sbx/pki/other-rsa.pem" -inkey "$sbx/keys/other-rsa.key" \
    -passout pass:demo-pfx -out "$work/other-rsa.pfx"
  linux_run() { (. "$sbx/env.sh" && "$tolmix" run "$@" 2>/dev/null); }
  win_run() {  # CHOOSER SCRIPT ARGS...
    local chooser=$1 js=$2; shift 2
    wsh TOLMIX_SYSTEM_DIR="$(w "$wsys")" TOLMIX_SKF_TOKEN_DIR="$(w "$sbx/skf")" \
      TOLMIX_CHOOSER="$chooser" -- "$(w "$js")" "$@"
  }
  # The chooser as a user meets it: the Win32 dialog, no answer set.  The
  # first OK has no row selected and must be refused with a message box;
  # AboutBox's chooser is used to view a certificate, then cancelled.
  (wine "$bin\\drive.exe" "请选择证书" ok row:0 && wine "$bin\\drive.exe" "请选择证书" view:0 cancel) \
    >"$data/drive.out" 2>&1 &
  driver=$!
  chosen=$(wsh TOLMIX_SYSTEM_DIR="$(w "$wsys")" -- "$(w "$root/tests/win32/routes/chooser.js")")
  wait $driver
  chosen+=$'\n'$(tr -d '\r' <"$data/drive.out")
  [ -n "${TOLMIX_WIN32_VERBOSE:-}" ] && echo "$chosen" >&2
  for line in "setpasswd=true|" "subject=CN=Tolmix CSP Enc, OU=CSP, O=Tolmix Sandbox, C=CN" "about=" \
    "message=请选择证书" "closed"; do
    check "chooser dialog: $line" grep -qF -- "$line" <<<"$chosen"
  done
  # Viewing AboutBox's row 0 leaves its certificate in the temporary folder.
  viewed=$(find "$WINEPREFIX/drive_c/users" -name tempview.cer | head -1)
  check "chooser dialog: the viewed certificate in tempview.cer" \
    cmp -s "${viewed:-/nonexistent}" <(openssl x509 -in "$sbx/pki/csp-sign.pem" -outform DER)
  for k in csp-enc csp-sign; do  # SetPasswd lists the encryption certificate, AboutBox the signing one
    cn=$(openssl x509 -in "$sbx/pki/$k.pem" -noout -subject -nameopt multiline,utf8,-esc_msb |
      sed -n 's/^ *commonName *= *//p')
    check "chooser dialog: $cn listed" grep -qE "^row 0=$cn\|ORVA\|[0-9]{4}-[0-9]{2}-[0-9]{2}\|RSA$" <<<"$chosen"
  done
  # The "P11" route: SoftHSM2 built for Windows (scripts/win32/softhsm2.sh)
  # reads the sandbox's own token folder, its files being the same on both
  # systems.  As `tolmix demo` does, the soft SKF key is pulled out meanwhile.
  p11=
  if [ -f "$wsys/softhsm2.dll" ] && [ -f "$build/bin/P11_SKF.ini" ]; then
    cp "$build/bin/P11_SKF.ini" "$wsys/"
    mkdir -p "$data/p11"
    printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' \
      "$(w "$sbx/softhsm/tokens")" >"$data/p11/sandbox.conf"
    export SOFTHSM2_CONF; SOFTHSM2_CONF=$(w "$data/p11/sandbox.conf")
    p11="P11|$(. "$sbx/env.sh" && echo "$TOLMIX_SANDBOX_P11_PIN")|cancel|p11-exchange|ca-orvarsa"
  else
    echo "windows: P11: no softhsm2.dll and P11_SKF.ini (scripts/win32/softhsm2.sh), skipped"
  fi
  skf_key="$sbx/skf/TolmixSoftKey/device.conf"

  # Page scripts: the same lines from cscript under Wine as from tolmix run,
  # each side on the sandbox's devices as they were at the start (PIN
  # counters included).  Argument 0: the folder of make-data.sh's files.
  tar -C "$sbx" -cf "$data/devices.tar" skf softhsm/tokens
  devices() { rm -rf "$sbx/skf" "$sbx/softhsm/tokens" && tar -C "$sbx" -xf "$data/devices.tar"; }
  for js in "$root"/tests/win32/pages/*.js; do
    name=$(basename "$js")
    devices
    linux=$(TOLMIX_CHOOSER=cancel linux_run "$js" "$data/")
    # A UTF-8 script is given to cscript as a Windows user keeps it: in GBK.
    wjs="$data/gbk-$name"
    iconv -f UTF-8 -t GBK "$js" >"$wjs" 2>/dev/null || cp "$js" "$wjs"
    devices
    windows=$(win_run cancel "$wjs" "$(w "$data")\\")
    [ -n "$linux" ] || linux="(no output)"
    check "$name same output" diff <(echo "$linux") <(echo "$windows")
  done
  devices
  # route PIN CHOOSER RECIPIENT CA (the RSA routes': openssl checks them)
  routes="SKF|888888|cancel|skf-sm2-enc|
CSP||first|csp-enc|ca-orva
$p11"
  # Values that differ between two runs (random signatures and keys) or
  # between the platforms (the provider list, the work folder's name) are
  # left out of the comparison.
  mask() {
    sed -E 's/^([A-Z0-9]+ +(GetAllCSPInfo|P1Sign|Sign|SignEnvelope|Encrypt) {2,}(ok|FAIL|skip)).*/\1/' |
      perl -pe 'BEGIN { ($l, $w) = splice @ARGV, 0, 2 } s/\Q$l\E|\Q$w\E/WORK/g; s#WORK\\#WORK/#g' "$work" "$(w "$work")"
  }
  text="中文 signed and sealed"
  block() { awk -v n="$1" '/^-----BEGIN PKCS7-----/{k++} k==n{print} /^-----END PKCS7-----/{if(k==n)exit}'; }
  opened() {  # OUTPUT BLOCK OPENSSL-ARGS...: that message of Windows, opened by openssl, is $text
    [ "$(block "$2" <<<"$1" | openssl smime "${@:3}" -inform PEM 2>/dev/null | iconv -f GBK -t UTF-8)" = "$text" ]
  }
  while IFS='|' read -r route pin chooser cert ca; do
    [ -n "$route" ] || continue
    [ "$route" = P11 ] && sed -i 's/^present = 1$/present = 0/' "$skf_key"
    other=$(cat "$sbx/pki/quenmark-user.pem") recipient=$(cat "$sbx/pki/$cert.pem")
    demo=(route="$route" pin="$pin" recipient="$recipient" other="$other" pfxpass=demo-pfx)
    wdemo=$(win_run "$chooser" "$root/examples/demo.js" "${demo[@]}" work="$(w "$work")" pfx="$(w "$work/other-rsa.pfx")")
    ldemo=$(TOLMIX_CHOOSER=$chooser linux_run "$root/examples/demo.js" "${demo[@]}" work="$work" pfx="$work/other-rsa.pfx")
    check "demo $route under Wine: no check failed" grep -qE "^$route: [0-9]+ passed, 0 failed$" <<<"$wdemo"
    check "demo $route: the same lines as on Linux" diff <(mask <<<"$ldemo") <(mask <<<"$wdemo")
    # Each side opens the other's envelope and checks the other's signature.
    lout=$(TOLMIX_CHOOSER=$chooser linux_run "$root/tests/win32/routes/route.js" "$route" "$pin" "$text" "$recipient")
    wout=$(win_run "$chooser" "$root/tests/win32/routes/route.js" "$route" "$pin" "$text" "$recipient" \
      "$(block 2 <<<"$lout")" "$(block 1 <<<"$lout")")
    back=$(TOLMIX_CHOOSER=$chooser linux_run "$root/tests/win32/routes/route.js" "$route" "$pin" "$text" "$recipient" \
      "$(block 2 <<<"$wout")" "$(block 1 <<<"$wout")")
    [ -n "${TOLMIX_WIN32_VERBOSE:-}" ] && printf '%s\n' "$wdemo" "$wout" "$back" >&2
    for line in "setpasswd=true|" "sign=true|" "encrypt=true|" "decrypt=true|$text|" "verify=true|"; do
      check "$route: Windows $line" grep -qxF -- "$line" <<<"$wout"
    done
    for line in "decrypt=true|$text|" "verify=true|"; do
      check "$route: Linux opens Windows' messages: $line" grep -qxF -- "$line" <<<"$back"
    done
    if [ -n "$ca" ]; then  # outside peers: openssl for the RSA routes
      check "$route: openssl verifies Windows' signature" opened "$wout" 1 -verify -CAfile "$sbx/pki/$ca.pem" -purpose any
      check "$route: openssl opens Windows' envelope" opened "$wout" 2 -decrypt -inkey "$sbx/keys/$cert.key"
    fi
    [ "$route" = P11 ] && source "$root/tests/win32/p11.sh"  # a wrong PIN, a token of Windows' making
    [ "$route" = P11 ] && sed -i 's/^present = 0$/present = 1/' "$skf_key"
    block 1 <<<"$wout" >"$data/$route-signed.pem"
    block 2 <<<"$wout" >"$data/$route-sealed.pem"
  done <<<"$routes"
  # The SM2 peer for the GM route.
  peer="$root/tests/js/sm2peer.js"
  if [ -d "$root/tests/js/node_modules/sm-crypto" ] && command -v node >/dev/null; then
    check "SKF: the SM2 peer verifies Windows' signature" bash -c 'node "$1" inspect "$2" "$3" | grep -qx "verified=true"' \
      _ "$peer" "$data/SKF-signed.pem" "$(mktemp -d "$data/peer.XXXX")"
    hex=$(printf '%s' "$text" | iconv -f UTF-8 -t GBK | od -An -tx1 | tr -d ' \n')
    check "SKF: the SM2 peer opens Windows' envelope" bash -c 'node "$1" unwrap "$2" "$3" | grep -qx "content=$4"' \
      _ "$peer" "$data/SKF-sealed.pem" "$sbx/keys/skf-sm2-enc.key" "$hex"
  else
    echo "windows: the SM2 peer's npm modules are not installed (tests/js): its two checks skipped"
  fi
else
  echo "windows: no Linux build: the routes are not compared, skipped"
fi

check "regsvr32 /u" wine regsvr32 /s /u "$ocx"
for k in "CLSID\\$ctrl" "CLSID\\$page" "TOLMIX.TOLMIXCtrl.1" "TypeLib\\$lib"; do check "gone $k" lacks_key "$k"; done
check "categories stay" has_key "Component Categories\\$script" 409 "Controls safely scriptable!"
# The package as an administrator installs it (scripts/win32/package.sh):
# into the real system directory.  The first install writes the empty
# device lists; the administrator then names the soft key in GM_SKF.ini;
# an upgrade (install.cmd again) keeps the edited list; uninstall.cmd
# removes the list nobody edited and keeps the edited one.
pkg=$(ls -d "$build"/TOLMIX-win$bits-*/ 2>/dev/null | head -1)
if [ -n "$pkg" ] && [ -n "${sbx:-}" ]; then
  sys="$WINEPREFIX/drive_c/windows/system32"
  rm -f "$sys/GM_SKF.ini" "$sys/P11_SKF.ini"
  install() { wine cmd /c "$(w "$pkg")\\install.cmd" | grep -q "^TOLMIX.OCX installed in"; }
  check "install.cmd" install
  for f in GM_SKF.ini P11_SKF.ini; do
    check "installed: the empty $f" cmp -s "$sys/$f" "$pkg/$f"
  done
  printf '[DeviceCount]\r\nDeviceCount=1\r\n\r\n[Device_1]\r\nDLLName=SKFAPI.dll\r\n' >"$sys/GM_SKF.ini"
  admin=$(md5sum <"$sys/GM_SKF.ini")
  check "install.cmd again (an upgrade)" install
  check "upgraded: the administrator's GM_SKF.ini kept" test "$(md5sum <"$sys/GM_SKF.ini")" = "$admin"
  check "upgraded: P11_SKF.ini still the installed one" cmp -s "$sys/P11_SKF.ini" "$pkg/P11_SKF.ini"
  check "installed: the class names the system directory's OCX" has_key "CLSID\\$ctrl\\InprocServer32" "" 'C:\windows\System32\TOLMIX.OCX'
  installed=$(WINEPATH= wsh TOLMIX_SKF_TOKEN_DIR="$(w "$sbx/skf")" TOLMIX_CHOOSER=cancel -- "$(w "$pkg/demo.js")" \
    route=SKF pin=888888 recipient="$(cat "$sbx/pki/skf-sm2-enc.pem")" other="$(cat "$sbx/pki/quenmark-user.pem")")
  check "installed: the demo on SKF from the system directory" grep -qE "^SKF: [0-9]+ passed, 0 failed$" <<<"$installed"
  check "uninstall.cmd" bash -c 'wine cmd /c "$1" | grep -q "^TOLMIX.OCX removed from"' _ "$(w "$pkg")\\uninstall.cmd"
  for f in TOLMIX.OCX "$(basename "$build"/bin/libcrypto-3*.dll)" capi.dll pkcs11_rsa_key.dll gmEngine.dll SKFAPI.dll TOLMIX.installed \
    P11_SKF.ini TOLMIX.installed.P11_SKF.ini TOLMIX.installed.GM_SKF.ini; do
    check "uninstalled: $f" test ! -e "$sys/$f"
  done
  check "uninstalled: the class" lacks_key "CLSID\\$ctrl"
  check "uninstalled: the administrator's GM_SKF.ini kept" test "$(md5sum <"$sys/GM_SKF.ini")" = "$admin"
fi
wineserver -k 2>/dev/null
rm -rf "$data"
echo "windows ($bits-bit): $pass passed, $fail failed"
[ "$fail" -eq 0 ]
