#!/usr/bin/env bash
# Configures and builds the extension (and the C++ tests) for each interpreter, each in
# BUILD/<version>/; the extensions land side by side in corvessa/util/. CMAKE_FLAGS from the
# environment are passed to every configure.
#
# Usage: build.sh BUILD JOBS PYTHON...
set -euo pipefail
out=$1
jobs=$2
shift 2
root=$(cd "$(dirname "$0")/.." && pwd)
versions=()
for py in "$@"; do versions+=("$("$py" "$root/tools/python-info.py" | sed -n 2p)"); done
echo "building for CPython ${versions[*]}"
i=0
for py in "$@"; do
  dir=$out/${versions[$i]}
  i=$((i + 1))
  # shellcheck disable=SC2086
  cmake -S "$root" -B "$dir" -DPYTHON="$py" ${CMAKE_FLAGS:-} >/dev/null
  cmake --build "$dir" -j "$jobs"
done
