#!/usr/bin/env bash
# Builds OpenSSL 4.0 from Debian experimental's source package into a prefix
# kept outside the clone, one per version, and prints the prefix.
#
#   openssl4.sh            build (or reuse) and print e.g. /var/cache/tolmix/openssl-4.0.3
#
# experimental's binary packages want a newer C library than Debian 12 has,
# so the source package is fetched (a private apt list under the cache; the
# machine's own sources are not touched) and built with the system compiler.
# A prefix is used only when its build finished (PREFIX/.complete).
# Exits 77 with the reason on standard error when the source cannot be had.
# TOLMIX_CACHE (default /var/cache/tolmix) moves the cache.
set -euo pipefail
cache=${TOLMIX_CACHE:-/var/cache/tolmix}
apt_dir=$cache/apt-experimental
mkdir -p "$apt_dir/lists/partial" "$apt_dir/archives/partial"

mirror=${TOLMIX_DEBIAN_MIRROR:-http://deb.debian.org/debian}
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
cat >"$apt_dir/sources.list" <<EOF
deb-src [signed-by=$keyring] $mirror experimental main
EOF
apt_opts=(-o Dir::Etc::sourcelist="$apt_dir/sources.list" -o Dir::Etc::sourceparts=-
          -o Dir::State::lists="$apt_dir/lists" -o Dir::Cache="$apt_dir"
          -o APT::Get::List-Cleanup=0 -o Acquire::Retries=3)

# The 4.0.x source packages experimental lists, newest first: the archive
# may still list a version whose files are gone, so the next one is tried.
# A finished build of any listed version is used as it is; one that is no
# longer listed serves when the archive cannot be reached.
fresh=0
for try in 1 2 3; do
  if timeout 300 apt-get "${apt_opts[@]}" update >"$apt_dir/update.log" 2>&1; then fresh=1; break; fi
  sleep $((try * 5))
done
mapfile -t versions < <(apt-cache "${apt_opts[@]}" showsrc openssl 2>/dev/null |
  sed -n 's/^Version: \(4\.0\.[0-9]*-.*\)/\1/p' | sort -urV)
for version in "${versions[@]}"; do
  if [[ -f $cache/openssl-${version%-*}/.complete ]]; then echo "$cache/openssl-${version%-*}"; exit 0; fi
done
if (( ${#versions[@]} == 0 )); then
  last=$(ls -d "$cache"/openssl-4.0.*/.complete 2>/dev/null | sort -V | tail -1 || true)
  if [[ -n $last ]]; then dirname "$last"; exit 0; fi
  if (( fresh )); then echo "$0: experimental has no OpenSSL 4.0.x source" >&2
  else echo "$0: experimental cannot be reached ($apt_dir/update.log)" >&2; fi
  exit 77
fi

command -v dpkg-source >/dev/null || { echo "$0: dpkg-source not found (dpkg-dev)" >&2; exit 77; }
got=""
for version in "${versions[@]}"; do
  work=$cache/src-openssl-$version
  rm -rf "$work" && mkdir -p "$work"
  for try in 1 2; do
    if (cd "$work" && timeout 600 apt-get "${apt_opts[@]}" source --download-only "openssl=$version" \
          >"$work/fetch.log" 2>&1); then got=$version; break 2; fi
    grep -q '404' "$work/fetch.log" && break  # gone from the pool: the next version
    sleep $((try * 5))
  done
done
[[ -n $got ]] || { echo "$0: no OpenSSL 4.0.x source of experimental could be fetched ($cache/src-openssl-*/fetch.log)" >&2; exit 77; }
version=$got
upstream=${version%-*}
prefix=$cache/openssl-$upstream
(cd "$work" && dpkg-source --no-check -x openssl_"$version".dsc tree >"$work/unpack.log" 2>&1) ||
  { echo "$0: openssl $version source does not unpack ($work/unpack.log)" >&2; exit 1; }

jobs=$(( $(nproc) < 2 ? $(nproc) : 2 ))
rm -rf "$prefix"
(
  cd "$work/tree"
  ./Configure --prefix="$prefix" --libdir=lib --openssldir="$prefix/ssl" \
    shared no-tests no-docs enable-ec_nistp_64_gcc_128
  nice make -j"$jobs"
  make install_sw install_ssldirs
) >"$work/build.log" 2>&1 || { echo "$0: openssl $version build failed ($work/build.log)" >&2; exit 1; }
touch "$prefix/.complete"
rm -rf "$work/tree"
echo "$prefix"
