#!/usr/bin/env bash
# The release, in DIST: a wheel for each interpreter, built by that interpreter's own
# `pip wheel` through the build back end (scikit-build-core, from the interpreter's
# wheelhouse that tools/setup.sh made, which packs the extension stripped and tags the
# wheel with the interpreter's platform), a wheel of the stable ABI (cp312-abi3) for each
# CPU, built the same way by its oldest interpreter of 3.12 or later, and the sdist, by
# pypa's build; then auditwheel repairs each wheel to the manylinux tag its binary earns.
# The interpreters of another CPU's root build their wheels there, natively under
# emulation. The wheels as built stay in build-dist/wheels/; DIST holds only the repaired
# wheels and the sdist. Ends with auditwheel show of each wheel, abi3audit of the stable
# ABI's, pip's choice for each interpreter (only the stable ABI's wheel at hand, then all of
# them: each installed into a new virtual environment, where examples/demo.py runs), the
# sizes, and twine check --strict of all. Every archive is dated 1980-01-01
# (SOURCE_DATE_EPOCH), so that a second run makes the same bytes.
#
# Usage: dist.sh DIST PYTHON...   (DIST relative to the repository root; BUILD as make's)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cd "$here/.."
dist=$1
shift
build=$(cd "${BUILD:-build}" && pwd)
built=build-dist/wheels
# The oldest tag a release may have on the wheel's CPU: auditwheel gives a wheel a better one
# when its binary earns it, and refuses one that needs newer libraries than this (riscv64
# has no tag older than glibc 2.31).
floor_of() {
  case $1 in *_riscv64.whl) echo manylinux_2_31_riscv64 ;; *) echo "manylinux_2_17_$(basename "$1" .whl | sed 's/.*-linux_//')" ;; esac
}
export SOURCE_DATE_EPOCH=315532800
start=$SECONDS
for tool in auditwheel abi3audit twine; do
  command -v $tool >/dev/null || { echo "make dist: no $tool (tools/setup.sh installs it from PyPI into $build/tools)" >&2; exit 1; }
done

# Repairs one wheel into DIST, quietly; when auditwheel refuses it, says which symbol
# versions it found and where the symbols that ask for them can be seen.
repair() {
  local floor
  floor=$(floor_of "$1")
  auditwheel repair --plat "$floor" -w "$dist" "$1" >build-dist/repair.log 2>&1 && return
  cat build-dist/repair.log >&2
  auditwheel show "$1" >&2 || true
  echo "make dist: $(basename "$1") needs more than $floor allows; objdump -T of its extension names" \
    "the symbols of each version" >&2
  return 1
}
# The CPU an interpreter runs on: that of its Debian root, else this machine's.
cpu_of() {
  local root
  if root=$(bash "$here/sid-root.sh" of --made "$1" 2>/dev/null); then bash "$here/sid-root.sh" cpu "$root"; else echo amd64; fi
}
minor_of() { sh "$here/with-python.sh" "$1" sh -c '"$PY" -c "import sys; print(sys.version_info[1])"'; }
# The files named, one a line, 3.8's before 3.10's.
by_version() { printf '%s\n' "$@" | sort -V; }

rm -rf "$dist" "$built" build-dist/choice
mkdir -p "$dist" "$built"
# shellcheck disable=SC2016
bash "$here/each-python.sh" \
  'PIP_NO_INDEX=1 PIP_FIND_LINKS='"$build"'/wheelhouse/$VERSION "$PY" -m pip wheel -q --no-deps --no-cache-dir -w '"$built"' .' "$@"
# The stable ABI's wheel of each CPU, by its oldest interpreter of 3.12 or later.
cpus=
stable_builders=()
for python in "$@"; do
  cpu=$(cpu_of "$python")
  case " $cpus " in *" $cpu "*) continue ;; esac
  [ "$(minor_of "$python")" -ge 12 ] || continue
  cpus="$cpus $cpu"
  stable_builders+=("$python")
done
# shellcheck disable=SC2016
bash "$here/each-python.sh" \
  'PIP_NO_INDEX=1 PIP_FIND_LINKS='"$build"'/wheelhouse/$VERSION "$PY" -m pip wheel -q --no-deps --no-cache-dir -C wheel.py-api=cp312 -w '"$built"' .' \
  "${stable_builders[@]}"
echo "=== sdist"
"$build/tools/venv/bin/python" -m build -q --sdist --no-isolation --outdir "$dist" . >build-dist/sdist.log 2>&1 ||
  { cat build-dist/sdist.log >&2; exit 1; }

echo "=== auditwheel repair --plat $floor"
for wheel in "$built"/*.whl; do repair "$wheel"; done
by_version "$dist"/*.whl | while read -r wheel; do
  echo "=== auditwheel show $wheel"
  auditwheel show "$wheel" 2>build-dist/show.log || { cat build-dist/show.log >&2; exit 1; }
done
for wheel in "$dist"/*-abi3-*.whl; do
  echo "=== abi3audit $wheel"
  abi3audit --strict --report "$wheel" || exit 1
done

# pip's choice on each interpreter: from the stable ABI's wheel of its CPU alone (3.12 on),
# then from every wheel of the release, which has the interpreter's own.
echo "=== pip's choice"
for python in "$@"; do
  cpu=$(cpu_of "$python")
  minor=$(minor_of "$python")
  choices=
  if [ "$minor" -ge 12 ]; then
    only=build-dist/choice/$cpu
    if [ ! -d "$only" ]; then
      mkdir -p "$only"
      cp "$dist"/*-abi3-*"$(sh "$here/with-python.sh" "$python" sh -c '"$PY" -c "import platform; print(platform.machine())"')".whl "$only"/
    fi
    choices="only the stable ABI's wheel: $(sh "$here/with-python.sh" "$python" sh "$here/install-check.sh" "$only"); "
  fi
  echo "$cpu 3.$minor: ${choices}the release: $(sh "$here/with-python.sh" "$python" sh "$here/install-check.sh" "$dist"); demo ran"
done

echo "=== sizes"
by_version "$built"/*.whl "$dist"/* | while read -r file; do
  printf '%8d  %s\n' "$(stat -c %s "$file")" "$file"
done
echo "=== twine check --strict"
twine --no-color check --strict "$dist"/*
files=("$dist"/*)
echo "dist: ${#files[@]} files in $dist/ in $((SECONDS - start)) s"
