#!/usr/bin/env bash
# The Debian unstable roots. The amd64 root brings the CPython versions this machine lacks,
# 3.13, 3.14 and 3.15 (each with its debug build, headers and own test suite), with the
# toolchain that builds and checks for them (g++, CMake, GoogleTest, valgrind, auditwheel,
# twine, scikit-build-core). A root of another CPU (arm64, ppc64el, s390x, riscv64) brings
# the same versions where that CPU has them (headers, test suites, GoogleTest and a compiler
# of its own), entered through the kernel's user-mode emulators (binfmt_misc); the amd64
# root gains Debian's cross compiler for that CPU, which builds for it at native speed
# against the CPU's root as sysroot.
#
#   sid-root.sh provision [CPU...]  makes the roots (amd64 alone when none is named), or
#                                   finishes what an interrupted run left; a second run
#                                   does nothing. Says where each is, how big, how long.
#                                   A CPU that fails stops with one line; the others go on.
#   sid-root.sh dir [CPU]           prints the root's directory when it is made, else exits 1
#   sid-root.sh of [--made] PATH    prints the directory of the root PATH lies below (made,
#                                   with --made), else exits 1
#   sid-root.sh target DIR          the make target that makes the root at DIR
#   sid-root.sh run CMD...          runs CMD inside the amd64 root, in the current directory
#   sid-root.sh run-in DIR CMD...   runs CMD inside the root at DIR, in the current directory
#   sid-root.sh cross DIR CMD...    runs CMD inside the amd64 root with the root of another
#                                   CPU at DIR seen there at its own path (the sysroot of
#                                   that CPU's cross compiler: CROSS_TRIPLET and TARN_SYSROOT
#                                   in the environment, which tools/cross.cmake reads), in
#                                   the current directory
#   sid-root.sh cpu DIR             the CPU of the root at DIR
#   sid-root.sh cpus                the CPUs other than amd64 whose roots it makes
#   sid-root.sh foreign PATH        the CPU of the made root of another CPU that PATH lies
#                                   below (an interpreter run under emulation), else exits 1
#
# SID_ROOT names the amd64 root's directory (default /var/cache/corvessa/sid); the root of
# a CPU is beside it, named with the CPU ($SID_ROOT-arm64). Everything mounted for a root
# (/proc, /dev, the repository at its own path) is mounted in a private mount namespace that
# ends with the command, so nothing stays mounted, whatever happens to it. The packages come
# from the mirror this machine's own apt sources name.
set -euo pipefail

NATIVE=amd64
FOREIGN="arm64 ppc64el s390x riscv64"
NATIVE_ROOT=$(realpath -m "${SID_ROOT:-/var/cache/corvessa/sid}")
TOP=$(cd "$(dirname "$0")/.." && pwd)
MINORS="13 14 15"
NATIVE_PACKAGES="g++ make cmake ninja-build libgtest-dev valgrind python3-pip python3-auditwheel patchelf twine
python3-scikit-build-core python3-build"
# Not twine under emulation: what it brings is byte-compiled there for a quarter of an hour.
FOREIGN_PACKAGES="g++ make cmake ninja-build libgtest-dev python3-pip python3-auditwheel patchelf
python3-scikit-build-core python3-build"
APT_CONF='Acquire::Check-Valid-Until "false";'  # sid's Release on the mirror may be past its date

fail() { echo "make sid-root: $*" >&2; exit 1; }

root_of() { if [ "$1" = "$NATIVE" ]; then echo "$NATIVE_ROOT"; else echo "$NATIVE_ROOT-$1"; fi; }

# The CPU of a root's directory.
cpu_of() {
  local cpu
  for cpu in $NATIVE $FOREIGN; do [ "$(root_of "$cpu")" != "$1" ] || { echo "$cpu"; return; }; done
  return 1
}

# The GNU triplet of a Debian CPU, and the user-mode emulator's name for it.
triplet() {
  case $1 in
    arm64) echo aarch64-linux-gnu ;; ppc64el) echo powerpc64le-linux-gnu ;;
    s390x) echo s390x-linux-gnu ;; riscv64) echo riscv64-linux-gnu ;; amd64) echo x86_64-linux-gnu ;;
  esac
}
emulator() {
  case $1 in arm64) echo aarch64 ;; ppc64el) echo ppc64le ;; *) echo "$1" ;; esac
}

