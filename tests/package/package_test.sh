#!/usr/bin/env bash
# The Debian package end to end, as an administrator and a new user meet it:
# build the .deb from the built tree, lintian, install it with apt-get
# (dependencies from the archive), then as a fresh user with an empty home
# call the control with no `register`, run `tolmix demo` from the installed
# copy, reach the demo's PKCS#11 token through the packaged device list and
# p11-kit, and start the dispatcher as its system socket unit would (an
# unprivileged user, the unit's sockets) and the user's bridge with the
# ExecStart line of the installed user unit (an origin the administrator's
# packaged file allows gets a control through it); last, purge, and check that every
# installed file and the machine-wide registration are gone while the
# user's own files stay.
#
#   package_test.sh BUILD_DIR
#
# Needs root, apt-get, dpkg and systemd's tools (no systemd running); exits
# 77 (skipped) without them, or when a tolmix package is already on the
# machine (the test would remove it).
set -euo pipefail
build=$(cd "$1" && pwd)
root=$(cd "$(dirname "$0")/../.." && pwd)
skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }
step() { echo "== $*"; }

[ "$(id -u)" -eq 0 ] || skip "needs root (installs a package and makes a user)"
for tool in apt-get dpkg dpkg-deb useradd runuser setpriv systemd-analyze systemd-socket-activate; do
  command -v "$tool" >/dev/null || skip "$tool not found"
done
state=$(dpkg-query -W -f='${db:Status-Status}' tolmix 2>/dev/null || true)
if [ -n "$state" ] && [ "$state" != not-installed ]; then
  skip "a tolmix package is on this machine ($state); not touching it"
fi
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
[ "$prefix" = /usr ] || skip "$build is configured for $prefix, the package needs /usr"

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

step "package"
deb=$(TOLMIX_BUILD_DIR="$build" bash "$root/scripts/package.sh" "$work")
case "$(basename "$deb")" in
  tolmix_*_*.deb) ;;
  *) fail "unexpected package name $deb" ;;
esac
dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./|/|; s|/$||' | grep -v '^$' |
  sort >"$work/files"
for path in /usr/bin/tolmix /etc/tolmix/P11_SKF.ini /etc/tolmix/GM_SKF.ini /etc/tolmix/origins.ini \
            /usr/share/man/man1/tolmix.1.gz /usr/lib/systemd/user/tolmix-bridge.service \
            /usr/lib/systemd/system/tolmix-dispatcher.socket \
            /usr/lib/systemd/system/tolmix-dispatcher.service /usr/share/tolmix/web/tolmix.js; do
  grep -qx "$path" "$work/files" || fail "the package lacks $path"
done
sysdir=$(grep -E '^/usr/lib/.*/tolmix/libtolmix\.so$' "$work/files" | xargs dirname)
[ -n "$sysdir" ] || fail "the package has no libtolmix.so in <libdir>/tolmix"
for f in gmEngine.so pkcs11_rsa_key.so capi.so SKFAPI.so P11_SKF.ini GM_SKF.ini p11-kit-proxy.so; do
  grep -qx "$sysdir/$f" "$work/files" || fail "the package lacks $sysdir/$f"
done
dpkg-deb -f "$deb" Depends | grep -q "p11-kit-modules" || fail "no dependency on p11-kit-modules"
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
# The dispatcher's sockets are held from boot, the bridge runs for every
# user from login.
unit=/usr/lib/systemd/user/tolmix-bridge.service
socket_unit=/usr/lib/systemd/system/tolmix-dispatcher.socket
dispatcher_unit=/usr/lib/systemd/system/tolmix-dispatcher.service
for enabled in /etc/systemd/user/default.target.wants/tolmix-bridge.service \
               /etc/systemd/system/sockets.target.wants/tolmix-dispatcher.socket; do
  [ -L "$enabled" ] || fail "not enabled: no $enabled"
done

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
mkdir -p /run/tolmix
# shellcheck disable=SC2086
systemd-socket-activate "${listen_args[@]}" \
  setpriv --reuid=nobody --regid=nogroup --clear-groups $dispatcher_start >"$work/dispatcher.log" 2>&1 &
dispatcher_pid=$!
for _ in $(seq 50); do [ -S /run/tolmix/dispatcher.sock ] && break; sleep 0.1; done
chmod 0666 /run/tolmix/dispatcher.sock
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
dpkg -L tolmix | sort >"$work/installed"
apt_get purge tolmix >"$work/apt-purge.log" 2>&1 || { cat "$work/apt-purge.log"; fail "apt-get purge"; }
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
