#!/usr/bin/env bash
# Installs every Debian package that the build, the demo and the tests need,
# from the Debian archive alone.  Idempotent: a second run finds everything in
# place and installs nothing.  The tests' JavaScript tools come from the npm
# registry and are installed by scripts/install-js-tools.sh (scripts/test.sh
# runs it), never here: the demo needs none of them.
# `install-deps.sh --demo` installs only what the product's build and
# `tolmix demo` need (no tests, no GTK chooser).
#
# Names are taken as the archive has them (scripts/lib/apt.sh): the clang
# runtime of the archive's own clang (14 on Debian 12, 19 on 13), and a
# library under its 64-bit time_t name (NAMEt64) where the archive renamed it.  A partly
# failed `apt-get update` is lived with.  A package of the build or the demo
# that the archive lacks is an error; one that only some tests need is left
# out with a line naming the tests that will skip.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
APT_WHO="install-deps"
. "$root/scripts/lib/apt.sh"

# The build of the product and `tolmix demo` (install-deps.sh --demo: the
# reduced platform leg of scripts/platforms.sh)...
DEMO=(
  build-essential cmake ninja-build pkg-config ca-certificates
  libssl-dev openssl
  softhsm2 libp11-kit-dev opensc opensc-pkcs11 p11-kit p11-kit-modules
  duktape-dev libc-bin
  libboost-dev nlohmann-json3-dev libpsl-dev publicsuffix
)
# ... and the rest of the build, the demo's script and the tests.
REQUIRED=(
  "${DEMO[@]}" git
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libgtk-3-dev fonts-wqy-microhei
  unzip dbus
  dpkg-dev file
  systemd init-system-helpers procps
)
# Packages only some tests need: "what skips without them" and the names.
# A name ending in "+t64" is taken under its 64-bit time_t name where the
# archive renamed it; CLANG_RT is the runtime of the archive's clang.
OPTIONAL=(
  "the browser tests (bridge_browser*, bridge_extension*)|chromium firefox-esr"
  "the fuzz targets (scripts/fuzz.sh)|clang CLANG_RT"
  "the TPM token case of e2e_devices_tests|swtpm swtpm-tools tpm2-tools tpm2-abrmd libtss2-tcti-tabrmd0+t64 libtpm2-pkcs11-1+t64 libtpm2-pkcs11-tools"
  "the GTK consent test (bridge_gtk_consent)|xvfb xauth"
  "lintian in the package test|lintian"
  "the Debian 13 leg of scripts/platforms.sh|debootstrap"
)

# The installed name of a package, or the name to install ($1 as written
# in the lists above); fails when the archive has no such package.
resolve() {
  local v
  case $1 in
    CLANG_RT)
      v=$(apt_clang_version) || return 1
      echo "libclang-rt-$v-dev"
      apt_installed "libclang-rt-$v-dev" || apt_has "libclang-rt-$v-dev" ;;
    *+t64) apt_pick "${1%+t64}" ;;
    *) echo "$1"; apt_installed "$1" || apt_has "$1" ;;
  esac
}

# Every listed package in place (no package lists needed to tell)?
all_installed() {
  local group p name
  apt_installed "${REQUIRED[@]}" || return 1
  for group in "${OPTIONAL[@]}"; do
    for p in ${group#*|}; do
      case $p in
        CLANG_RT) name="libclang-rt-$(apt_clang_version || echo none)-dev" ;;
        *+t64) apt_installed "${p%+t64}" && continue; name="${p%+t64}t64" ;;
        *) name=$p ;;
      esac
      apt_installed "$name" || return 1
    done
  done
}

if [ "${1:-}" = --demo ]; then
  REQUIRED=("${DEMO[@]}")
  OPTIONAL=()
fi

if ! all_installed; then
  apt_update
  install=()
  lacking=()
  for p in "${REQUIRED[@]}"; do
    if apt_installed "$p"; then continue; fi
    if apt_has "$p"; then install+=("$p"); else lacking+=("$p"); fi
  done
  if [ ${#lacking[@]} -gt 0 ]; then
    apt_say "the archive has no package ${lacking[*]}: the build and the demo need it"
    exit 1
  fi
  for group in "${OPTIONAL[@]}"; do
    names=()
    gone=""
    for p in ${group#*|}; do
      if name=$(resolve "$p"); then
        apt_installed "$name" || names+=("$name")
      else
        gone="$gone ${name:-${p%+t64}}"
      fi
    done
    if [ -n "$gone" ]; then
      apt_say "the archive has no package$gone: ${group%%|*} will be skipped"
    else
      install+=("${names[@]}")
    fi
  done
  apt_install "${install[@]}"
fi

# GBK <-> UTF-16 goes through glibc's iconv; its GBK table must be present.
# The list is taken whole first: with pipefail, "iconv -l | grep -q" fails
# whenever grep stops reading before iconv has written everything (SIGPIPE).
charsets=$(iconv -l 2>/dev/null || true)
if ! grep -qi '\bGBK\b' <<<"$charsets"; then
  echo "install-deps: glibc iconv has no GBK converter" >&2
  exit 1
fi
