#!/bin/sh
# Installs corvessa with pip, from the wheels in DIR alone, into a new virtual environment of
# the interpreter PY (tools/with-python.sh sets it), runs examples/demo.py with it from
# outside the checkout, and prints the file name of the extension pip chose.
#
# Usage: with-python.sh PYTHON install-check.sh DIR
set -eu
here=$(cd "$(dirname "$0")" && pwd)
dir=$(cd "$1" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$PY" -m venv "$tmp/venv"
"$tmp/venv/bin/python" -m pip install -q --no-index --disable-pip-version-check --no-cache-dir \
  --find-links "$dir" corvessa >"$tmp/pip.log" 2>&1 || { cat "$tmp/pip.log" >&2; exit 1; }
cd "$tmp"
"$tmp/venv/bin/python" "$here/../examples/demo.py" >"$tmp/demo.log" 2>&1 || { cat "$tmp/demo.log" >&2; exit 1; }
"$tmp/venv/bin/python" -c 'import os, corvessa.util.queue as q; print(os.path.basename(q.__file__))'
