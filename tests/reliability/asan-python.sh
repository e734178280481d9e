#!/bin/bash
# The child interpreter of the check-asan run (TARN_PYTHON, which the test harness starts).
# GCC's UBSan runtime, combined with ASan, writes its reports to stderr only, and a child's
# stderr is the test's to read; so a copy of it goes to $TARN_STDERR_COPIES, where
# check-asan.sh looks for reports once the suite is done. The interpreter replaces this
# script, so signals, time-outs and exit status are its own.
exec 2> >(env -u LD_PRELOAD tee "$TARN_STDERR_COPIES/stderr.$$" >&2)
exec "$TARN_REAL_PYTHON" "$@"
