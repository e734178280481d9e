#!/bin/sh
# Builds the one binary of the stable ABI, queue.abi3.so, with the headers of the oldest
# CPython of 3.12 or later among those this machine has and those given, in OUT/binary/,
# and the package tree OUT/pkg/corvessa that imports it: the package's Python files and the
# binary, copied. make check-abi3 runs every suite against that tree, make bench-abi3 counts
# its instructions.
#
# Usage: abi3-binary.sh OUT JOBS [PYTHON...]
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
OUT=$1
JOBS=$2
shift 2
PKG=$OUT/pkg/corvessa
minor_of() { sh "$ROOT/tools/with-python.sh" "$1" sh -c '"$PY" "$0"' "$ROOT/tools/python-info.py" | sed -n 2p | sed 's/^3\.\([0-9]*\).*/\1/'; }

builder=
for py in $(PYTHON= sh "$ROOT/tools/find-python.sh") "$@"; do
  [ "$(minor_of "$py")" -ge 12 ] && { builder=$py; break; }
done
[ -n "$builder" ] || { echo "abi3-binary: no CPython 3.12 or later to build the stable ABI with" >&2; exit 1; }
echo "=== the binary of the stable ABI, built with CPython 3.$(minor_of "$builder") ($builder)"
# shellcheck disable=SC2016
sh "$ROOT/tools/with-python.sh" "$builder" sh -c \
  'sh "$1/tools/configure.sh" "$2" "$PY" -DTARN_GENERIC_ROADS=ON -DTARN_BUILD_TESTS=OFF -DTARN_PACKAGE_DIR="$2/package" &&
   cmake --build "$2" --target queue -j "$3"' - "$ROOT" "$OUT/binary" "$JOBS"
sh "$ROOT/tools/package-tree.sh" "$PKG"
cp "$OUT/binary/package/queue.abi3.so" "$PKG/util/queue.abi3.so"