# The packages a root of the CPU is made with: each CPython version's, then the toolchain.
packages_of() {
  local minor list=
  for minor in $MINORS; do
    list="$list python3.$minor python3.$minor-dev python3.$minor-venv libpython3.$minor-testsuite"
    [ "$1" != "$NATIVE" ] || list="$list python3.$minor-dbg"
  done
  if [ "$1" = "$NATIVE" ]; then list="$list $NATIVE_PACKAGES"; else list="$list $FOREIGN_PACKAGES"; fi
  echo $list
}

# The first Debian mirror of this machine's apt sources (deb822 files or sources.list).
mirror() {
  local uri
  uri=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '/^URIs:/ && $2 !~ /security/ {print $2; exit}')
  [ -n "$uri" ] || uri=$(awk '$1 == "deb" && $0 !~ /security/ {for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) {print $i; exit}}' \
    /etc/apt/sources.list 2>/dev/null)
  echo "$uri"
}

# Mounts what a command in the root needs, then runs it there (in the namespace the caller
# made with unshare). $1: the root; $2: the directories to bind at their own paths,
# separated by colons ("" for none); $3: the directory to start in; the rest: the command.
enter() {
  local root=$1 binds=$2 cwd=$3 bind
  shift 3
  mount -t proc proc "$root/proc"
  mount --rbind /dev "$root/dev"
  # For the project's commands (those that see the repository), the certificate authorities
  # this machine trusts (a proxy's among them, where one stands between it and the
  # registries), so that the root reaches what this machine reaches. Not while apt works in
  # the root: the bundle's own package replaces that file.
  local bundle=/etc/ssl/certs/ca-certificates.crt
  [ -z "$binds" ] || [ ! -f "$bundle" ] || [ ! -f "$root$bundle" ] || mount --bind "$bundle" "$root$bundle"
  local IFS=:
  for bind in $binds; do
    mkdir -p "$root$bind"
    mount --bind "$bind" "$root$bind"
  done
  unset IFS
  # The tools of this machine that make puts first on PATH (BUILD/tools/bin, in the
  # repository) do not run in a root, whose own serve there.
  PATH=$(printf '%s' "$PATH" | tr ':' '\n' | grep -v "^$TOP/" | paste -sd: -)
  exec chroot "$root" /bin/sh -c 'cd "$0" && exec "$@"' "$cwd" "$@"
}

in_root() {  # root bind cwd command...
  unshare --mount --propagation private -- "$0" _enter "$@"
}

stamp() { echo "$1/etc/corvessa-root"; }
# The cross compiler of a CPU, in the amd64 root.
cross_compiler() { echo "g++-$(triplet "$1")"; }
# Made: the root with its package list, and for another CPU, its cross compiler in the
# amd64 root.
packages_made() { [ -f "$(stamp "$1")" ] && [ "$(head -n 1 "$(stamp "$1")")" = "$(packages_of "$(cpu_of "$1")")" ]; }
made() {
  local cpu
  cpu=$(cpu_of "$1")
  packages_made "$1" && { [ "$cpu" = "$NATIVE" ] || [ -x "$NATIVE_ROOT/usr/bin/$(triplet "$cpu")-g++" ]; }
}

# Removes a partly made root; refuses while anything is mounted below it.
discard() {
  if findmnt -rn -o TARGET | grep -q "^$1\(/\|$\)"; then fail "$1 has mounts below it; unmount them first"; fi
  rm -rf --one-file-system "$1"
}

