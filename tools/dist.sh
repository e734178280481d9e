#!/usr/bin/env bash
# The release, in DIST: a wheel for each interpreter, built by that interpreter's own pip
# through the back end (tools/build_backend.py, which packs the extension stripped and tags
# the wheel linux_x86_64), and the sdist; then auditwheel, from the Debian root
# (tools/sid-root.sh), repairs each wheel to the manylinux tag its binary earns. The wheels
# as built stay in build-dist/wheels/; DIST holds only the repaired wheels and the sdist.
# Ends with auditwheel show of each wheel, the sizes, and twine check --strict of all.
#
# Usage: dist.sh DIST PYTHON...   (DIST relative to the repository root)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cd "$here/.."
dist=$1
shift
built=build-dist/wheels
# The oldest tag a release may have: auditwheel gives a wheel a better one when its binary
# earns it, and refuses one that needs newer libraries than this.
floor=manylinux_2_17_x86_64
start=$SECONDS
bash "$here/sid-root.sh" dir >/dev/null ||
  { echo "make dist: auditwheel and twine come from the Debian root; make it with: make sid-root" >&2; exit 1; }
epoch=$(sh "$here/with-python.sh" "$1" sh -c 'cd tools && "$PY" -c "import build_backend; print(build_backend.EPOCH)"')

in_root() { bash "$here/sid-root.sh" run "$@" </dev/null; }
# Repairs one wheel into DIST, quietly, its entries dated at the back end's fixed time as
# the built wheel's are (auditwheel rewrites the archive); when auditwheel refuses it, says
# which symbol versions it found and where the symbols that ask for them can be seen.
repair() {
  SOURCE_DATE_EPOCH=$epoch in_root auditwheel repair --plat "$floor" -w "$dist" "$1" >build-dist/repair.log 2>&1 && return
  cat build-dist/repair.log >&2
  in_root auditwheel show "$1" >&2 || true
  echo "make dist: $(basename "$1") needs more than $floor allows; objdump -T of its extension" \
    "(in build-wheel/<version>/stripped/) names the symbols of each version" >&2
  return 1
}
# The files named, one a line, 3.8's before 3.10's.
by_version() { printf '%s\n' "$@" | sort -V; }

rm -rf "$dist" "$built"
mkdir -p "$dist" "$built"
bash "$here/each-python.sh" \
  '"$PY" -m pip wheel --no-build-isolation --no-deps --no-index --no-cache-dir -q -w '"$built"' .' "$@"
echo "=== sdist"
sh "$here/with-python.sh" "$1" sh -c '"$PY" tools/build_backend.py "$0"' "$dist"

echo "=== auditwheel repair --plat $floor"
for wheel in "$built"/*.whl; do repair "$wheel"; done
by_version "$dist"/*.whl | while read -r wheel; do
  echo "=== auditwheel show $wheel"
  in_root auditwheel show "$wheel" 2>build-dist/show.log || { cat build-dist/show.log >&2; exit 1; }
done

echo "=== sizes"
by_version "$built"/*.whl "$dist"/* | while read -r file; do
  printf '%8d  %s\n' "$(stat -c %s "$file")" "$file"
done
echo "=== twine check --strict"
in_root twine --no-color check --strict "$dist"/*
files=("$dist"/*)
echo "dist: ${#files[@]} files in $dist/ in $((SECONDS - start)) s"
