#!/bin/sh
# Sourced by the checks that build in trees of their own (check-asan, check-debug-malloc,
# coverage), with their arguments PYTHON [JOBS] and BUILD_ROOT set (build-asan, ...). Sets
# PY, JOBS, ROOT, VERSION, OUT (ROOT/BUILD_ROOT/<version>) and PKG (OUT/pkg/corvessa), and
# makes PKG afresh (tools/package-tree.sh): the Python parts of the repository's corvessa
# package, without any extension, for the build to place its own extension in. A fresh tree
# each run, so that no stale module lingers, and the plain extension in corvessa/util is
# left alone.
PY=$1
JOBS=${2:-2}
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
VERSION=$("$PY" "$ROOT/tools/python-info.py" | sed -n 2p)
OUT=$ROOT/$BUILD_ROOT/$VERSION
PKG=$OUT/pkg/corvessa
sh "$ROOT/tools/package-tree.sh" "$PKG"
