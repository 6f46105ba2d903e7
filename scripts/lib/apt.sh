# shellcheck shell=bash
# apt-get for the install scripts, sourced (never run):
#
#   apt_update            apt-get update that lives with a partly failed
#                         update (an archive mid-sync: "File has unexpected
#                         size ... Mirror sync in progress?"): one more try
#                         after $TOLMIX_APT_PAUSE seconds (default 15), then
#                         the indexes at hand serve and the install decides.
#   apt_has PKG           the indexes offer PKG (a version can be installed).
#   apt_installed PKG...  every PKG is installed.
#   apt_pick NAME...      the first NAME the indexes offer, also under its
#                         64-bit time_t name (NAMEt64); prints it, or fails.
#   apt_clang_version     the major version of the archive's default clang.
#   apt_install PKG...    apt-get install (waiting up to 5 minutes for another
#                         apt's lock); when that fails, one more update and
#                         one more try.
#
# Root or sudo; DEBIAN_FRONTEND=noninteractive.  Messages go to stderr with
# the caller's name ($APT_WHO, default the script's name) in front.

APT_SUDO=""
[ "$(id -u)" -eq 0 ] || APT_SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
: "${APT_WHO:=$(basename "$0" .sh)}"

apt_say() { echo "$APT_WHO: $*" >&2; }

apt_update() {
  local log rc=0
  log=$(mktemp)
  $APT_SUDO apt-get update -qq >"$log" 2>&1 || rc=$?
  if [ $rc -ne 0 ]; then
    apt_say "apt-get update failed ($(grep -m1 -E '^(E|W):' "$log" || echo "status $rc")); again in ${TOLMIX_APT_PAUSE:-15} s"
    sleep "${TOLMIX_APT_PAUSE:-15}"
    rc=0
    $APT_SUDO apt-get update -qq >"$log" 2>&1 || rc=$?
    if [ $rc -ne 0 ]; then
      apt_say "apt-get update failed again ($(grep -m1 -E '^(E|W):' "$log" || echo "status $rc")):" \
              "going on with the package lists at hand"
    fi
  fi
  rm -f "$log"
  return 0
}

apt_has() {
  local candidate
  candidate=$(apt-cache policy "$1" 2>/dev/null | sed -n 's/^ *Candidate: *//p' | head -n1)
  [ -n "$candidate" ] && [ "$candidate" != "(none)" ]
}

apt_installed() {
  local p
  for p in "$@"; do
    [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)" = "install ok installed" ] || return 1
  done
}

apt_pick() {
  local n
  for n in "$@"; do
    if apt_installed "$n" || apt_has "$n"; then echo "$n"; return 0; fi
    if apt_installed "${n}t64" || apt_has "${n}t64"; then echo "${n}t64"; return 0; fi
  done
  return 1
}

# The clang that the name `clang` stands for (14 on Debian 12, 19 on 13):
# its runtime libraries (libclang-rt-N-dev) carry that number.
apt_clang_version() {
  local v
  v=$(dpkg-query -W -f='${Version}' clang 2>/dev/null || true)
  [ -n "$v" ] || v=$(apt-cache policy clang 2>/dev/null | sed -n 's/^ *Candidate: *//p' | head -n1)
  v=${v#*:}
  v=${v%%[.~-]*}
  [[ $v =~ ^[0-9]+$ ]] && echo "$v"
}

apt_install() {
  [ $# -gt 0 ] || return 0
  if $APT_SUDO apt-get -o DPkg::Lock::Timeout=300 install -y -qq --no-install-recommends "$@"; then
    return 0
  fi
  apt_say "apt-get install failed; the package lists again and one more try in ${TOLMIX_APT_PAUSE:-15} s"
  sleep "${TOLMIX_APT_PAUSE:-15}"
  apt_update
  $APT_SUDO apt-get -o DPkg::Lock::Timeout=300 install -y -qq --no-install-recommends "$@"
}

# apt_align_foreign ARCH PKG...: makes the foreign-architecture packages
# PKG (e.g. wine32:i386) installable beside the machine's own when the
# archive's indexes of the two architectures disagree -- one index caught
# mid-sync leaves ARCH's candidate of a shared library at another version
# than the native one, and multiarch wants both at the same version.  For
# every such library in PKG's dependencies the native package is brought to
# its candidate, and ARCH's .deb of that very version is fetched from the
# archive's pool (which keeps the files while an index is rebuilt) into
# $APT_ALIGN_DIR.  Prints the native upgrades and the .deb files to hand to
# apt_install with PKG; prints nothing when the two already agree.  Fails
# when a needed .deb is not in any pool of the machine's sources.
apt_align_foreign() {
  local arch=$1; shift
  local native p want cand src dir file uri pool got
  local -A have=() cands=()
  native=$(dpkg --print-architecture)
  : "${APT_ALIGN_DIR:=$(mktemp -d)}"
  mapfile -t uris < <(apt-cache policy 2>/dev/null |
    sed -n 's|^ *[0-9]* \(https\?://[^ ]*\) .*|\1|p' | sort -u)
  mapfile -t deps < <(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts \
                        --no-breaks --no-replaces --no-enhances "$@" 2>/dev/null |
                      sed -n "s/^\([^ <][^ ]*\):$arch\$/\1/p" | sort -u)
  [ ${#deps[@]} -gt 0 ] || return 0
  # One dpkg-query and one apt-cache for all of them (each call reads the
  # whole of the indexes; apt-cache names a native package without its
  # architecture).
  while read -r p v st; do [ "$st" = installed ] && have[$p]=$v; done < <(
    dpkg-query -W -f='${Package}:${Architecture} ${Version} ${db:Status-Status}\n' 2>/dev/null)
  while read -r p v; do cands[$p]=$v; done < <(
    apt-cache policy "${deps[@]/%/:$native}" "${deps[@]/%/:$arch}" 2>/dev/null |
    awk -v native="$native" '/^[^ ].*:$/ {p = substr($0, 1, length($0) - 1)
                                           if (p !~ /:/) p = p ":" native}
                             /^ *Candidate:/ {print p, $2}')
  for p in "${deps[@]}"; do
    # Only libraries both architectures hold: the native one installed.
    [ -n "${have[$p:$native]:-}" ] || continue
    want=${cands[$p:$native]:-}
    cand=${cands[$p:$arch]:-}
    [ -n "$want" ] && [ "$want" != "(none)" ] && [ "$want" != "$cand" ] || continue
    [ "${have[$p:$native]}" = "$want" ] || echo "$p:$native"
    src=$(apt-cache show "$p:$native=$want" 2>/dev/null | sed -n 's/^Source: *\([^ ]*\).*/\1/p' | head -n1)
    src=${src:-$p}
    case $src in lib?*) dir=${src:0:4} ;; *) dir=${src:0:1} ;; esac
    file=${p}_${want#*:}_$arch.deb
    got=0
    for uri in "${uris[@]}"; do
      for pool in pool/updates/main pool/main; do
        if curl -fsS --retry 2 -o "$APT_ALIGN_DIR/$file" "$uri/$pool/$dir/$src/$file" 2>/dev/null; then
          got=1; break 2
        fi
      done
    done
    if [ $got -eq 0 ]; then
      apt_say "$file is in no pool of the machine's sources"
      return 1
    fi
    echo "$APT_ALIGN_DIR/$file"
  done
}
