#!/bin/sh
# Installs Debian packages on this machine with apt-get, quietly: waits for another install
# under way (the emulators of make sid-roots, the GoogleTest of make test) to release apt's
# lock, and refreshes the package lists once when the install fails on stale ones. Exits 1
# when the packages cannot be installed.
#
# Usage: apt-install.sh PACKAGE...
export DEBIAN_FRONTEND=noninteractive
wait="-o DPkg::Lock::Timeout=600"
# shellcheck disable=SC2086
apt-get $wait install -y -q "$@" >/dev/null 2>&1 ||
  { apt-get $wait update -q >/dev/null 2>&1 && apt-get $wait install -y -q "$@" >/dev/null 2>&1; }
