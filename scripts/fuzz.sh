#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (ASan + UBSan) and runs
# each for SECONDS (default 30) on its seeds (fuzz/corpus/<target>), the
# inputs long runs grew (fuzz/grown/<target>) and what earlier runs here
# added (<build>/corpus/<target>), two at a time.
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...]      (default: every target)
# Environment: TOLMIX_FUZZ_BUILD_DIR (default <repo>/build-fuzz),
#   TOLMIX_FUZZ_JOBS (targets run at once, default 2).
# Prints per target the executions and the findings (crash, leak, timeout
# and out-of-memory inputs, kept under <build>/artifacts/<target>/) and
# exits non-zero when any target found something or did not run.
# The targets reach no device: each points the system, store, log and
# registry folders at an empty folder of its own and answers every chooser
# with "cancel" (fuzz/FuzzSupport.h), whatever the caller's environment.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-30}
shift || true
dir=${TOLMIX_FUZZ_BUILD_DIR:-$root/build-fuzz}
jobs=${TOLMIX_FUZZ_JOBS:-2}
if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for d in "$root"/fuzz/corpus/*/; do targets+=("$(basename "$d")"); done
fi

start=$(date +%s)
flags="-O1 -gline-tables-only -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
cmake -S "$root" -B "$dir" -G Ninja \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=None -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DTOLMIX_FUZZ=ON -DTOLMIX_BUILD_TESTS=OFF -DTOLMIX_BUILD_GTK=OFF -DTOLMIX_SANITIZE=OFF \
  >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; exit 1; }
build_targets=()
for t in "${targets[@]}"; do build_targets+=("fuzz_$t"); done
cmake --build "$dir" -j "$(nproc)" --target "${build_targets[@]}"
built=$(date +%s)

# The targets' sandbox folders go here: a target that crashes cannot remove
# its own.
export TMPDIR="$dir/tmp"
rm -rf "$TMPDIR"
mkdir -p "$TMPDIR"
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=0:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

# Runs target $1; its log goes to <build>/logs/$1.log.
run_one() {
  local t=$1
  local corpus="$dir/corpus/$t" artifacts="$dir/artifacts/$t" log="$dir/logs/$t.log"
  mkdir -p "$corpus" "$artifacts" "$dir/logs"
  # New inputs go to the first folder only: the repo's seeds and grown
  # inputs are read, never written.
  local inputs=("$corpus" "$root/fuzz/corpus/$t")
  if [ -d "$root/fuzz/grown/$t" ]; then inputs+=("$root/fuzz/grown/$t"); fi
  set +e
  "$dir/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" "${inputs[@]}" \
    >"$log" 2>&1
  echo $? >"$dir/logs/$t.rc"
  set -e
}

rm -rf "$dir/logs"
running=0
for t in "${targets[@]}"; do
  rm -rf "$dir/artifacts/$t"
  run_one "$t" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
done
wait || true

status=0
printf '%-10s %12s %8s %s\n' target executions findings result
for t in "${targets[@]}"; do
  log="$dir/logs/$t.log"
  rc=$(cat "$dir/logs/$t.rc" 2>/dev/null || echo 99)
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1)
  findings=$(find "$dir/artifacts/$t" -type f 2>/dev/null | wc -l)
  result=ok
  if [ "$rc" != 0 ] || [ "$findings" != 0 ]; then
    result="FAILED (exit $rc; see $log)"
    status=1
  fi
  printf '%-10s %12s %8s %s\n' "$t" "${execs:-?}" "$findings" "$result"
done
end=$(date +%s)
echo "fuzz: build $((built - start)) s, runs $((end - built)) s, total $((end - start)) s"
exit $status
