#!/usr/bin/env bash
# The Debian package end to end, as an administrator and a new user meet it:
# build the .deb with scripts/package.sh in an empty build folder, lintian, install it with apt-get
# (dependencies from the archive), then as a fresh user with an empty home
# call the control with no `register`, run `tolmix demo` from the installed
# copy, reach the demo's PKCS#11 token through the packaged device list and
# p11-kit, and start the dispatcher as its system socket unit would (an
# unprivileged user, the unit's sockets) and the user's bridge with the
# ExecStart line of the installed user unit (an origin the administrator's
# packaged file allows gets a control through it), with the browser
# extension in the folders each browser takes it from; last, with the
# dispatcher, the user's bridge and a worker running, purge, and check that
# no tolmix process runs and every installed file and the machine-wide
# registration are gone while the user's own files stay.
#
#   package_test.sh [BUILD_DIR]   (BUILD_DIR is not used: the package is built afresh)
#
# Needs root, apt-get, dpkg and systemd's tools (no systemd running); exits
# 77 (skipped) without them, or when a tolmix package is already on the
# machine (the test would remove it).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }
step() { echo "== $*"; }

[ "$(id -u)" -eq 0 ] || skip "needs root (installs a package and makes a user)"
for tool in apt-get dpkg dpkg-deb useradd runuser setpriv ps systemd-analyze systemd-socket-activate; do
  command -v "$tool" >/dev/null || skip "$tool not found"
done
state=$(dpkg-query -W -f='${db:Status-Status}' tolmix 2>/dev/null || true)
if [ -n "$state" ] && [ "$state" != not-installed ]; then
  skip "a tolmix package is on this machine ($state); not touching it"
fi

work=$(mktemp -d)
chmod 0755 "$work"
user="tolmixpkg$$"
bridge_pid=""
dispatcher_pid=""
cleanup() {
  set +e
  [ -n "$bridge_pid" ] && kill "$bridge_pid" 2>/dev/null && wait "$bridge_pid" 2>/dev/null
  [ -n "$dispatcher_pid" ] && kill "$dispatcher_pid" 2>/dev/null && wait "$dispatcher_pid" 2>/dev/null
  rm -rf /run/tolmix
  if dpkg-query -W -f='${Status}' tolmix 2>/dev/null | grep -q "ok installed\|config-files"; then
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq tolmix >/dev/null 2>&1
  fi
  if id "$user" >/dev/null 2>&1; then
    # Whatever the test user still runs was started by this test.
    command -v pkill >/dev/null && pkill -KILL -u "$user" && sleep 0.2
    userdel -r "$user" >/dev/null 2>&1
  fi
  rm -rf "$work"
}
trap cleanup EXIT

apt_get() {
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=120 -y -q "$@"
}

# Runs a command as the test user, in a clean environment: nothing of the
# test's own (TOLMIX_*, SOFTHSM2_CONF, ...) reaches it.
as_user() {
  runuser -u "$user" -- env -i HOME="$home" USER="$user" LOGNAME="$user" \
    PATH=/usr/bin:/bin TMPDIR="$home/tmp" LANG=C.UTF-8 "$@"
}

# The package is made as a packager would: scripts/package.sh alone, in a
# build folder of its own that nothing else has built into.
step "package (fresh build folder)"
deb=$(TOLMIX_BUILD_DIR="$work/build" bash "$root/scripts/package.sh" "$work")
rm -rf "$work/build"
case "$(basename "$deb")" in
  tolmix_*_*.deb) ;;
  *) fail "unexpected package name $deb" ;;
esac
dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./|/|; s|/$||' | grep -v '^$' |
  sort >"$work/files"
