#!/bin/sh
# make check-asan: the extension and the C++ tests built with AddressSanitizer and
# UndefinedBehaviorSanitizer, the whole CTest suite run against them with
# GCC's libasan preloaded into every interpreter (the test processes and the child
# interpreters they start) and PYTHONMALLOC=malloc, so that every allocation of the
# interpreter goes through the sanitizer. Any report, from any process, fails the run.
#
# Built in build-asan/<version>/, with a package tree of its own.
#
# Usage: check-asan.sh PYTHON [JOBS]
set -eu
ASAN_LIB=$(gcc -print-file-name=libasan.so)
[ -f "$ASAN_LIB" ] || { echo "check-asan: GCC's libasan.so not found" >&2; exit 1; }
BUILD_ROOT=build-asan
. "$(dirname "$0")/build-tree.sh"  # the package tree beside the ASan extension
REPORTS=$OUT/reports
SHIMS=$OUT/shims

# Tools that tests may start, run without the preload (see unpreload.sh).
rm -rf "$SHIMS"
mkdir -p "$SHIMS"
for tool in nm objdump readelf c++filt gcc g++ cc c++ cpp ld as ar strip cmake ctest make git bash pyenv gdb ldd file; do
  ln -s "$ROOT/tests/reliability/unpreload.sh" "$SHIMS/$tool"
done

rm -rf "$REPORTS" "$OUT/stderr"
mkdir -p "$REPORTS" "$OUT/stderr"
ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:exitcode=86:log_path=$REPORTS/asan:strict_init_order=1:detect_stack_use_after_return=1"
# The interpreter's own leaks; from 3.12 on, its immortal strings too (lsan-immortal.supp).
cat "$ROOT/tests/reliability/lsan.supp" >"$OUT/lsan.supp"
if "$PY" -c 'import sys; sys.exit(sys.version_info < (3, 12))'; then
  cat "$ROOT/tests/reliability/lsan-immortal.supp" >>"$OUT/lsan.supp"
fi
LSAN_OPTIONS="suppressions=$OUT/lsan.supp:print_suppressions=0"
# An interpreter that leaks at exit on its own, in stacks the suppressions cannot name (one
# built without frame pointers or symbols, whose stacks end in its unnamed allocator, such
# as Debian's 3.13 with its immortal strings), leaves nothing to tell the module's leaks
# from its own: leaks are then not looked for (test_leaks.py and test_faults.py count them).
if ! LD_PRELOAD=$ASAN_LIB PYTHONMALLOC=malloc ASAN_OPTIONS="detect_leaks=1:exitcode=86" LSAN_OPTIONS="$LSAN_OPTIONS" \
     "$PY" -c pass 2>/dev/null; then
  echo "check-asan: CPython $VERSION leaks at exit on its own (\"$PY -c pass\"), in stacks the suppressions cannot name: leak detection off"
  ASAN_OPTIONS=$(echo "$ASAN_OPTIONS" | sed 's/detect_leaks=1/detect_leaks=0/')
fi
UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
TEST_ENV="LD_PRELOAD=$ASAN_LIB;PYTHONMALLOC=malloc;ASAN_OPTIONS=$ASAN_OPTIONS;LSAN_OPTIONS=$LSAN_OPTIONS"
TEST_ENV="$TEST_ENV;UBSAN_OPTIONS=$UBSAN_OPTIONS;TARN_PACKAGE=$PKG;TARN_ASAN=1;PATH=$SHIMS:$PATH"
TEST_ENV="$TEST_ENV;TARN_PYTHON=$ROOT/tests/reliability/asan-python.sh;TARN_REAL_PYTHON=$PY"
TEST_ENV="$TEST_ENV;TARN_STDERR_COPIES=$OUT/stderr"

sh "$ROOT/tools/configure.sh" "$OUT" "$PY" -DTARN_SANITIZE=ON -DTARN_PACKAGE_DIR="$PKG/util" \
      "-DTARN_TEST_ENV=$TEST_ENV"
cmake --build "$OUT" -j "$JOBS"
nm -D "$PKG"/util/queue.*.so | grep -q __asan_report || { echo "check-asan: the extension is not instrumented" >&2; exit 1; }

# The wiring itself: a use after free in a preloaded interpreter must leave a report.
rm -rf "$OUT/canary"
mkdir -p "$OUT/canary"
LD_PRELOAD=$ASAN_LIB PYTHONMALLOC=malloc ASAN_OPTIONS="log_path=$OUT/canary/asan" "$PY" -c '
import ctypes
libc = ctypes.CDLL(None)
libc.malloc.restype = ctypes.c_void_p
libc.free.argtypes = [ctypes.c_void_p]
p = libc.malloc(16)
libc.free(p)
ctypes.string_at(p, 8)' 2>/dev/null && { echo "check-asan: the canary survived" >&2; exit 1; }
grep -q heap-use-after-free "$OUT"/canary/asan.* || { echo "check-asan: the canary left no report" >&2; exit 1; }

status=0
ctest --test-dir "$OUT" --output-on-failure -j "$JOBS" || status=$?

# UBSan reports (file:line:column: runtime error: ...) reach only stderr: the test
# processes' own is in CTest's log, the child interpreters' in the copies.
for f in "$OUT/Testing/Temporary/LastTest.log" "$OUT"/stderr/stderr.*; do
  [ -f "$f" ] || continue
  if grep -Eq '[^ ]+:[0-9]+:[0-9]+: runtime error: ' "$f"; then
    cp "$f" "$REPORTS/ubsan.$(basename "$f")"
  fi
done
children=$(find "$OUT/stderr" -type f | wc -l)
rm -rf "$OUT/stderr"
echo "check-asan: $children child interpreters"

reports=$(find "$REPORTS" -type f | sort)
if [ -n "$reports" ]; then
  for r in $reports; do
    echo "=== sanitizer report $r"
    cat "$r"
  done
  echo "check-asan: $(echo "$reports" | wc -l) sanitizer report(s)" >&2
  exit 1
fi
[ "$status" -eq 0 ] || { echo "check-asan: tests failed" >&2; exit "$status"; }
echo "check-asan: no sanitizer reports"
