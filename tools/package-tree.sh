#!/bin/sh
# Makes DIR afresh as a copy of the Python parts of the repository's corvessa package,
# without any extension, for a build of its own to place its extension in (the checks that
# build in trees of their own, and the stable ABI's one binary).
#
# Usage: package-tree.sh DIR
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
rm -rf "$1"
mkdir -p "$1"
(cd "$ROOT/corvessa" && find . -name '*.py' ! -path '*/__pycache__/*') | while read -r f; do
  mkdir -p "$1/$(dirname "$f")"
  cp -p "$ROOT/corvessa/$f" "$1/$f"
done