for path in /usr/bin/tolmix /etc/tolmix/P11_SKF.ini /etc/tolmix/GM_SKF.ini /etc/tolmix/origins.ini \
            /usr/share/man/man1/tolmix.1.gz /usr/lib/systemd/user/tolmix-bridge.service \
            /usr/lib/systemd/system/tolmix-dispatcher.socket \
            /usr/lib/systemd/system/tolmix-dispatcher.service /usr/share/tolmix/web/tolmix.js \
            /usr/share/tolmix/browser/tolmix/manifest.json /usr/share/tolmix/browser/tolmix.xpi \
            /usr/share/chromium/extensions/tolmix /usr/share/firefox-esr/distribution/policies.json; do
  grep -qx "$path" "$work/files" || fail "the package lacks $path"
done
sysdir=$(grep -E '^/usr/lib/.*/tolmix/libtolmix\.so$' "$work/files" | xargs dirname)
[ -n "$sysdir" ] || fail "the package has no libtolmix.so in <libdir>/tolmix"
for f in gmEngine.so pkcs11_rsa_key.so capi.so SKFAPI.so P11_SKF.ini GM_SKF.ini p11-kit-proxy.so; do
  grep -qx "$sysdir/$f" "$work/files" || fail "the package lacks $sysdir/$f"
done
dpkg-deb -f "$deb" Depends | grep -q "p11-kit-modules" || fail "no dependency on p11-kit-modules"
dpkg-deb -f "$deb" Recommends | grep -qw "p11-kit" || fail "p11-kit (its list-modules) is not recommended"
dpkg-deb -f "$deb" Depends | grep -q "libssl3" || fail "shared library dependencies missing"
[ "$(dpkg-deb -I "$deb" conffiles | sort | tr '\n' ' ')" = \
  "/etc/tolmix/GM_SKF.ini /etc/tolmix/P11_SKF.ini /etc/tolmix/origins.ini " ] ||
  fail "conffiles: $(dpkg-deb -I "$deb" conffiles)"

if command -v lintian >/dev/null; then
  step "lintian"
  lintian --fail-on error "$deb" >"$work/lintian.txt" 2>&1 ||
    { cat "$work/lintian.txt"; fail "lintian reports errors"; }
  grep '^[EW]:' "$work/lintian.txt" || true
else
  echo "lintian not installed: not run"
fi

step "install"
if ! apt_get install "$deb" >"$work/apt.log" 2>&1; then
  # Stale package lists: refresh once and try again.
  apt_get update >>"$work/apt.log" 2>&1 || true
  apt_get install "$deb" >>"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt-get install"; }
fi
registry=/var/lib/tolmix/registry.ini
[ -f "$registry" ] || fail "no machine-wide registry after install"
[ "$(stat -c %a "$registry") $(stat -c %a /var/lib/tolmix)" = "644 755" ] ||
  fail "the machine-wide registry is not readable by every user"
grep -qx "@=$sysdir/libtolmix.so" "$registry" || fail "$registry does not name $sysdir/libtolmix.so"
# The device lists are read through the system directory.
[ "$(readlink -f "$sysdir/P11_SKF.ini")" = /etc/tolmix/P11_SKF.ini ] || fail "P11_SKF.ini link"
[ -e "$sysdir/p11-kit-proxy.so" ] || fail "p11-kit-proxy.so leads nowhere"
# The shim a site may host itself is the one the bridge serves.
shim=/usr/share/tolmix/web/tolmix.js
grep -q '"progId":"TOLMIX.TOLMIXCtrl.1"' "$shim" || fail "$shim carries no class description"
tolmix bridge --shim | cmp -s - "$shim" || fail "$shim differs from the served shim"
# The browser extension, for both browsers, with the same shim (each
# browser takes it from its folder: below).
ext=/usr/share/tolmix/browser
tolmix bridge --shim | cmp -s - "$ext/tolmix/tolmix.js" || fail "the extension's shim differs from the served one"
unzip -p "$ext/tolmix.xpi" manifest.json | cmp -s - "$ext/tolmix/manifest.json" || fail "tolmix.xpi is not the extension"
# The dispatcher's sockets are held from boot, the bridge runs for every
# user from login.
unit=/usr/lib/systemd/user/tolmix-bridge.service
socket_unit=/usr/lib/systemd/system/tolmix-dispatcher.socket
dispatcher_unit=/usr/lib/systemd/system/tolmix-dispatcher.service
for enabled in /etc/systemd/user/default.target.wants/tolmix-bridge.service \
               /etc/systemd/system/sockets.target.wants/tolmix-dispatcher.socket; do
  [ -L "$enabled" ] || fail "not enabled: no $enabled"
