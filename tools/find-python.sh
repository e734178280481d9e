#!/bin/sh
# Prints the CPython interpreters to build for, one path per line: $PYTHON alone when it is
# set, else the newest release of each minor version that pyenv has, and the interpreters of
# the Debian root (tools/sid-root.sh) when it is made, the root's taking the place of
# pyenv's for the same minor version. An interpreter of the root is named by its path below
# the root's directory (tools/with-python.sh runs it there). An interpreter qualifies when
# tools/python-info.py accepts it (headers and a shared libpython included). Exits 1 with
# one line on stderr when none does.
#
# With --missing, prints instead the minor versions that the root brings and this machine
# lacks without it (nothing when the root is made); with --cpus, the interpreters of the
# roots of other CPUs that are made (make sid-roots), which no other use of this script
# names.
set -u
here=$(cd "$(dirname "$0")" && pwd)
usage="corvessa.util.queue builds for CPython 3.8 and later with headers and a shared libpython; name one with PYTHON=/path/to/python3.X (for example PYTHON=\$(pyenv prefix 3.12.1)/bin/python3.12)"
# The minor versions the Debian root brings.
ROOT_MINORS="13 14 15"
# The reason an interpreter is refused (stdout), or success.
check() { sh "$here/with-python.sh" "$1" sh -c '"$PY" "$0" --embed' "$here/python-info.py" 2>&1 >/dev/null; }
# The interpreter's own path (a pyenv shim resolves to the interpreter behind it).
real() { sh "$here/with-python.sh" "$1" sh -c '"$PY" "$0"' "$here/python-info.py" 2>/dev/null | sed -n 1p; }
root=$(bash "$here/sid-root.sh" dir 2>/dev/null) || root=

if [ "${1:-}" = --cpus ]; then
  for cpu in $(bash "$here/sid-root.sh" cpus); do
    cpu_root=$(bash "$here/sid-root.sh" dir "$cpu" 2>/dev/null) || continue
    for minor in $ROOT_MINORS; do
      p="$cpu_root/usr/bin/python3.$minor"
      [ -x "$p" ] || continue
      if why=$(check "$p"); then echo "$p"; else echo "$p is left out: ${why:-it does not run}" >&2; fi
    done
  done
  exit 0
fi

if [ -n "${PYTHON:-}" ] && [ "${1:-}" != --missing ]; then
  # An interpreter below a Debian root's directory is that root's, and needs it made.
  if in_root=$(bash "$here/sid-root.sh" of "$PYTHON" 2>/dev/null) &&
     ! bash "$here/sid-root.sh" of --made "$PYTHON" >/dev/null 2>&1; then
    echo "PYTHON=$PYTHON is an interpreter of the Debian root at $in_root, which is not made; make it with: make $(bash "$here/sid-root.sh" target "$in_root")" >&2
    exit 1
  fi
  [ -x "$PYTHON" ] || command -v "$PYTHON" >/dev/null 2>&1 ||
    { echo "PYTHON=$PYTHON: no such interpreter; $usage" >&2; exit 1; }
  if ! why=$(check "$PYTHON"); then
    echo "PYTHON=$PYTHON is not a build target (${why:-it does not run}); $usage" >&2; exit 1
  fi
  if [ -n "$in_root" ]; then echo "$in_root$(real "$PYTHON")"; else real "$PYTHON"; fi
  exit 0
fi

# "minor path" lines, the newest pyenv release of each minor version first.
candidates() {
  if [ -n "$root" ]; then
    for minor in $ROOT_MINORS; do
      p="$root/usr/bin/python3.$minor"
      [ -x "$p" ] && echo "$minor $p"
    done
  fi
  if command -v pyenv >/dev/null 2>&1; then
    versions=$(pyenv root 2>/dev/null)/versions
    pyenv versions --bare 2>/dev/null | grep -E '^3\.[0-9]+\.[0-9]+$' | sort -t. -k2,2n -k3,3nr |
      while read -r v; do
        minor=$(echo "$v" | cut -d. -f2)
        echo "$minor $versions/$v/bin/python3.$minor"
      done
  fi
}

all=$(candidates)
if [ "${1:-}" = --missing ]; then
  [ -n "$root" ] && exit 0
  have=$(echo "$all" | cut -d' ' -f1 | sort -u)
  for minor in $ROOT_MINORS; do echo "$have" | grep -qx "$minor" || echo "3.$minor"; done
  exit 0
fi

found=
for minor in $(echo "$all" | cut -d' ' -f1 | sort -n | uniq); do
  for p in $(echo "$all" | awk -v m="$minor" '$1 == m {print $2}'); do
    if [ -x "$p" ] && check "$p" >/dev/null; then echo "$p"; found=1; break; fi
  done
done
[ -n "$found" ] || { echo "no CPython to build for found with pyenv or in the Debian root; $usage" >&2; exit 1; }