# The kernel runs the CPU's programs through a user-mode emulator: binfmt_misc mounted and
# the emulator registered (Debian's qemu-user-static and binfmt-support, installed when
# missing). Says what it does; fails with one line.
emulation() {
  local cpu=$1 binfmt=/proc/sys/fs/binfmt_misc
  if [ ! -f "$binfmt/status" ]; then
    mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null ||
      fail "$cpu: no binfmt_misc in this kernel (it cannot run programs of other CPUs): $binfmt cannot be mounted"
  fi
  [ -f "$binfmt/qemu-$(emulator "$cpu")" ] && return
  echo "sid root: installing the user-mode emulators (qemu-user-static, binfmt-support)"
  sh "$TOP/tools/apt-install.sh" qemu-user-static binfmt-support ||
    fail "$cpu: the user-mode emulator cannot be installed (apt-get install qemu-user-static binfmt-support failed)"
  update-binfmts --enable >/dev/null 2>&1 || true
  [ -f "$binfmt/qemu-$(emulator "$cpu")" ] || fail "$cpu: no emulator of $cpu is registered with binfmt_misc"
}

# The packages of the list the root's CPU is not served, by apt in the root; a CPython
# version that lacks one of its packages is left out whole. Prints the list to install.
served() {
  local root=$1 list=$2 pkg missing minor kept=
  # shellcheck disable=SC2016
  missing=$(in_root "$root" "" / sh -c 'for p; do apt-cache show "$p" >/dev/null 2>&1 || echo "${p%:*}"; done' - $list | tr '\n' ' ')
  for pkg in $list; do
    minor=
    case $pkg in python3.1[0-9]*|libpython3.1[0-9]*) minor=${pkg#*python3.}; minor=${minor%%-*} ;; esac
    if [ -n "$minor" ]; then
      case " $missing " in *" python3.$minor"*|*" libpython3.$minor"*) continue ;; esac
    else
      case " $missing " in *" ${pkg%:*} "*) echo "sid root: $(cpu_of "$root"): $pkg is not served" >&2; return 1 ;; esac
    fi
    kept="$kept $pkg"
  done
  for minor in $MINORS; do
    case " $missing " in *" python3.$minor"*|*" libpython3.$minor"*)
      echo "sid root: $(cpu_of "$root"): CPython 3.$minor is not served (no$(echo "$missing" | tr ' ' '\n' | grep "python3.$minor" | sed 's/^/ /' | tr -d '\n')); left out" >&2 ;;
    esac
  done
  echo $kept
}

