#!/bin/sh
# Prints the CPython interpreters to build for, one path per line: $PYTHON alone when it is
# set, else the newest release of each supported CPython that pyenv has. An interpreter qualifies
# when tools/python-info.py accepts it (headers and a shared libpython included). Exits 1
# with one line on stderr when none does.
set -u
here=$(cd "$(dirname "$0")" && pwd)
usage="corvessa.util.queue builds for CPython 3.8 to 3.13 with headers and a shared libpython; name one with PYTHON=/path/to/python3.X (for example PYTHON=\$(pyenv prefix 3.12.1)/bin/python3.12)"
# The reason an interpreter is refused (stdout), or success.
check() { "$1" "$here/python-info.py" 2>&1 >/dev/null; }
# The interpreter's own path (a pyenv shim resolves to the interpreter behind it).
real() { "$1" "$here/python-info.py" 2>/dev/null | head -n 1; }
if [ -n "${PYTHON:-}" ]; then
  if ! command -v "$PYTHON" >/dev/null 2>&1; then
    echo "PYTHON=$PYTHON: no such interpreter; $usage" >&2; exit 1
  fi
  if ! why=$(check "$PYTHON"); then
    echo "PYTHON=$PYTHON is not a build target (${why:-it does not run}); $usage" >&2; exit 1
  fi
  real "$PYTHON"; exit 0
fi
found=
if command -v pyenv >/dev/null 2>&1; then
  # The newest release of each minor version, oldest minor first; python-info.py decides
  # which minor versions are supported.
  versions=$(pyenv versions --bare 2>/dev/null | grep -E '^3\.[0-9]+\.[0-9]+$' | sort -t. -k2,2n -k3,3nr)
  for minor in $(echo "$versions" | cut -d. -f2 | uniq); do
    for v in $(echo "$versions" | grep -E "^3\.$minor\."); do
      p="$(pyenv prefix "$v" 2>/dev/null)/bin/python3.$minor"
      if [ -x "$p" ] && check "$p" >/dev/null; then echo "$p"; found=1; break; fi
    done
  done
fi
[ -n "$found" ] || { echo "no CPython to build for found with pyenv; $usage" >&2; exit 1; }
