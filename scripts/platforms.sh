#!/usr/bin/env bash
# The platform matrix (docs/platform.md): the README's main job on each
# platform the control is built for, one leg per platform.
#
#   bash scripts/platforms.sh [--reduced] [LEG...]    (default: every leg)
#
# Legs:
#   debian12  this machine (Debian 12: OpenSSL 3.0, GCC 12):
#             scripts/demo.sh
#   debian13  a Debian 13 chroot (OpenSSL 3.5, GCC 14; scripts/lib/chroot.sh,
#             cached by date under /var/cache/tolmix/chroots): this tree
#             copied in, scripts/demo.sh, then the package made there,
#             installed with apt-get and used by a fresh user
#             (tests/package/package_test.sh)
#   openssl4  OpenSSL 4.0 of Debian experimental (scripts/openssl4.sh: built
#             from the source package into /var/cache/tolmix/openssl-VERSION,
#             once per version), which has no engines: this tree configured
#             against it (provider key back end) into build-openssl4/,
#             `tolmix demo`, then the route tests (keyload_tests,
#             demo_tests); skipped with the reason when OpenSSL 4.0 cannot
#             be had.  Not part of --reduced (building OpenSSL takes CI's
#             time): run it as `bash scripts/platforms.sh openssl4`.
#
# --reduced (what scripts/test.sh, and so CI, runs): in the chroot legs only
# the product's packages (install-deps.sh --demo), the product built without
# tests into build-demo/, and `tolmix demo`; on this machine (whose suite
# runs the demo anyway) nothing.  Each leg's output goes to LEG.log in
# $TOLMIX_PLATFORM_LOGS (default build-platforms/); one line per leg (ok
# or FAIL, seconds, the demo's closing line); exits non-zero when a leg
# failed.  Root only (debootstrap, chroot).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/lib/chroot.sh"
logs=${TOLMIX_PLATFORM_LOGS:-$root/build-platforms}
reduced=0
if [ "${1:-}" = --reduced ]; then reduced=1; shift; fi
mkdir -p "$logs"

# The README's main job in a Debian chroot of SUITE, then the package made
# and installed there (the package test exits 77 where it cannot run: a
# skip, said in the log); reduced: the product and its demo alone.
chroot_leg() {
  local suite=$1 dir rc=0
  if ! command -v debootstrap >/dev/null; then
    apt_install debootstrap || { echo "platforms: SKIPPED: $suite: no debootstrap"; return 0; }
  fi
  chroot_lock
  dir=$(chroot_get "$suite")
  chroot_copy "$dir" "$root"
  if [ $reduced -eq 1 ]; then
    chroot_run "$dir" "bash scripts/install-deps.sh --demo &&
      cmake -S . -B build-demo -G Ninja -DTOLMIX_BUILD_TESTS=OFF -DTOLMIX_BUILD_GTK=OFF >/dev/null &&
      nice cmake --build build-demo -j \$(nproc) && build-demo/host/tolmix demo"
    return
  fi
  chroot_run "$dir" "bash scripts/demo.sh" || return 1
  chroot_run "$dir" "bash tests/package/package_test.sh build" || rc=$?
  [ $rc -eq 0 ] || [ $rc -eq 77 ]
}

leg_debian12() {
  if [ $reduced -eq 1 ]; then echo "the machine's own suite runs its demo"; return; fi
  bash "$root/scripts/demo.sh"
}
leg_debian13() { chroot_leg trixie; }
leg_openssl4() {
  local prefix rc=0 dir=$root/build-openssl4
  prefix=$(bash "$root/scripts/openssl4.sh") || rc=$?
  if [ $rc -eq 77 ]; then echo "platforms: SKIPPED: openssl4: OpenSSL 4.0 cannot be had"; return 0; fi
  [ $rc -eq 0 ] || return 1
  cmake -S "$root" -B "$dir" -G Ninja -DOPENSSL_ROOT_DIR="$prefix" -DTOLMIX_KEYS=provider \
    -DTOLMIX_BUILD_GTK=OFF -DCMAKE_BUILD_RPATH="$prefix/lib" >/dev/null
  nice cmake --build "$dir" -j "$(nproc)" --target tolmix tolmix_server keyload_tests demo_tests \
    e2e_devices_tests e2e_messages_tests envelope_tests pkcs7_tests rawsig_tests
  # The leg is worth nothing when the system's 3.x answered instead.
  if ! ldd "$dir/host/tolmix" | grep -q "=> $prefix/lib/libcrypto.so.4 "; then
    echo "platforms: openssl4: tolmix does not use $prefix/lib/libcrypto.so.4:"
    ldd "$dir/host/tolmix" | grep libcrypto
    return 1
  fi
  LD_LIBRARY_PATH=$prefix/lib "$dir/host/tolmix" demo
  (cd "$dir" && LD_LIBRARY_PATH=$prefix/lib ctest --output-on-failure -R '^(SkfRouteTest|P11RouteTest|CspRouteTest|demo_tests|e2e_devices_tests|e2e_messages_tests|envelope_tests|pkcs7_tests|rawsig_tests)')
}

all_legs=(debian12 debian13 openssl4)
legs=("$@")
if [ ${#legs[@]} -eq 0 ]; then
  legs=("${all_legs[@]}")
  [ $reduced -eq 0 ] || legs=(debian13)
fi
. "$root/scripts/lib/apt.sh"

status=0
for leg in "${legs[@]}"; do
  if ! declare -F "leg_$leg" >/dev/null; then
    echo "platforms: no leg $leg (legs: ${all_legs[*]})" >&2
    exit 2
  fi
  start=$(date +%s)
  rc=0
  "leg_$leg" >"$logs/$leg.log" 2>&1 || rc=$?
  took=$(( $(date +%s) - start ))
  demo=$(grep -E '^[0-9]+ passed, [0-9]+ failed' "$logs/$leg.log" | tail -n1 || true)
  if [ $rc -eq 0 ]; then
    echo "platforms: $leg ok in ${took}s (demo: ${demo:-no closing line})"
  else
    status=1
    echo "platforms: $leg FAIL in ${took}s (demo: ${demo:-no closing line}); the end of $logs/$leg.log:"
    tail -n 30 "$logs/$leg.log" | sed 's/^/  | /'
  fi
done
exit $status
