#!/bin/sh
# Makes PKG (a directory named corvessa) afresh: the Python parts of the repository's
# corvessa package, without any extension, for a build to place its own extension in.
# A fresh tree each run, so that no stale module lingers.
#
# Usage: package-tree.sh ROOT PKG
set -eu
ROOT=$1
PKG=$2
rm -rf "$PKG"
mkdir -p "$PKG"
(cd "$ROOT/corvessa" && find . -name '*.py' ! -path '*/__pycache__/*') | while read -r f; do
  mkdir -p "$PKG/$(dirname "$f")"
  cp -p "$ROOT/corvessa/$f" "$PKG/$f"
done
