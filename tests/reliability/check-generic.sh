#!/bin/sh
# make check-generic: the whole CTest suite against a build that takes the generic roads
# everywhere (the interpreter's public interface only, no private layout read), as a build
# for a CPython newer than the version layer knows does. Built in build-generic/<version>/
# with a package tree of its own.
#
# Usage: check-generic.sh PYTHON [JOBS]
set -eu
BUILD_ROOT=build-generic
. "$(dirname "$0")/build-tree.sh"

sh "$ROOT/tools/configure.sh" "$OUT" "$PY" -DTARN_GENERIC_ROADS=ON -DTARN_PACKAGE_DIR="$PKG/util" \
   "-DTARN_TEST_ENV=TARN_PACKAGE=$PKG;TARN_GENERIC_ROADS=1"
cmake --build "$OUT" -j "$JOBS"
ctest --test-dir "$OUT" --output-on-failure -j "$JOBS"
