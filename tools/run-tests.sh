#!/usr/bin/env bash
# Runs the whole suite of every version built as one CTest run: BUILD/CTestTestfile.cmake
# names the version trees (BUILD/3.8, BUILD/3.12, ...), whose tests carry the version in
# their names and labels (the Debian root's run there, each through tools/sid-root.sh).
# Ends with one line per version (test programs, cases, skips and their reasons), the
# versions this machine could not test with the command that brings them, and CTest's total.
# TESTS_EXCLUDE, a regular expression of test names, leaves those tests out (CI leaves the
# slowest program out under emulation).
#
# Usage: run-tests.sh BUILD JOBS PYTHON...
set -uo pipefail
out=$1
jobs=$2
shift 2
root=$(cd "$(dirname "$0")/.." && pwd)
dirs=""
for python in "$@"; do
  dirs="$dirs \"$(sh "$root/tools/with-python.sh" "$python" sh -c '"$PY" "$0"' "$root/tools/python-info.py" | sed -n 2p)\""
done
printf '# The suites of the versions built, run as one (written by tools/run-tests.sh).\nsubdirs(%s)\n' \
  "$dirs" >"$out/CTestTestfile.cmake"
ctest --test-dir "$out" --output-on-failure -j "$jobs" ${TESTS_EXCLUDE:+-E "$TESTS_EXCLUDE"} 2>&1 | tee "$out/ctest.out"
status=${PIPESTATUS[0]}
# What the machine lacks, unless one interpreter was named.
missing=
[ -n "${PYTHON:-}" ] || missing=$(sh "$root/tools/find-python.sh" --missing | tr '\n' ' ')
TARN_MISSING_VERSIONS=$missing \
  sh "$root/tools/with-python.sh" "$1" sh -c '"$PY" "$0" "$1"' "$root/tools/test-summary.py" "$out" || status=1
exit "$status"
