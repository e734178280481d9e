#!/usr/bin/env bash
# The Debian unstable root that brings the CPython versions this machine lacks: 3.13, 3.14
# and 3.15, each with its headers and its own test suite, with the toolchain that builds
# and checks for them (g++, CMake, GoogleTest, valgrind, auditwheel, twine).
#
#   sid-root.sh provision   makes the root, or finishes one an interrupted run left; a
#                           second run does nothing. Says where it is, how big, how long.
#   sid-root.sh dir         prints the root's directory when it is complete, else exits 1
#   sid-root.sh run CMD...  runs CMD inside the root, in the current directory
#
# SID_ROOT names the directory (default /var/cache/corvessa/sid). Everything mounted for
# the root (/proc, /dev, the repository at its own path) is mounted in a private mount
# namespace that ends with the command, so nothing stays mounted, whatever happens to it.
# The packages come from the mirror this machine's own apt sources name.
set -euo pipefail

ROOT=${SID_ROOT:-/var/cache/corvessa/sid}
TOP=$(cd "$(dirname "$0")/.." && pwd)
STAMP=$ROOT/etc/corvessa-root
PACKAGES="python3.13 python3.13-dev libpython3.13-testsuite
python3.14 python3.14-dev libpython3.14-testsuite
python3.15 python3.15-dev libpython3.15-testsuite
g++ make cmake libgtest-dev libgmock-dev valgrind python3-pip python3-auditwheel patchelf twine"
PACKAGES=$(echo $PACKAGES)
APT_CONF='Acquire::Check-Valid-Until "false";'  # sid's Release on the mirror may be past its date

fail() { echo "make sid-root: $*" >&2; exit 1; }

# The first Debian mirror of this machine's apt sources (deb822 files or sources.list).
mirror() {
  local uri
  uri=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '/^URIs:/ && $2 !~ /security/ {print $2; exit}')
  [ -n "$uri" ] || uri=$(awk '$1 == "deb" && $0 !~ /security/ {for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) {print $i; exit}}' \
    /etc/apt/sources.list 2>/dev/null)
  echo "$uri"
}

# Mounts what a command in the root needs, then runs it there (in the namespace the caller
# made with unshare). $1: the directory to bind at its own path ("" for none); $2: the
# directory to start in; the rest: the command.
enter() {
  local bind=$1 cwd=$2
  shift 2
  mount -t proc proc "$ROOT/proc"
  mount --rbind /dev "$ROOT/dev"
  if [ -n "$bind" ]; then
    mkdir -p "$ROOT$bind"
    mount --bind "$bind" "$ROOT$bind"
  fi
  exec chroot "$ROOT" /bin/sh -c 'cd "$0" && exec "$@"' "$cwd" "$@"
}

in_root() {  # bind cwd command...
  unshare --mount --propagation private -- "$0" _enter "$@"
}

complete() { [ -f "$STAMP" ] && [ "$(cat "$STAMP")" = "$PACKAGES" ]; }

# Removes a partly made root; refuses while anything is mounted below it.
discard() {
  if findmnt -rn -o TARGET | grep -q "^$1\(/\|$\)"; then fail "$1 has mounts below it; unmount them first"; fi
  rm -rf --one-file-system "$1"
}

provision() {
  local start=$SECONDS mirror
  if complete; then
    echo "sid root: ready at $ROOT ($(du -sh --one-file-system "$ROOT" | cut -f1)); nothing to do"
    return
  fi
  [ "$(id -u)" = 0 ] || fail "needs root (debootstrap and chroot); run it as root"
  command -v unshare >/dev/null && command -v chroot >/dev/null || fail "needs unshare and chroot (util-linux, coreutils)"
  mirror=$(mirror)
  [ -n "$mirror" ] || fail "no Debian mirror in /etc/apt/sources.list.d/*.sources or /etc/apt/sources.list"
  if ! wget -q -T 20 -t 2 -O /dev/null "$mirror/dists/sid/Release" 2>/dev/null &&
     ! curl -fsS -m 20 -o /dev/null "$mirror/dists/sid/Release" 2>/dev/null; then
    fail "no network to the registry: $mirror/dists/sid/Release cannot be fetched"
  fi
  if ! command -v debootstrap >/dev/null; then
    echo "sid root: installing debootstrap"
    apt-get install -y -q debootstrap >/dev/null 2>&1 || fail "no debootstrap, and apt-get install debootstrap failed"
  fi
  mkdir -p "$(dirname "$ROOT")"
  local free
  free=$(df -Pk "$(dirname "$ROOT")" | awk 'NR == 2 {print int($4 / 1048576)}')
  # A root that debootstrap did not finish keeps its debootstrap/ directory: start again.
  if [ -d "$ROOT" ] && { [ -d "$ROOT/debootstrap" ] || [ ! -x "$ROOT/usr/bin/apt-get" ]; }; then
    echo "sid root: $ROOT was left half made; making it again"
    discard "$ROOT"
  fi
  if [ ! -d "$ROOT" ]; then
    [ "$free" -ge 3 ] || fail "no space: the root needs about 2 GB, $(dirname "$ROOT") has $free GB free"
    echo "sid root: debootstrap of sid from $mirror into $ROOT (about five minutes)"
    rm -rf --one-file-system "$ROOT.partial"
    # debootstrap mounts /proc and /sys inside the target: keep those in a namespace too.
    # The base system alone: apt inside it resolves the packages, which debootstrap's own
    # resolver cannot (virtual packages).
    if ! unshare --mount --propagation private -- debootstrap --variant=minbase sid "$ROOT.partial" "$mirror" \
        >"$(dirname "$ROOT")/debootstrap.log" 2>&1; then
      tail -n 5 "$(dirname "$ROOT")/debootstrap.log" >&2
      fail "debootstrap failed (log: $(dirname "$ROOT")/debootstrap.log)"
    fi
    mv "$ROOT.partial" "$ROOT"
  else
    echo "sid root: finishing $ROOT"
  fi
  echo "$APT_CONF" >"$ROOT/etc/apt/apt.conf.d/99corvessa"
  cp /etc/resolv.conf "$ROOT/etc/resolv.conf" 2>/dev/null || true
  # A root made with another package list, or left before its packages: install them now.
  in_root "" / sh -c "apt-get update -q >/dev/null && DEBIAN_FRONTEND=noninteractive apt-get install -y -q $PACKAGES >/dev/null" ||
    fail "apt-get install in the root failed"
  in_root "" / apt-get clean
  echo "$PACKAGES" >"$STAMP"
  echo "sid root: ready at $ROOT ($(du -sh --one-file-system "$ROOT" | cut -f1)), made in $((SECONDS - start)) s"
}

case ${1:-} in
  provision) provision ;;
  dir) complete && echo "$ROOT" ;;
  run)
    shift
    complete || fail "no root at $ROOT; make it with: make sid-root"
    case $PWD/ in "$TOP"/*) cwd=$PWD ;; *) cwd=$TOP ;; esac  # only the repository is seen there
    in_root "$TOP" "$cwd" "$@" ;;
  _enter) shift; enter "$@" ;;
  *) echo "usage: $0 provision | dir | run COMMAND..." >&2; exit 2 ;;
esac
