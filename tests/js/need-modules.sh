#!/bin/sh
# need-modules.sh COMMAND [ARGS...]: runs COMMAND when the tests' npm
# packages are installed in tests/js/node_modules (scripts/install-js-tools.sh);
# otherwise prints why and exits 77, which CTest reports as skipped.
dir=$(dirname "$0")/node_modules
if [ ! -f "$dir/.package-lock.json" ]; then
  echo "SKIP: $dir is not installed (scripts/install-js-tools.sh installs it; it" \
       "could not reach the npm registry, or did not run)"
  exit 77
fi
exec "$@"
