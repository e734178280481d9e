#!/bin/sh
# make check-debug-malloc: the whole CTest suite with the interpreter's debug allocator
# (PYTHONMALLOC=debug: guard bytes around every block, freed memory filled, API misuse
# such as freeing with the wrong domain or calling without the GIL detected), development
# mode (-X dev) and faulthandler, in the test processes and in every child interpreter.
# Built in build-debug/<version>/ with a package tree of its own.
#
# Usage: check-debug-malloc.sh PYTHON [JOBS]
set -eu
BUILD_ROOT=build-debug
. "$(dirname "$0")/build-tree.sh"

FLAGS="-X dev -X faulthandler"
sh "$ROOT/tools/configure.sh" "$OUT" "$PY" -DTARN_PACKAGE_DIR="$PKG/util" \
      "-DTARN_PYTHON_FLAGS=-X;dev;-X;faulthandler" \
      "-DTARN_TEST_ENV=PYTHONMALLOC=debug;PYTHONFAULTHANDLER=1;TARN_CHILD_FLAGS=$FLAGS;TARN_PACKAGE=$PKG"
cmake --build "$OUT" -j "$JOBS"
ctest --test-dir "$OUT" --output-on-failure -j "$JOBS"
