#!/usr/bin/env bash
# Installs the tests' JavaScript tools (browser driver, independent SM2/SM3
# and PKCS#7 peers): node and npm from the Debian archive, then the npm
# packages of tests/js/package-lock.json into tests/js/node_modules.  They
# are test-only and never reach the product; scripts/test.sh runs this.
#
# When the npm registry cannot be reached, says so and exits 0: the tests
# that need these packages then report themselves skipped with the reason,
# and every other test runs.  A registry that answers but an install that
# fails is an error.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
js="$root/tests/js"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends nodejs npm
fi
if [ -d "$js/node_modules" ] && [ ! "$js/package-lock.json" -nt "$js/node_modules/.package-lock.json" ]; then
  exit 0
fi
if ! (cd "$js" && npm ping --fetch-timeout=15000 --fetch-retries=1 >/dev/null 2>&1); then
  registry=$(cd "$js" && npm config get registry 2>/dev/null || echo "the npm registry")
  echo "install-js-tools: $registry cannot be reached: tests/js/node_modules is not" \
       "installed, and the tests that need it (browser, SM2 peer) will be skipped" >&2
  exit 0
fi
(cd "$js" && npm ci --no-audit --no-fund --loglevel=error)
