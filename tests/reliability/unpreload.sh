#!/bin/sh
# Runs a native tool that a test starts (nm, the compiler, cmake, a shell script...)
# without the sanitizer runtime that the ASan run preloads into every process: those
# tools are not ours, and LeakSanitizer would fail them on their own exit-time leaks.
# check-asan.sh puts symbolic links to this script, named after the tools, first on PATH.
tool=$(basename "$0")
shims=$(cd "$(dirname "$0")" && pwd)
path=
old_ifs=$IFS
IFS=:
for dir in $PATH; do
  [ "$dir" = "$shims" ] && continue
  path=${path:+$path:}$dir
done
IFS=$old_ifs
unset LD_PRELOAD ASAN_OPTIONS LSAN_OPTIONS UBSAN_OPTIONS
PATH=$path exec "$tool" "$@"
