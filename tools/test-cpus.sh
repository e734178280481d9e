#!/usr/bin/env bash
# make test-cpus: the whole suite on each CPU named (the roots of make sid-roots), under
# emulation: every CPython its root has, cross-compiled in the amd64 root (tools/build.sh),
# as one CTest run per CPU. A CPU without a root is reported, and the others go on. Ends
# with one line per CPU.
#
# Usage: test-cpus.sh CPU...   (BUILD and JOBS from make)
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
status=0
results=()
for cpu in "$@"; do
  if ! root=$(bash "$here/sid-root.sh" dir "$cpu"); then
    results+=("$cpu: no root; make it with: make sid-roots CPUS=$cpu")
    status=1
    continue
  fi
  pythons=$(sh "$here/find-python.sh" --cpus | grep "^$root/" | tr '\n' ' ')
  echo "=== $cpu: $pythons"
  start=$SECONDS
  if make -C "$here/.." test PYTHONS="$pythons"; then
    results+=("$cpu: ok ($((SECONDS - start)) s)")
  else
    results+=("$cpu: FAILED ($((SECONDS - start)) s)")
    status=1
  fi
done
printf '%s\n' "${results[@]}"
exit $status
