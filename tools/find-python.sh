#!/bin/sh
# Prints the path of the CPython 3.8 interpreter to build against: $PYTHON when set,
# else the newest 3.8 that pyenv knows. Exits 1 with one line on stderr when none is found.
set -u
fail() { echo "CPython 3.8 not found: set PYTHON to the path of a python3.8 interpreter (for example PYTHON=\$(pyenv prefix 3.8.18)/bin/python3.8)" >&2; exit 1; }
is38() { [ -x "$1" ] && [ "$("$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)" = "3.8" ]; }
if [ -n "${PYTHON:-}" ]; then
  is38 "$PYTHON" || fail
  echo "$PYTHON"; exit 0
fi
command -v pyenv >/dev/null 2>&1 || fail
for v in $(pyenv versions --bare 2>/dev/null | grep -E '^3\.8(\.[0-9]+)?$' | sort -t. -k3 -n -r); do
  p="$(pyenv prefix "$v" 2>/dev/null)/bin/python3.8"
  if is38 "$p"; then echo "$p"; exit 0; fi
done
fail
