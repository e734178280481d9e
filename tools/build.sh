#!/usr/bin/env bash
# Configures and builds the extension (and the C++ tests) for each interpreter, each in
# BUILD/<version>/; the extensions land side by side in corvessa/util/. CMAKE_FLAGS from the
# environment are passed to every configure. An interpreter of the Debian root is built for
# inside the root, with its tests set to run there.
#
# Usage: build.sh BUILD JOBS PYTHON...
set -euo pipefail
out=$1
jobs=$2
shift 2
root=$(cd "$(dirname "$0")/.." && pwd)
versions=()
for python in "$@"; do
  versions+=("$(sh "$root/tools/with-python.sh" "$python" sh -c '"$PY" "$0"' "$root/tools/python-info.py" | sed -n 2p)")
done
echo "building for CPython ${versions[*]}"
i=0
for python in "$@"; do
  dir=$out/${versions[$i]}
  i=$((i + 1))
  # shellcheck disable=SC2016
  sh "$root/tools/with-python.sh" "$python" sh -c '
    launcher=
    [ -z "${TARN_ROOT:-}" ] || launcher="-DTARN_TEST_LAUNCHER=$1/tools/sid-root.sh;run-in;$TARN_ROOT"
    # shellcheck disable=SC2086
    sh "$1/tools/configure.sh" "$2" "$PY" $launcher ${CMAKE_FLAGS:-} && cmake --build "$2" -j "$3"' \
    "$python" "$root" "$dir" "$jobs"
done
