#!/usr/bin/env bash
# Runs a shell command once per interpreter, with PY (the interpreter) and VERSION ("3.12")
# set, each under a heading; then one line per version saying how it went. Fails when any
# run failed, after all have run. The command for an interpreter of the Debian root runs
# inside the root (tools/with-python.sh), with the root's own tools. Where TARN_NATIVE_ONLY
# gives a reason, an interpreter of another CPU's root (run under emulation) is skipped with it.
#
# Usage: each-python.sh COMMAND PYTHON...
set -u
command=$1
shift
here=$(cd "$(dirname "$0")" && pwd)
results=()
status=0
for python in "$@"; do
  VERSION=$(sh "$here/with-python.sh" "$python" sh -c '"$PY" "$0"' "$here/python-info.py" | sed -n 2p)
  echo "=== CPython $VERSION ($python)"
  if [ -n "${TARN_NATIVE_ONLY:-}" ] && bash "$here/sid-root.sh" foreign "$python" >/dev/null 2>&1; then
    echo "skipped: $TARN_NATIVE_ONLY"
    results+=("CPython $VERSION: skipped: $TARN_NATIVE_ONLY")
    continue
  fi
  if VERSION=$VERSION sh "$here/with-python.sh" "$python" bash -c "$command"; then
    results+=("CPython $VERSION: ok")
  else
    results+=("CPython $VERSION: FAILED")
    status=1
  fi
done
[ $# -gt 1 ] && printf '%s\n' "${results[@]}"
exit $status
