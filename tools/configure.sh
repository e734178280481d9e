#!/bin/sh
# Configures the CMake tree DIR for the interpreter PY, as the environment this runs in sees
# it, with the further CMake arguments given. A tree configured for another interpreter is
# removed first: build/3.13 serves pyenv's 3.13 or the Debian root's, each with a compiler of
# its own. A cross build (tools/cross.cmake) gives what python-info.py printed for its
# interpreter as TARN_PYTHON_INFO in the environment, which the build reads.
#
# Usage: configure.sh DIR PY [CMAKE_ARGUMENT...]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
dir=$1
py=$2
shift 2
cached=$(sed -n 's/^PYTHON:FILEPATH=//p' "$dir/CMakeCache.txt" 2>/dev/null || true)
if [ -n "${TARN_PYTHON_INFO:-}" ]; then  # a cross build: what python-info.py printed for the interpreter
  real=$(echo "$TARN_PYTHON_INFO" | sed -n 1p)
else
  real=$("$py" "$here/python-info.py" | sed -n 1p)
fi
if [ -n "$cached" ] && [ "$cached" != "$real" ]; then rm -rf "$dir"; fi
exec cmake -S "$here/.." -B "$dir" -DPYTHON="$py" "$@" >/dev/null