provision_one() {
  local cpu=$1 root start=$SECONDS mirror wanted install free log
  root=$(root_of "$cpu")
  wanted=$(packages_of "$cpu")
  if made "$root"; then
    [ "$cpu" = "$NATIVE" ] || emulation "$cpu"  # registered anew after a restart
    echo "sid root: $cpu ready at $root ($(du -sh --one-file-system "$root" | cut -f1)); nothing to do"
    return
  fi
  [ "$(id -u)" = 0 ] || fail "needs root (debootstrap and chroot); run it as root"
  if packages_made "$root"; then  # all but the cross compiler
    emulation "$cpu"
    install_cross_compiler "$cpu"
    echo "sid root: $cpu ready at $root ($(du -sh --one-file-system "$root" | cut -f1)), finished in $((SECONDS - start)) s"
    return
  fi
  command -v unshare >/dev/null && command -v chroot >/dev/null || fail "needs unshare and chroot (util-linux, coreutils)"
  mirror=$(mirror)
  [ -n "$mirror" ] || fail "no Debian mirror in /etc/apt/sources.list.d/*.sources or /etc/apt/sources.list"
  if ! wget -q -T 20 -t 2 -O /dev/null "$mirror/dists/sid/Release" 2>/dev/null &&
     ! curl -fsS -m 20 -o /dev/null "$mirror/dists/sid/Release" 2>/dev/null; then
    fail "no network to the registry: $mirror/dists/sid/Release cannot be fetched"
  fi
  if [ "$cpu" != "$NATIVE" ]; then
    emulation "$cpu"
    wget -q -T 20 -t 2 -O /dev/null "$mirror/dists/sid/main/binary-$cpu/Release" 2>/dev/null ||
      curl -fsS -m 20 -o /dev/null "$mirror/dists/sid/main/binary-$cpu/Release" 2>/dev/null ||
      fail "$cpu: the mirror does not serve Debian unstable for $cpu ($mirror/dists/sid/main/binary-$cpu/)"
  fi
  if ! command -v debootstrap >/dev/null; then
    echo "sid root: installing debootstrap"
    sh "$TOP/tools/apt-install.sh" debootstrap || fail "no debootstrap, and apt-get install debootstrap failed"
  fi
  mkdir -p "$(dirname "$root")"
  free=$(df -Pk "$(dirname "$root")" | awk 'NR == 2 {print int($4 / 1048576)}')
  # A root that debootstrap did not finish keeps its debootstrap/ directory: start again.
  if [ -d "$root" ] && { [ -d "$root/debootstrap" ] || [ ! -x "$root/usr/bin/apt-get" ]; }; then
    echo "sid root: $root was left half made; making it again"
    discard "$root"
  fi
  log=$root.log
  if [ ! -d "$root" ]; then
    [ "$free" -ge 3 ] || fail "no space: the root needs about 2 GB, $(dirname "$root") has $free GB free"
    echo "sid root: debootstrap of sid for $cpu from $mirror into $root"
    rm -rf --one-file-system "$root.partial"
    # debootstrap mounts /proc and /sys inside the target: keep those in a namespace too.
    # The base system alone: apt inside it resolves the packages, which debootstrap's own
    # resolver cannot (virtual packages).
    if ! unshare --mount --propagation private -- debootstrap --arch="$cpu" --variant=minbase sid "$root.partial" \
        "$mirror" >"$log" 2>&1; then
      tail -n 5 "$log" >&2
      fail "$cpu: debootstrap failed (log: $log)"
    fi
    mv "$root.partial" "$root"
  else
    echo "sid root: finishing $root"
  fi
  echo "$APT_CONF" >"$root/etc/apt/apt.conf.d/99corvessa"
  cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
  in_root "$root" "" / apt-get update -q >"$log" 2>&1 || fail "$cpu: apt-get update in the root failed (log: $log)"
  settle "$root" >"$log" 2>&1 || fail "$cpu: dpkg cannot configure what an earlier run left in the root (log: $log)"
  install=$(served "$root" "$wanted") || exit 1
  # A root made with another package list, or left before its packages: install them now.
  # Under emulation the test suites come last, not byte-compiled (see unpack_uncompiled).
  local suites= rest= pkg
  for pkg in $install; do
    case $pkg in
      libpython3.*-testsuite) if [ "$cpu" = "$NATIVE" ]; then rest="$rest $pkg"; else suites="$suites $pkg"; fi ;;
      *) rest="$rest $pkg" ;;
    esac
  done
  in_root "$root" "" / sh -c "DEBIAN_FRONTEND=noninteractive apt-get install -y -q $rest" >"$log" 2>&1 ||
    fail "$cpu: apt-get install in the root failed (log: $log)"
  in_root "$root" "" / apt-get clean
  [ -z "$suites" ] || unpack_uncompiled "$root" "$suites" >"$log" 2>&1 ||
    fail "$cpu: the test suites cannot be installed in the root (log: $log)"
  [ "$cpu" = "$NATIVE" ] || install_cross_compiler "$cpu"
  printf '%s\n%s\n' "$wanted" "$install" >"$(stamp "$root")"
  rm -f "$log"
  echo "sid root: $cpu ready at $root ($(du -sh --one-file-system "$root" | cut -f1)), made in $((SECONDS - start)) s"
}

