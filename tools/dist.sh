#!/usr/bin/env bash
# The release, in DIST: a wheel for each interpreter, built by that interpreter's own
# `pip wheel` through the build back end (scikit-build-core, from the interpreter's
# wheelhouse that tools/setup.sh made, which packs the extension stripped and tags the
# wheel with the interpreter's platform), a wheel of the stable ABI (cp312-abi3) for each
# CPU, built the same way by its oldest interpreter of 3.12 or later, and the sdist, by
# pypa's build; then auditwheel repairs each wheel to the manylinux tag its binary earns.
# The wheels of an interpreter of another CPU's root are cross-compiled, as make test builds
# for it (cross_wheel). The wheels as built stay in build-dist/wheels/; DIST holds only the repaired
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
# The newest tag a release may have on the wheel's CPU, the oldest that CPU has (riscv64 has
# none older than glibc 2.31): auditwheel gives a wheel the tag its binary earns, and a
# wheel that needs newer libraries than this is refused.
floor_of() {
  case $1 in *_riscv64.whl) echo manylinux_2_31_riscv64 ;; *) echo "manylinux_2_17_$(basename "$1" .whl | sed 's/.*-linux_//')" ;; esac
}
# The glibc minor of a manylinux tag or of a repaired wheel's name (its one manylinux_2_N tag,
# beside the older aliases such as manylinux2014).
glibc_of() { echo "$1" | grep -o 'manylinux_2_[0-9]*' | head -n 1 | cut -d_ -f3; }
export SOURCE_DATE_EPOCH=315532800
start=$SECONDS
for tool in auditwheel abi3audit twine; do
  command -v $tool >/dev/null || { echo "make dist: no $tool (tools/setup.sh installs it from PyPI into $build/tools)" >&2; exit 1; }
done

# Repairs one wheel into DIST, quietly; when auditwheel refuses it, says which symbol
# versions it found and where the symbols that ask for them can be seen.
repair() {
  local floor repaired
  floor=$(floor_of "$1")
  # The tag the binary earns, on any CPU (a tag named here must be one of this machine's).
  if auditwheel repair --plat auto -w build-dist/repaired "$1" >build-dist/repair.log 2>&1; then
    repaired=$(ls build-dist/repaired/*.whl)
    if [ "$(glibc_of "$repaired")" -le "$(glibc_of "$floor")" ]; then
      mv "$repaired" "$dist"/
      return
    fi
    rm -f "$repaired"
  fi
  cat build-dist/repair.log >&2
  auditwheel show "$1" >&2 || true
  echo "make dist: $(basename "$1") needs more than $floor allows; objdump -T of its extension names" \
    "the symbols of each version" >&2
  return 1
}
# The CPU an interpreter runs on: that of its Debian root, else this machine's.
cpu_of() { bash "$here/sid-root.sh" foreign "$1" 2>/dev/null || echo amd64; }
minor_of() { sh "$here/with-python.sh" "$1" sh -c '"$PY" -c "import sys; print(sys.version_info[1])"'; }
machine_of() { sh "$here/with-python.sh" "$1" sh -c '"$PY" -c "import platform; print(platform.machine())"'; }
# pip wheel of the checkout for each interpreter given, into $built, with the further pip
# arguments in $wheel_args.
wheels() {
  local python native=()
  for python in "$@"; do
    if [ "$(cpu_of "$python")" = amd64 ]; then native+=("$python"); else cross_wheel "$python"; fi
  done
  [ ${#native[@]} -eq 0 ] && return
  # The back end is given the CMake binary that make build runs (as CMake names itself): a
  # `cmake` found first on PATH may be a script of some interpreter's CMake package, which
  # does not run inside pip's isolated build environment (the back end would then ask for
  # CMake from the index).
  # shellcheck disable=SC2016
  bash "$here/each-python.sh" 'CMAKE_EXECUTABLE=$(echo '\''message("${CMAKE_COMMAND}")'\'' | cmake -P /dev/stdin 2>&1) \
    PIP_NO_INDEX=1 PIP_FIND_LINKS='"$build"'/wheelhouse/$VERSION "$PY" -m pip wheel -q \
    --no-deps --no-cache-dir '"$wheel_args"' -w '"$built"' .' "${native[@]}"
}
# The wheel of an interpreter of another CPU's root, built as make test builds for it: the
# amd64 root's interpreter of the same version runs the back end, with the CPU's cross
# compiler against its root as sysroot (tools/cross.cmake), the interpreter's own
# description (python-info.py) and its platform's tag.
cross_wheel() {
  local python=$1 cpu_root info minor machine
  cpu_root=$(bash "$here/sid-root.sh" of --made "$python")
  info=$(sh "$here/with-python.sh" "$python" sh -c '"$PY" "$0"' "$here/python-info.py")
  minor=$(minor_of "$python")
  machine=$(machine_of "$python")
  echo "=== CPython 3.$minor of $(cpu_of "$python") ($python), cross-compiled"
  # shellcheck disable=SC2086,SC2016
  TARN_PYTHON_INFO=$info _PYTHON_HOST_PLATFORM=linux-$machine PIP_NO_INDEX=1 PIP_FIND_LINKS=$build/wheelhouse/3.$minor \
    bash "$here/sid-root.sh" cross "$cpu_root" "/usr/bin/python3.$minor" -m pip wheel -q --no-deps --no-cache-dir \
      -C "cmake.define.CMAKE_TOOLCHAIN_FILE=$here/cross.cmake" $wheel_args -w "$built" .
}
# The files named, one a line, 3.8's before 3.10's.
by_version() { printf '%s\n' "$@" | sort -V; }

rm -rf "$dist" "$built" build-dist/choice build-dist/repaired
mkdir -p "$dist" "$built" build-dist/repaired
wheel_args= wheels "$@"
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
wheel_args="-C wheel.py-api=cp312" wheels "${stable_builders[@]}"
echo "=== sdist"
"$build/tools/venv/bin/python" -m build -q --sdist --no-isolation --outdir "$dist" . >build-dist/sdist.log 2>&1 ||
  { cat build-dist/sdist.log >&2; exit 1; }

echo "=== auditwheel repair"
for wheel in "$built"/*.whl; do
  echo "$(basename "$wheel"): the tag it earns, at most $(floor_of "$wheel")"
  repair "$wheel"
done
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
      cp "$dist"/*-abi3-*"$(machine_of "$python")".whl "$only"/
    fi
    alone=$(sh "$here/with-python.sh" "$python" sh "$here/install-check.sh" "$only")
    choices="only the stable ABI's wheel: $alone; "
  fi
  release=$(sh "$here/with-python.sh" "$python" sh "$here/install-check.sh" "$dist")
  echo "$cpu 3.$minor: ${choices}the release: $release; demo ran"
done

echo "=== sizes"
by_version "$built"/*.whl "$dist"/* | while read -r file; do
  printf '%8d  %s\n' "$(stat -c %s "$file")" "$file"
done
echo "=== twine check --strict"
twine --no-color check --strict "$dist"/*
files=("$dist"/*)
echo "dist: ${#files[@]} files in $dist/ in $((SECONDS - start)) s"
