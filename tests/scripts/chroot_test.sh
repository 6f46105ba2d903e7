#!/usr/bin/env bash
# The chroot cache of scripts/platforms.sh (scripts/lib/chroot.sh) with a
# stand-in debootstrap on PATH: a chroot is made once and reused while it is
# young, made anew (and the old one removed) when it is old, a half-made one
# is never used, and a removal leaves alone what is mounted inside (as root:
# a bind mount of a folder of the test's own).
#
#   chroot_test.sh       (no arguments; prints "N passed, N failed")
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
cleanup() {
  mountpoint -q "$work/outside-mount" 2>/dev/null && umount "$work/outside-mount"
  awk -v d="$work/" 'index($2, d) == 1 {print $2}' /proc/mounts | sort -r | xargs -r -n1 umount -l
  rm -rf --one-file-system "$work"
}
trap cleanup EXIT
mkdir -p "$work/bin"
cat >"$work/bin/debootstrap" <<'STUB'
#!/bin/sh
# debootstrap [options] SUITE DIR MIRROR
for a; do :; done
eval "dir=\${$(($# - 1))}"
echo "debootstrap $*" >>"$STUB_CALLS"
mkdir -p "$dir/etc/apt" "$dir/root"
STUB
chmod +x "$work/bin/debootstrap"
export PATH="$work/bin:$PATH" STUB_CALLS="$work/calls" TOLMIX_CHROOT_CACHE="$work/cache"
. "$root/scripts/lib/chroot.sh"
today=$(date -u +%Y%m%d)
passed=0 failed=0
check() {  # check NAME CONDITION...
  local name=$1; shift
  if "$@"; then passed=$((passed + 1)); echo "ok    $name"
  else failed=$((failed + 1)); echo "FAIL  $name"; fi
}
calls() { [ -f "$STUB_CALLS" ] && wc -l <"$STUB_CALLS" || echo 0; }

first=$(chroot_get trixie 2>/dev/null)
check "made once, named by the day" [ "$first" = "$work/cache/trixie-$today" ]
check "complete, with its suite's updates and security" \
  grep -q "trixie-security main" "$first/etc/apt/sources.list"
again=$(chroot_get trixie 2>/dev/null)
check "reused while young" [ "$again" = "$first" ] && [ "$(calls)" = 1 ]

mkdir -p "$work/cache/trixie-20200101.partial" "$work/cache/bookworm-20200101"
touch "$work/cache/bookworm-20200101/.complete"
mv "$first" "$work/cache/trixie-20200101"
touch -d '10 days ago' "$work/cache/trixie-20200101"
new=$(chroot_get trixie 2>/dev/null)
check "an old one is made anew" [ "$new" = "$work/cache/trixie-$today" ] && [ "$(calls)" = 2 ]
check "the old one and a half-made one go, another suite's stays" \
  [ ! -e "$work/cache/trixie-20200101" ] && [ ! -e "$work/cache/trixie-20200101.partial" ] &&
  [ -d "$work/cache/bookworm-20200101" ]

# The tree copied in: a file changed to a content with an older time than
# the build's output is still newer than that output afterwards; an
# unchanged file keeps its time; a file gone from the tree goes; the build
# folder stays.
tree=$work/tree
mkdir -p "$tree" && git -C "$tree" init -q
echo one >"$tree/a"; echo same >"$tree/b"; echo gone >"$tree/c"
git -C "$tree" add a b c
mkdir -p "$new/root"
chroot_copy "$new" "$tree"
mkdir -p "$new/root/tolmix/build" && echo out >"$new/root/tolmix/build/out"
touch -d '1 hour ago' "$new/root/tolmix/b"
b_time=$(stat -c %Y "$new/root/tolmix/b")
echo two >"$tree/a"; touch -d '2 days ago' "$tree/a"; rm "$tree/c"
chroot_copy "$new" "$tree"
check "a changed file is newer than the build's output" \
  [ "$new/root/tolmix/a" -nt "$new/root/tolmix/build/out" ] && grep -qx two "$new/root/tolmix/a"
check "an unchanged file keeps its time, a removed one goes, the build stays" \
  [ "$(stat -c %Y "$new/root/tolmix/b")" = "$b_time" ] && [ ! -e "$new/root/tolmix/c" ] &&
  [ -f "$new/root/tolmix/build/out" ]

if [ "$(id -u)" -eq 0 ]; then
  mkdir -p "$work/outside/keep" "$new/mnt/bound"
  echo precious >"$work/outside/keep/file"
  mount --bind "$work/outside" "$new/mnt/bound"
  chroot_remove "$new" 2>/dev/null
  check "what is mounted inside a removed chroot stays" [ -f "$work/outside/keep/file" ]
else
  echo "skip  mounts inside a chroot (needs root)"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
