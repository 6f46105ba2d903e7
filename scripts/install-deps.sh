#!/usr/bin/env bash
# Installs every Debian package that the build, the demo and the tests need.
# Idempotent: a second run finds everything in place and installs nothing.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config git ca-certificates
  libssl-dev openssl
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  softhsm2 libp11-kit-dev opensc
  libgtk-3-dev xvfb xauth fonts-wqy-microhei
  clang libclang-rt-14-dev
  duktape-dev
  libc-bin
  libboost-dev nlohmann-json3-dev libpsl-dev publicsuffix
  chromium opensc-pkcs11
  p11-kit p11-kit-modules swtpm swtpm-tools tpm2-tools tpm2-abrmd libtss2-tcti-tabrmd0
  libtpm2-pkcs11-1 libtpm2-pkcs11-tools dbus
  dpkg-dev lintian file
  systemd init-system-helpers
)

missing=()
for p in "${PACKAGES[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  if [ "$status" != "install ok installed" ]; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# GBK <-> UTF-16 goes through glibc's iconv; its GBK table must be present.
# The list is taken whole first: with pipefail, "iconv -l | grep -q" fails
# whenever grep stops reading before iconv has written everything (SIGPIPE).
charsets=$(iconv -l 2>/dev/null || true)
if ! grep -qi '\bGBK\b' <<<"$charsets"; then
  echo "install-deps: glibc iconv has no GBK converter" >&2
  exit 1
fi

# Test-only JavaScript tools (browser driver, independent SM2/SM3 and PKCS#7
# peers), installed from the npm registry into tests/js/node_modules at the
# versions the lock file names.  They never reach the product.
js="$(cd "$(dirname "$0")/.." && pwd)/tests/js"
if [ ! -d "$js/node_modules" ] || [ "$js/package-lock.json" -nt "$js/node_modules/.package-lock.json" ]; then
  if ! command -v npm >/dev/null; then
    SUDO=""; if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends nodejs npm
  fi
  (cd "$js" && npm ci --no-audit --no-fund --loglevel=error)
fi
