#!/bin/sh
# Runs COMMAND with PY naming the interpreter PYTHON as COMMAND sees it. An interpreter of
# the Debian root (a path below the root's directory, see tools/sid-root.sh) is run inside
# the root: COMMAND runs there, in the same directory, with PY the path inside the root.
# Any other interpreter: COMMAND runs here with PY=PYTHON.
#
# Usage: with-python.sh PYTHON COMMAND...
set -eu
here=$(cd "$(dirname "$0")" && pwd)
PY=$1
shift
if root=$(bash "$here/sid-root.sh" of --made "$PY" 2>/dev/null); then
  PY=${PY#"$root"}
  export PY
  exec bash "$here/sid-root.sh" run-in "$root" "$@"
fi
export PY
exec "$@"