# Installs the test suites named (libpython3.X-testsuite) in the root of another CPU without
# their byte-compilation: their packages' own step compiles every file of the suite with the
# emulated interpreter, a quarter of an hour a version, while the tests import a few modules
# of it, which the interpreter compiles as it imports them. apt fetches them and what they
# need; dpkg unpacks them and configures them with that step left out.
unpack_uncompiled() {
  # shellcheck disable=SC2016
  in_root "$1" "" / sh -c 'set -e
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --download-only "$@"
    for deb in /var/cache/apt/archives/*.deb; do [ ! -e "$deb" ] || dpkg --unpack "$deb"; done' - $2 &&
    settle "$1" && in_root "$1" "" / apt-get clean
}

# Configures what dpkg has unpacked and not configured (an interrupted run leaves it so, and
# dpkg refuses to go on before); in the root of another CPU, the test suites without their
# byte-compilation.
settle() {
  local uncompiled=
  [ "$(cpu_of "$1")" = "$NATIVE" ] || uncompiled=1
  # shellcheck disable=SC2016
  in_root "$1" "" / sh -c 'set -e
    if [ -n "$0" ]; then
      for step in /var/lib/dpkg/info/libpython3.*-testsuite.postinst; do
        [ ! -e "$step" ] || printf "#!/bin/sh\nexit 0\n" >"$step"
      done
    fi
    DEBIAN_FRONTEND=noninteractive dpkg --configure -a' "$uncompiled"
}

# The CPU's cross compiler in the amd64 root (made first when it is not).
install_cross_compiler() {
  local cpu=$1 package log=$NATIVE_ROOT.log
  package=$(cross_compiler "$cpu")
  [ ! -x "$NATIVE_ROOT/usr/bin/$(triplet "$cpu")-g++" ] || return 0
  made "$NATIVE_ROOT" || ( provision_one "$NATIVE" ) || fail "$cpu: the amd64 root, which cross-compiles for it, cannot be made"
  echo "sid root: installing $package into the amd64 root"
  in_root "$NATIVE_ROOT" "" / sh -c "DEBIAN_FRONTEND=noninteractive apt-get install -y -q $package || \
      { apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q $package; }" >"$log" 2>&1 ||
    fail "$cpu: the cross compiler $package cannot be installed into the amd64 root (log: $log)"
  in_root "$NATIVE_ROOT" "" / apt-get clean
  rm -f "$log"
}

provision() {
  local cpu status=0
  [ $# -gt 0 ] || set -- "$NATIVE"
  for cpu in "$@"; do
    case " $NATIVE $FOREIGN " in *" $cpu "*) ;; *) echo "make sid-root: no such CPU: $cpu (one of $NATIVE $FOREIGN)" >&2; status=1; continue ;; esac
    ( provision_one "$cpu" ) || status=1
  done
  return $status
}

# The root below which PATH lies; with --made, only a made one.
of() {
  local need_made= cpu root
  [ "$1" != --made ] || { need_made=1; shift; }
  for cpu in $NATIVE $FOREIGN; do
    root=$(root_of "$cpu")
    case $1 in "$root"/*) ;; *) continue ;; esac
    [ -z "$need_made" ] || made "$root" || return 1
    echo "$root"
    return 0
  done
  return 1
}

run_in() {
  local root=$1
  shift
  made "$root" || fail "no root at $root; make it with: make $(target "$root")"
  case $PWD/ in "$TOP"/*) cwd=$PWD ;; *) cwd=$TOP ;; esac  # only the repository is seen there
  in_root "$root" "$TOP" "$cwd" "$@"
}

# CMD in the amd64 root, which sees the root of another CPU at its own path.
cross() {
  local root=$1
  shift
  made "$root" || fail "no root at $root; make it with: make $(target "$root")"
  case $PWD/ in "$TOP"/*) cwd=$PWD ;; *) cwd=$TOP ;; esac
  CROSS_TRIPLET=$(triplet "$(cpu_of "$root")") TARN_SYSROOT=$root in_root "$NATIVE_ROOT" "$TOP:$root" "$cwd" "$@"
}

target() { if [ "$(cpu_of "$1")" = "$NATIVE" ]; then echo sid-root; else echo "sid-roots CPUS=$(cpu_of "$1")"; fi; }

case ${1:-} in
  provision) shift; provision "$@" ;;
  dir) root=$(root_of "${2:-$NATIVE}"); made "$root" && echo "$root" ;;
  of) shift; of "$@" ;;
  target) target "$2" ;;
  run) shift; run_in "$NATIVE_ROOT" "$@" ;;
  run-in) shift; run_in "$@" ;;
  cross) shift; cross "$@" ;;
  cpu) cpu_of "$2" ;;
  cpus) echo $FOREIGN ;;
  foreign) root=$(of --made "$2") && cpu=$(cpu_of "$root") && [ "$cpu" != "$NATIVE" ] && echo "$cpu" ;;
  _enter) shift; enter "$@" ;;
  *) echo "usage: $0 provision [CPU...] | dir [CPU] | of [--made] PATH | target DIR | run COMMAND... | run-in DIR COMMAND... | cross DIR COMMAND... | cpu DIR | cpus | foreign PATH" >&2; exit 2 ;;
esac
