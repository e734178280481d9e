#!/usr/bin/env bash
# The release, in DIST: a wheel for each interpreter, built by that interpreter's own
# `pip wheel` through the build back end (scikit-build-core, from the interpreter's
# wheelhouse that tools/setup.sh made, which packs the extension stripped and tags the
# wheel with the interpreter's platform), and the sdist, by pypa's build; then auditwheel
# repairs each wheel to the manylinux tag its binary earns. The wheels as built stay in
# build-dist/wheels/; DIST holds only the repaired wheels and the sdist. Ends with auditwheel
# show of each wheel, the sizes, and twine check --strict of all. Every archive is dated
# 1980-01-01 (SOURCE_DATE_EPOCH), so that a second run makes the same bytes.
#
# Usage: dist.sh DIST PYTHON...   (DIST relative to the repository root; BUILD as make's)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cd "$here/.."
dist=$1
shift
build=$(cd "${BUILD:-build}" && pwd)
built=build-dist/wheels
# The oldest tag a release may have: auditwheel gives a wheel a better one when its binary
# earns it, and refuses one that needs newer libraries than this.
floor=manylinux_2_17_x86_64
export SOURCE_DATE_EPOCH=315532800
start=$SECONDS
for tool in auditwheel twine; do
  command -v $tool >/dev/null || { echo "make dist: no $tool (tools/setup.sh installs it from PyPI into $build/tools)" >&2; exit 1; }
done

# Repairs one wheel into DIST, quietly; when auditwheel refuses it, says which symbol
# versions it found and where the symbols that ask for them can be seen.
repair() {
  auditwheel repair --plat "$floor" -w "$dist" "$1" >build-dist/repair.log 2>&1 && return
  cat build-dist/repair.log >&2
  auditwheel show "$1" >&2 || true
  echo "make dist: $(basename "$1") needs more than $floor allows; objdump -T of its extension names" \
    "the symbols of each version" >&2
  return 1
}
# The files named, one a line, 3.8's before 3.10's.
by_version() { printf '%s\n' "$@" | sort -V; }

rm -rf "$dist" "$built"
mkdir -p "$dist" "$built"
# shellcheck disable=SC2016
bash "$here/each-python.sh" \
  'PIP_NO_INDEX=1 PIP_FIND_LINKS='"$build"'/wheelhouse/$VERSION "$PY" -m pip wheel -q --no-deps --no-cache-dir -w '"$built"' .' "$@"
echo "=== sdist"
"$build/tools/venv/bin/python" -m build -q --sdist --no-isolation --outdir "$dist" . >build-dist/sdist.log 2>&1 ||
  { cat build-dist/sdist.log >&2; exit 1; }

echo "=== auditwheel repair --plat $floor"
for wheel in "$built"/*.whl; do repair "$wheel"; done
by_version "$dist"/*.whl | while read -r wheel; do
  echo "=== auditwheel show $wheel"
  auditwheel show "$wheel" 2>build-dist/show.log || { cat build-dist/show.log >&2; exit 1; }
done

echo "=== sizes"
by_version "$built"/*.whl "$dist"/* | while read -r file; do
  printf '%8d  %s\n' "$(stat -c %s "$file")" "$file"
done
echo "=== twine check --strict"
twine --no-color check --strict "$dist"/*
files=("$dist"/*)
echo "dist: ${#files[@]} files in $dist/ in $((SECONDS - start)) s"
