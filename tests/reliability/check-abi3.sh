#!/bin/sh
# make check-abi3: the whole CTest suite of each interpreter given (3.12 and later) against
# the one binary of the stable ABI: queue.abi3.so, built once with the headers of CPython 3.12
# (the oldest interpreter of 3.12 or later this machine has) in build-abi3/binary/, and copied
# unchanged into the package tree build-abi3/pkg/corvessa that every version's suite imports
# (tools/abi3-binary.sh); an interpreter older than 3.12 of this machine must refuse it with
# one ImportError line.
# Each version's C++ tests and tarn_faults, which embed or extend that interpreter, are built
# for it in build-abi3/<version>/, on the same road (an interpreter of a Debian root builds
# and runs there). The binary's SHA-256 is printed before the suites and checked after.
#
# Usage: check-abi3.sh JOBS PYTHON...
set -eu
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
JOBS=$1
shift
OUT=$ROOT/build-abi3
PKG=$OUT/pkg/corvessa
version_of() { sh "$ROOT/tools/with-python.sh" "$1" sh -c '"$PY" "$0"' "$ROOT/tools/python-info.py" | sed -n 2p; }
minor_of() { version_of "$1" | sed 's/^3\.\([0-9]*\).*/\1/'; }

# The suites to run: the interpreters given from 3.12 on, of this machine's CPU (make dist
# installs the stable ABI's wheel of another CPU into each of its interpreters).
pythons=
for py in "$@"; do
  if bash "$ROOT/tools/sid-root.sh" foreign "$py" >/dev/null 2>&1; then
    echo "check-abi3: $(version_of "$py") runs on another CPU, for which this binary is not built: left out"
  elif [ "$(minor_of "$py")" -ge 12 ]; then pythons="$pythons $py"; else echo "check-abi3: $(version_of "$py") is older than 3.12: left out"; fi
done
[ -n "$pythons" ] || { echo "check-abi3: no interpreter of 3.12 or later given" >&2; exit 1; }
sh "$ROOT/tools/abi3-binary.sh" "$OUT" "$JOBS" $pythons
sum=$(sha256sum "$PKG/util/queue.abi3.so" | cut -d' ' -f1)
echo "check-abi3: one binary, $PKG/util/queue.abi3.so, SHA-256 $sum"

status=0
results=
# An older interpreter that loads the binary by its suffix (a file copied by hand) is refused
# with one line, and nothing crashes.
for py in $(PYTHON= sh "$ROOT/tools/find-python.sh"); do
  minor=$(minor_of "$py")
  [ "$minor" -lt 12 ] || continue
  said=$(cd "$OUT" && PYTHONPATH="$OUT/pkg" "$py" -c 'import corvessa.util.queue' 2>&1) && rc=0 || rc=$?
  wanted="ImportError: corvessa.util.queue: this build (the stable ABI, queue.abi3.so) needs CPython 3.12 or later, not 3.$minor"
  if [ "$rc" = 1 ] && [ "$(echo "$said" | tail -n 1)" = "$wanted" ]; then
    results="$results
CPython 3.$minor refuses the binary: $wanted"
  else
    results="$results
CPython 3.$minor: FAILED to refuse the binary (status $rc): $(echo "$said" | tail -n 1)"
    status=1
  fi
done
for py in $pythons; do
  version=$(version_of "$py")
  dir=$OUT/$version
  echo "=== CPython $version ($py)"
  rm -rf "$dir/Testing"  # no earlier run's log to summarise when this one cannot run
  failed=
  # shellcheck disable=SC2016
  if sh "$ROOT/tools/with-python.sh" "$py" sh -c \
       'launcher=; [ -z "${TARN_ROOT:-}" ] || launcher="-DTARN_TEST_LAUNCHER=$1/tools/sid-root.sh;run-in;$TARN_ROOT"
        sh "$1/tools/configure.sh" "$2" "$PY" -DTARN_GENERIC_ROADS=ON -DTARN_BUILD_TESTS=ON -DTARN_PACKAGE_DIR="$3/util" $launcher \
          "-DTARN_TEST_ENV=TARN_PACKAGE=$3;TARN_GENERIC_ROADS=1" &&
        cmake --build "$2" --target tarn_internal_tests tarn_faults -j "$4"' - "$ROOT" "$dir" "$PKG" "$JOBS" &&
     ctest --test-dir "$dir" --output-on-failure -j "$JOBS"; then
    :
  else
    status=1
    failed=" FAILED"
  fi
  # shellcheck disable=SC2016
  summary=$(sh "$ROOT/tools/with-python.sh" "$py" sh -c '"$PY" "$0" "$1"' "$ROOT/tools/test-summary.py" "$dir" 2>/dev/null) || :
  echo "$summary"
  line=$(echo "$summary" | grep '^CPython' || echo "CPython $version: no test ran")
  results="$results
$line ($py)$failed"
done
now=$(sha256sum "$PKG/util/queue.abi3.so" | cut -d' ' -f1)
[ "$now" = "$sum" ] || { echo "check-abi3: the binary changed during the suites ($now)" >&2; status=1; }
echo "$results" | sed 1d
echo "check-abi3: every suite ran against the one binary, SHA-256 $sum"
exit $status
