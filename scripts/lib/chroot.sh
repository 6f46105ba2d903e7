# shellcheck shell=bash
# Debian chroots for the platform matrix (scripts/platforms.sh), sourced:
#
#   chroot_get SUITE      prints the folder of a SUITE chroot (debootstrap,
#                         minbase), made if none younger than
#                         $TOLMIX_CHROOT_DAYS days (default 7) is cached
#                         under $TOLMIX_CHROOT_CACHE (default
#                         /var/cache/tolmix/chroots), one folder per day:
#                         SUITE-YYYYMMDD; older ones are removed once a new
#                         one is complete.  What the jobs install in it
#                         stays until then.
#   chroot_copy ROOT DIR  copies the tree DIR (its files that git would keep,
#                         committed or not; build folders stay behind)
#                         into ROOT/root/tolmix in place of the last copy,
#                         keeping the build folders there from earlier runs
#                         and the times of the files that did not change.
#                         One tree at a time: the caller holds chroot_lock.
#   chroot_lock           takes the cache's lock (waits for another run).
#   chroot_run ROOT CMD   runs the shell command CMD as root in ROOT, in
#                         /root/tolmix, with a clean environment (CI passed
#                         on) and /proc, /sys, /dev, /dev/pts bound for the
#                         time of the call.
#
# Root only; the archive is the machine's own (the URI of its Debian source).

chroot_cache=${TOLMIX_CHROOT_CACHE:-/var/cache/tolmix/chroots}

# The machine's Debian mirror, for the chroot's sources.
chroot_mirror() {
  local uri
  uri=$(sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n1)
  [ -n "$uri" ] || uri=$(awk '$1 == "deb" {print $2; exit}' /etc/apt/sources.list 2>/dev/null)
  echo "${uri:-http://deb.debian.org/debian}"
}

chroot_lock() {
  mkdir -p "$chroot_cache"
  exec {chroot_lock_fd}>"$chroot_cache/.lock"
  flock "$chroot_lock_fd"
}

chroot_get() {
  local suite=$1 days=${TOLMIX_CHROOT_DAYS:-7} dir today mirror log
  mkdir -p "$chroot_cache"
  dir=$(find "$chroot_cache" -mindepth 1 -maxdepth 1 -type d -name "$suite-[0-9]*" \
          ! -name '*.partial' -mtime -"$days" -exec test -f '{}/.complete' ';' -print | sort | tail -n1)
  if [ -n "$dir" ]; then echo "$dir"; return 0; fi
  today=$(date -u +%Y%m%d)
  dir=$chroot_cache/$suite-$today
  mirror=$(chroot_mirror)
  log=$chroot_cache/$suite-$today.log
  [ -e "$dir.partial" ] && chroot_remove "$dir.partial"
  echo "platforms: debootstrap $suite from $mirror into $dir" >&2
  if ! debootstrap --variant=minbase --include=ca-certificates "$suite" "$dir.partial" "$mirror" \
       >"$log" 2>&1; then
    tail -n 20 "$log" >&2
    echo "platforms: debootstrap $suite failed ($log)" >&2
    return 1
  fi
  # Its own suite's updates and security fixes, as a machine of it has.
  {
    echo "deb $mirror $suite main"
    echo "deb $mirror $suite-updates main"
    echo "deb ${mirror%/debian}/debian-security $suite-security main"
  } >"$dir.partial/etc/apt/sources.list"
  touch "$dir.partial/.complete"
  [ -e "$dir" ] && chroot_remove "$dir"
  mv "$dir.partial" "$dir"
  local old
  for old in "$chroot_cache/$suite"-[0-9]*; do
    [ -d "$old" ] && [ "$old" != "$dir" ] && chroot_remove "$old"
  done
  echo "$dir"
}

# Removes a chroot folder; never what is mounted inside it (a /dev bound
# there by a run that was killed is unmounted first, and left alone if it
# cannot be).
chroot_remove() {
  local dir m
  dir=$(realpath "$1")
  for m in $(awk -v d="$dir/" 'index($2, d) == 1 {print $2}' /proc/mounts | sort -r); do
    umount -l "$m" 2>/dev/null || true
  done
  if awk -v d="$dir/" 'index($2, d) == 1 {found=1} END {exit !found}' /proc/mounts; then
    echo "platforms: $dir still has mounts inside: not removed" >&2
    return 0
  fi
  rm -rf --one-file-system "$dir"
}

chroot_copy() {
  local root=$1 tree=$2 dest=$1/root/tolmix new f
  new=$root/root/tolmix.new
  rm -rf --one-file-system "$new"
  mkdir -p "$dest" "$new"
  (cd "$tree" && git ls-files -z --cached --others --exclude-standard |
     xargs -0 -r sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh |
     tar --null -T - -cf -) | tar -C "$new" -xf -
  # A file whose content is the copy's already keeps the copy's time; any
  # other is taken now (a time of its own could be older than what the
  # build folder made from the file it replaces).  What the tree no longer
  # has goes; the build folders stay.
  (cd "$new" && find . -type f -print0) | while IFS= read -r -d '' f; do
    if cmp -s "$new/$f" "$dest/$f"; then touch -r "$dest/$f" "$new/$f"; else touch "$new/$f"; fi
  done
  find "$dest" -mindepth 1 -maxdepth 1 -name 'build*' -exec mv '{}' "$new/" ';'
  rm -rf --one-file-system "$dest"
  mv "$new" "$dest"
}

chroot_run() {
  local root=$1 cmd=$2 m rc=0 mounted=()
  cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
  for m in proc sys dev dev/pts; do
    if ! mountpoint -q "$root/$m"; then
      mount --bind "/$m" "$root/$m" && mounted=("$m" "${mounted[@]}")
    fi
  done
  chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    TERM=dumb CI="${CI:-}" TOLMIX_FUZZ_SECONDS="${TOLMIX_FUZZ_SECONDS:-}" \
    bash -c "cd /root/tolmix && $cmd" || rc=$?
  for m in "${mounted[@]}"; do umount -l "$root/$m" || true; done
  return $rc
}
