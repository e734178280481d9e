#!/usr/bin/env bash
# Configures and builds the extension (and the C++ tests) for each interpreter, each in
# BUILD/<version>/; the extensions land side by side in corvessa/util/. CMAKE_FLAGS from the
# environment are passed to every configure. An interpreter of the Debian root is built for
# inside the root, with its tests set to run there; one of another CPU's root is built for
# with that CPU's cross compiler in the amd64 root.
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
  if bash "$root/tools/sid-root.sh" foreign "$python" >/dev/null 2>&1; then
    cpu_root=$(bash "$root/tools/sid-root.sh" of --made "$python")
    # Another CPU's interpreter: cross-compiled in the amd64 root against its root, and
    # tested in its root under emulation, where the tests' time limits are ten times longer.
    info=$(sh "$root/tools/with-python.sh" "$python" sh -c '"$PY" "$0" --embed' "$root/tools/python-info.py")
    # shellcheck disable=SC2016
    TARN_PYTHON_INFO=$info bash "$root/tools/sid-root.sh" cross "$cpu_root" sh -c '
      # shellcheck disable=SC2086
      sh "$1/tools/configure.sh" "$2" "$3" -DCMAKE_TOOLCHAIN_FILE="$1/tools/cross.cmake" \
        "-DTARN_TEST_LAUNCHER=$1/tools/sid-root.sh;run-in;$TARN_SYSROOT" -DTARN_TEST_ENV=TARN_TIME_SCALE=10 ${CMAKE_FLAGS:-} &&
        cmake --build "$2" -j "$4"' \
      - "$root" "$dir" "${python#"$cpu_root"}" "$jobs"
    continue
  fi
  # shellcheck disable=SC2016
  sh "$root/tools/with-python.sh" "$python" sh -c '
    launcher=
    [ -z "${TARN_ROOT:-}" ] || launcher="-DTARN_TEST_LAUNCHER=$1/tools/sid-root.sh;run-in;$TARN_ROOT"
    # shellcheck disable=SC2086
    sh "$1/tools/configure.sh" "$2" "$PY" $launcher ${CMAKE_FLAGS:-} && cmake --build "$2" -j "$3"' \
    "$python" "$root" "$dir" "$jobs"
done