done

step "docs/admin.md as written"
# Runs the sh block of admin.md that holds the line $1, with the vendor's
# paths of the guide ($2 -> $3) and without its editor lines: as root, or
# through the command $4... (as_user).
admin_block() {
  awk -v want="$1" '/^ *```sh$/ { block = ""; inside = 1; next }
    /^ *```$/ { if (inside && index(block, want)) printf "%s", block; inside = 0; next }
    inside { sub(/^  /, ""); block = block $0 "\n" }' "$root/docs/admin.md" |
    grep -v '^editor ' | sed "s|$2|$3|g" >"$work/admin.sh"
  [ -s "$work/admin.sh" ] || fail "admin.md has no block with \"$1\""
  "${@:4}" bash -e "$work/admin.sh" 2>&1
}
# The SoftHSM2 module stands in for the vendor's.
admin_block "mkdir -p /etc/pkcs11/modules" /opt/vendor/lib/libvendorp11.so \
  /usr/lib/softhsm/libsofthsm2.so >"$work/admin.txt" || { cat "$work/admin.txt"; fail "admin.md: p11-kit"; }
# p11-kit 0.24 (Debian 12) lists "NAME: PATH"; 0.25 (Debian 13) "module: NAME"
# with the resolved "path: PATH" below it.
listed_path=$(awk '$0 == "vendor: /usr/lib/softhsm/libsofthsm2.so" { print $2; exit }
                   /^module: / { mod = $2 } mod == "vendor" && $1 == "path:" { print $2; exit }' \
                "$work/admin.txt")
[ -n "$listed_path" ] && [ "$(realpath "$listed_path")" = "$(realpath /usr/lib/softhsm/libsofthsm2.so)" ] ||
  { cat "$work/admin.txt"; fail "admin.md: p11-kit list-modules does not list the module"; }
rm -f /etc/pkcs11/modules/vendor.module
rmdir -p /etc/pkcs11/modules 2>/dev/null || true
policy_dir_existed=no
[ -d /etc/chromium/policies/managed ] && policy_dir_existed=yes
admin_block "mkdir -p /etc/chromium/policies/managed" @ @ || fail "admin.md: the Chromium policy"
grep -q LocalNetworkAccessAllowedForUrls /etc/chromium/policies/managed/tolmix.json ||
  fail "admin.md: no policy in /etc/chromium/policies/managed/tolmix.json"
rm -f /etc/chromium/policies/managed/tolmix.json
[ "$policy_dir_existed" = yes ] || rmdir -p /etc/chromium/policies/managed 2>/dev/null || true
echo "admin.md: the p11-kit module folder and check, the Chromium policy folder"

step "systemd-analyze verify"
mkdir -m 0700 "$work/runtime"
man_check=--man=no
command -v man >/dev/null && [ -f /usr/share/man/man1/tolmix.1.gz ] && man_check=--man=yes
XDG_RUNTIME_DIR="$work/runtime" systemd-analyze --user "$man_check" verify "$unit" ||
  fail "systemd-analyze verify $unit"
systemd-analyze "$man_check" verify "$socket_unit" "$dispatcher_unit" ||
  fail "systemd-analyze verify $socket_unit $dispatcher_unit"

step "a new user"
home="$work/home"
mkdir "$work/skel"
useradd --home-dir "$home" --create-home --skel "$work/skel" --shell /bin/sh "$user"
[ -z "$(ls -A "$home")" ] || fail "the new home is not empty"
as_user mkdir "$home/tmp"

out=$(as_user tolmix call GetLastErrorInfo 0 -- ErrorCode) || fail "tolmix call as a new user"
[ "$out" = $'\n0' ] || fail "tolmix call printed: $out"
[ ! -e "$home/.config/tolmix/registry.ini" ] || fail "the call wrote a per-user registry"

step "docs/admin.md: one SoftHSM2 token for several users"
# An RSA key and its signature certificate (CKA_ID 01) on SoftHSM2 token
# $1, written through the command $2... (as_user), as the guide says.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/admin-k.pem" -subj /CN=admin -days 30 \
  -addext keyUsage=digitalSignature -outform der -out "$work/admin-c.der" 2>/dev/null
openssl pkey -in "$work/admin-k.pem" -outform der -out "$work/admin-k.der"
chmod 0644 "$work"/admin-*
token_key() {
  local label=$1 t
  shift
  for t in privkey:k cert:c; do
    "$@" pkcs11-tool --module /usr/lib/softhsm/libsofthsm2.so --token-label "$label" --login --pin 123456 \
      --write-object "$work/admin-${t#*:}.der" --type "${t%:*}" --id 01 >/dev/null || return 1
  done
}
if [ -d /var/lib/softhsm/tokens ] && [ -z "$(ls -A /var/lib/softhsm/tokens)" ] &&
   command -v pkcs11-tool >/dev/null; then
  admin_block "chmod -R g+rwX /var/lib/softhsm/tokens" alice "$user" >"$work/admin.txt" ||
    { cat "$work/admin.txt"; fail "admin.md: the shared SoftHSM2 token"; }
  # "or run it again after each import"
  token_key Office && chmod -R g+rwX /var/lib/softhsm/tokens || fail "admin.md: keys on the shared token"
  shared=$(as_user tolmix call SetPasswd P11 123456 1 -- GetLastErrorInfo 0 2>/dev/null | grep -v '^SKF_')
  softhsm2-util --delete-token --token Office >/dev/null 2>&1 || true
  [ "$shared" = $'true\n' ] || [ "$shared" = true ] ||
    fail "admin.md: the user in group softhsm cannot log in to the shared token: $shared"
  echo "admin.md: a user in group softhsm logs in to root's token through p11-kit"
else
  echo "admin.md: the shared SoftHSM2 token not tried (/var/lib/softhsm/tokens holds tokens already)"
fi

if command -v softhsm2-util >/dev/null && command -v pkcs11-tool >/dev/null; then
  admin_block "mkdir -p ~/.config/softhsm2/tokens" @ @ as_user >"$work/admin.txt" ||
    { cat "$work/admin.txt"; fail "admin.md: the user's own SoftHSM2 token"; }
  token_key Mine as_user || fail "admin.md: keys on the user's own token"
  own=$(as_user tolmix call SetPasswd P11 123456 1 2>/dev/null | grep -v '^SKF_')
  [ "$own" = true ] || fail "admin.md: the user cannot log in to a token of their own: $own"
  echo "admin.md: a user makes a token of their own and logs in to it through p11-kit"
fi

step "tolmix demo from the installed copy"
as_user tolmix demo "$home/demo" >"$work/demo.txt" 2>&1 || { cat "$work/demo.txt"; fail "tolmix demo"; }
tail -n 1 "$work/demo.txt"
grep -Eq '^[1-9][0-9]* passed, 0 failed$' "$work/demo.txt" || fail "demo report"
for module in SKFAPI.so gmEngine.so pkcs11_rsa_key.so capi.so; do
  [ "$(readlink "$home/demo/system/$module")" = "$sysdir/$module" ] ||
    fail "the demo's $module is not the installed one"
done
grep -qx "@=$sysdir/libtolmix.so" "$home/demo/registry.ini" || fail "the demo registered another server"

step "a PKCS#11 token through the packaged P11_SKF.ini and p11-kit"
# No TOLMIX_SYSTEM_DIR: the installed default, /etc/tolmix/P11_SKF.ini
# through its link, p11-kit's proxy and the SoftHSM2 module registered with
# p11-kit, which finds the demo's token through SOFTHSM2_CONF.
pin=$(sed -n "s/^export TOLMIX_SANDBOX_P11_PIN='\(.*\)'$/\1/p" "$home/demo/env.sh")
[ -n "$pin" ] || fail "no P11 PIN in the demo's env.sh"
as_user SOFTHSM2_CONF="$home/demo/softhsm/softhsm2.conf" \
  tolmix call SetPasswd P11 "$pin" 1 -- GetCertEx 2 -- Sign hello -- GetLastErrorInfo 0 \
  >"$work/p11.txt" 2>/dev/null || { cat "$work/p11.txt"; fail "the P11 call"; }
grep -v '^SKF_' "$work/p11.txt" >"$work/p11-answers.txt"
[ "$(head -n 1 "$work/p11-answers.txt")" = true ] || fail "SetPasswd P11: $(cat "$work/p11-answers.txt")"
[ "$(tail -n 2 "$work/p11-answers.txt" | tr '\n' ' ')" = "true  " ] ||
  fail "Sign through p11-kit: $(tail -n 2 "$work/p11-answers.txt")"
fingerprint() { openssl x509 -noout -fingerprint -sha256 -in "$1"; }
sed -n '/BEGIN CERT/,/END CERT/p' "$work/p11-answers.txt" >"$work/p11-sign.pem"
[ "$(fingerprint "$work/p11-sign.pem")" = "$(fingerprint "$home/demo/pki/p11-sign.pem")" ] ||
  fail "GetCertEx(2) is not the token's signature certificate"

step "each browser takes the extension"
# Debian's Chromium (its /etc/chromium.d) loads it with the fixed ID;
# Firefox ESR installs it into a new profile by the packaged policy.
as_user mkdir "$home/ff"
as_user timeout 40 chromium --headless --no-sandbox --user-data-dir="$home/cr" about:blank >/dev/null 2>&1 &
as_user timeout 40 firefox-esr --headless --profile "$home/ff" about:blank >/dev/null 2>&1 &
for _ in $(seq 150); do
  grep -qs mejijaagdllgnfonofbneiajbedacebl "$home/cr/Default/Preferences" &&
    [ -e "$home/ff/extensions/tolmix@tolmix.invalid.xpi" ] && break
  sleep 0.2
done
grep -qs mejijaagdllgnfonofbneiajbedacebl "$home/cr/Default/Preferences" || fail "Chromium did not load the extension"
[ -e "$home/ff/extensions/tolmix@tolmix.invalid.xpi" ] || fail "Firefox ESR did not install the extension"
pkill -u "$user" || true  # the two browsers: nothing else of the user runs yet
wait

step "the dispatcher and the bridge from the units: an allowed origin"
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
[ -n "$exec_start" ] || fail "no ExecStart in $unit"
dispatcher_start=$(sed -n 's/^ExecStart=//p' "$dispatcher_unit")
listen=$(sed -n 's/^ListenStream=//p' "$socket_unit" | tr '\n' ' ')
[ "$listen" = "127.0.0.1:26410 [::1]:26410 /run/tolmix/dispatcher.sock " ] ||
  fail "$socket_unit listens on \"$listen\""
listen_args=()
for at in $listen; do listen_args+=("--listen=$at"); done
# As systemd would: the sockets made first, handed over to the dispatcher
# running as a user of its own; the Unix one open to every user
# (SocketMode=0666, which systemd-socket-activate does not set).
start_dispatcher() {
  mkdir -p /run/tolmix
  rm -f /run/tolmix/dispatcher.sock
  # shellcheck disable=SC2086
  systemd-socket-activate "${listen_args[@]}" \
    setpriv --reuid=nobody --regid=nogroup --clear-groups $dispatcher_start >"$work/dispatcher.log" 2>&1 &
  dispatcher_pid=$!
  for _ in $(seq 50); do [ -S /run/tolmix/dispatcher.sock ] && break; sleep 0.1; done
  chmod 0666 /run/tolmix/dispatcher.sock
}
start_dispatcher
origin=https://portal.example
# Allowed by the administrator, in the packaged file.
echo "$origin=allow" >>/etc/tolmix/origins.ini
port=26410
# POST BODY to PATH with ORIGIN, as the user (the bridge serves its own
# user only); prints the status code and the body on one line.
cat >"$work/post.sh" <<'POST'
exec 3<>"/dev/tcp/127.0.0.1/$1" || exit 1
printf 'POST %s HTTP/1.1\r\nHost: 127.0.0.1:%s\r\nOrigin: %s\r\nContent-Type: application/json\r\nContent-Length: %d\r\nConnection: close\r\n\r\n%s' \
  "$2" "$1" "$3" "${#4}" "$4" >&3
response=$(cat <&3)
status=${response#HTTP/1.1 }
printf '%s %s\n' "${status%% *}" "${response##*$'\r\n\r\n'}"
POST
post() { as_user bash "$work/post.sh" "$port" "$@"; }
# Starts COMMAND... as the user with no process in between (the signal
# below reaches the bridge itself, and its exit status is the bridge's),
# then checks that an allowed origin gets a control and a never-allowed
# one gets 403, and that SIGTERM ends it cleanly.
bridge_answers() {
  local how=$1
  shift
  # shellcheck disable=SC2086 # the ExecStart line is split into words as systemd does
  setpriv --reuid="$user" --regid="$user" --init-groups \
    env -i HOME="$home" USER="$user" LOGNAME="$user" PATH=/usr/bin:/bin \
    TOLMIX_CONSENT=deny "$@" >"$work/bridge.log" 2>&1 &
  bridge_pid=$!
  local created="" id called refused shim
  for _ in $(seq 50); do
    # 503 until the bridge has registered with the dispatcher.
    created=$(post /create "$origin" '{"progid":"TOLMIX.TOLMIXCtrl.1"}' 2>/dev/null) &&
      [[ $created != 503* ]] && break
    kill -0 "$bridge_pid" 2>/dev/null || { cat "$work/bridge.log"; fail "$how: the bridge ended"; }
    sleep 0.1
  done
  [[ $created =~ ^200\ .*\"id\":(\"[^\"]*\"|[0-9]+) ]] ||
    { cat "$work/bridge.log"; fail "$how: create from an allowed origin: $created"; }
  id=${BASH_REMATCH[1]}
  called=$(post /invoke "$origin" '{"id":'"$id"',"name":"ErrorCode","kind":"get","args":[]}')
  [ "$called" = '200 {"value":0}' ] || fail "$how: ErrorCode through the bridge: $called"
  refused=$(post /create https://other.example '{"progid":"TOLMIX.TOLMIXCtrl.1"}')
  [[ $refused == 403* ]] || fail "$how: an origin never allowed got: $refused"
  # "localhost" reaches ::1 first: the bridge serves it too (the socket
  # unit hands that socket over as well).
  shim=$(as_user bash -c 'exec 3<>"/dev/tcp/::1/$1" || exit 1
    printf "GET /tolmix.js HTTP/1.1\r\nHost: localhost:%s\r\nConnection: close\r\n\r\n" "$1" >&3
    head -c 12 <&3' _ "$port") || true
  [ "$shim" = "HTTP/1.1 200" ] || [ ! -e /proc/net/if_inet6 ] ||
    { cat "$work/bridge.log"; fail "$how: [::1]:$port answered \"$shim\""; }
  grep -q "listening on http://127.0.0.1:$port" "$work/bridge.log" ||
    { cat "$work/bridge.log"; fail "$how: the bridge does not serve $port"; }
  kill "$bridge_pid"
  wait "$bridge_pid" || fail "$how: the bridge did not end cleanly on SIGTERM"
  bridge_pid=""
  echo "$how: an allowed origin got a control, another 403"
}
# shellcheck disable=SC2086
bridge_answers "ExecStart" $exec_start
kill "$dispatcher_pid"
wait "$dispatcher_pid" || { cat "$work/dispatcher.log"; fail "the dispatcher did not end cleanly"; }
dispatcher_pid=""
# A handed socket that is open beyond loopback is refused: the dispatcher
# ends at once, serving nobody.
# shellcheck disable=SC2086
systemd-socket-activate --listen="0.0.0.0:$port" --listen="$work/runtime/d.sock" $dispatcher_start \
  >"$work/bridge.log" 2>&1 &
bridge_pid=$!
for _ in $(seq 50); do
  post /create "$origin" '{"progid":"TOLMIX.TOLMIXCtrl.1"}' >/dev/null 2>&1 && break
  sleep 0.1
done
for _ in $(seq 50); do
  kill -0 "$bridge_pid" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$bridge_pid" 2>/dev/null; then
  fail "the dispatcher serves a socket open beyond loopback"
fi
wait "$bridge_pid" && fail "the dispatcher took a socket open beyond loopback without failing"
bridge_pid=""
grep -q "not one listening socket on 127.0.0.1" "$work/bridge.log" ||
  { cat "$work/bridge.log"; fail "no reason given for refusing the socket"; }
echo "socket activation: a socket open beyond loopback is refused"

step "purge"
# The dispatcher runs, and the user's bridge with a worker for an origin (no
# systemd runs here: the package's scripts must end them anyway).
start_dispatcher
# shellcheck disable=SC2086
setpriv --reuid="$user" --regid="$user" --init-groups \
  env -i HOME="$home" USER="$user" LOGNAME="$user" PATH=/usr/bin:/bin $exec_start \
  >"$work/bridge.log" 2>&1 &
bridge_pid=$!
for _ in $(seq 50); do
  post /create "$origin" '{"progid":"TOLMIX.TOLMIXCtrl.1"}' 2>/dev/null | grep -q '^200 ' && break
  sleep 0.1
done
# Running processes of the installed program, whoever runs them (an ended
# one that is not yet reaped has no program).
packaged_tolmix() {
  for d in /proc/[0-9]*; do
    case $(readlink "$d/exe" 2>/dev/null) in
      /usr/bin/tolmix | "/usr/bin/tolmix (deleted)")
        echo "${d#/proc/} $(tr '\0' ' ' <"$d/cmdline" 2>/dev/null)" ;;
    esac
  done
}
[ "$(packaged_tolmix | grep -c ' \(bridge\|worker\|dispatcher\) ')" -ge 3 ] ||
  { cat "$work/bridge.log"; fail "no dispatcher, bridge and worker before purge: $(packaged_tolmix)"; }
dpkg -L tolmix | sort >"$work/installed"
apt_get purge tolmix >"$work/apt-purge.log" 2>&1 || { cat "$work/apt-purge.log"; fail "apt-get purge"; }
for _ in $(seq 50); do
  [ -z "$(packaged_tolmix)" ] && break
  sleep 0.1
done
[ -z "$(packaged_tolmix)" ] || fail "still running after purge: $(packaged_tolmix)"
wait "$bridge_pid" "$dispatcher_pid" 2>/dev/null || true
bridge_pid="" dispatcher_pid=""
left=""
while read -r path; do
  # Shared folders (/usr, /etc, ...) stay; everything of the package goes.
  if [ -L "$path" ] || [ -f "$path" ] || { [ -d "$path" ] && [[ $path == *tolmix* ]]; }; then
    left+="$path "
  fi
done < <(cat "$work/files" "$work/installed" | sort -u)
[ -z "$left" ] || fail "left after purge: $left"
for path in /var/lib/tolmix /etc/tolmix; do
  [ ! -e "$path" ] || fail "left after purge: $path"
done
traces=$(find /etc/systemd /var/lib/systemd -name '*tolmix*' 2>/dev/null || true)
[ -z "$traces" ] || fail "service traces left after purge: $traces"
# The user's own files are theirs.
[ -f "$home/demo/registry.ini" ] && [ -d "$home/demo/store" ] || fail "the user's files went"
echo "PASS"
