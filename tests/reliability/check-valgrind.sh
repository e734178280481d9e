#!/bin/sh
# make check-valgrind: the C++ tests and every Python test file under Memcheck, with the
# plain build of one version (BUILD, extension in corvessa/util) and PYTHONMALLOC=malloc so that every
# block of the interpreter is Memcheck's to watch. Child interpreters that the tests start
# are followed (--trace-children); native tools (nm, the compiler, shells) are not. The
# soak and the random binding test run with smaller counts, and the packaging and
# fault-injection tests are left out, to keep the run under about ten minutes. Leaks are LeakSanitizer's business (make check-asan); this run looks for
# invalid reads and writes, uses of uninitialised values and bad frees.
#
# Usage: check-valgrind.sh PYTHON BUILD   (BUILD: that version's build tree, build/3.12)
set -eu
PY=$1
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=$(cd "$2" && pwd)
VERSION=$("$PY" "$ROOT/tools/python-info.py" | sed -n 2p)
OUT=$ROOT/build-valgrind/$VERSION
LOGS=$OUT/logs
rm -rf "$LOGS"
mkdir -p "$LOGS"

set -- valgrind --tool=memcheck --leak-check=no --num-callers=40 --error-exitcode=97 \
  --suppressions="$ROOT/tests/reliability/valgrind-python.supp" \
  --trace-children=yes --trace-children-skip='/usr/*,/bin/*,/sbin/*' \
  --log-file="$LOGS/memcheck.%p.log"

export PYTHONMALLOC=malloc PYTHONPATH="$ROOT" PYTHONDONTWRITEBYTECODE=1 TARN_PYTHON="$PY"
export TARN_SOAK_ITEMS=${TARN_SOAK_ITEMS:-20000} TARN_BINDING_CASES=${TARN_BINDING_CASES:-4000}
failed=
start=$(date +%s)
echo "memcheck: $BUILD/tarn_internal_tests"
"$@" "$BUILD/tarn_internal_tests" >"$LOGS/cpp_internals.out" 2>&1 || failed="$failed cpp_internals"
for test in "$ROOT"/tests/python/test_*.py; do
  name=$(basename "$test" .py)
  # test_wheel runs pip and CMake to build and install a wheel: the module's
  # code runs only in its last import, which every other file here covers.
  [ "$name" != test_wheel ] || { echo "memcheck: $name skipped (a packaging test)"; continue; }
  # test_faults forks a child for every allocation it fails: hours under Memcheck. Its
  # sweep runs under AddressSanitizer instead (make check-asan).
  [ "$name" != test_faults ] || { echo "memcheck: $name skipped (runs under make check-asan)"; continue; }
  echo "memcheck: $name"
  (cd "$ROOT" && "$@" "$PY" "$test") >"$LOGS/$name.out" 2>&1 || failed="$failed $name"
done
echo "memcheck: $(($(date +%s) - start)) s"
for name in $failed; do
  echo "=== $name failed"
  tail -n 30 "$LOGS/$name.out"
done
"$PY" "$ROOT/tests/reliability/memcheck_summary.py" "$LOGS" || failed="$failed memcheck"
[ -z "$failed" ] || { echo "check-valgrind: failed:$failed" >&2; exit 1; }
echo "check-valgrind: no errors"
