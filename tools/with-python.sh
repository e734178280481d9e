#!/bin/sh
# Runs COMMAND with PY naming the interpreter PYTHON as COMMAND sees it. An interpreter of a
# Debian root (a path below a root's directory, see tools/sid-root.sh) is run inside its
# root: COMMAND runs there, in the same directory, with PY the path inside the root and
# TARN_ROOT the root's directory. Any other interpreter: COMMAND runs here with PY=PYTHON.
#
# Usage: with-python.sh PYTHON COMMAND...
set -eu
here=$(cd "$(dirname "$0")" && pwd)
PY=$1
shift
if root=$(bash "$here/sid-root.sh" of --made "$PY" 2>/dev/null); then
  PY=${PY#"$root"}
  TARN_ROOT=$root
  export PY TARN_ROOT
  exec bash "$here/sid-root.sh" run-in "$root" "$@"
fi
export PY
exec "$@"
