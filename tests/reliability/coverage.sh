#!/bin/sh
# make coverage: the extension and the C++ tests built with gcov instrumentation and no
# optimisation, the whole CTest suite run against them (the fault-injection driver
# included), then line and branch coverage of src/ per file, with the lines and branches
# never taken (coverage_report.py). Built in build-coverage/<version>/ with a package tree
# of its own; the figures also land in build-coverage/<version>/coverage.txt.
#
# Usage: coverage.sh PYTHON [JOBS]
set -eu
BUILD_ROOT=build-coverage
. "$(dirname "$0")/build-tree.sh"
sh "$ROOT/tools/configure.sh" "$OUT" "$PY" -DCMAKE_BUILD_TYPE=Debug -DTARN_COVERAGE=ON \
      -DTARN_PACKAGE_DIR="$PKG/util" "-DTARN_TEST_ENV=TARN_PACKAGE=$PKG;TARN_COVERAGE=1"
cmake --build "$OUT" -j "$JOBS"
find "$OUT" -name '*.gcda' -delete

status=0
ctest --test-dir "$OUT" --output-on-failure -j "$JOBS" || status=$?
"$PY" "$ROOT/tests/reliability/coverage_report.py" "$ROOT" "$OUT/CMakeFiles/tarn_core.dir" \
      "$OUT/CMakeFiles/tarn_internal_tests.dir" | tee "$OUT/coverage.txt"
[ "$status" -eq 0 ] || { echo "coverage: tests failed" >&2; exit "$status"; }
