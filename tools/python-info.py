"""Describes the interpreter that runs this script as a build target of corvessa.util.queue.

Prints five lines: the interpreter's own path, its version ("3.12", "3.14d" for a debug
build, "3.14-aarch64" for another CPU), the include directory, the extension suffix and the path of the shared libpython
(empty where there is none). Exits 1 with the reason on stderr when the interpreter is not
one the module builds for: CPython 3.8 or later, with its headers and the global
interpreter lock; with --embed (the C++ tests, which embed the interpreter), also a shared
libpython. Written to run on any Python, old ones too.

Usage: python python-info.py [--embed]
"""
import os
import platform
import sys
import sysconfig

OLDEST = (3, 8)


def reason(embed):
    if platform.python_implementation() != "CPython":
        return "not CPython but %s" % platform.python_implementation()
    version = sys.version_info[:2]
    if version < OLDEST:
        return "CPython %d.%d" % version
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        return "a free-threaded build"
    include = sysconfig.get_paths()["include"]
    if not os.path.isfile(os.path.join(include, "Python.h")):
        return "no headers (no Python.h in %s)" % include
    if embed and not shared_library():
        return "no shared libpython"
    return None


def shared_library():
    """The shared libpython, or "" when the interpreter has none."""
    path = os.path.join(sysconfig.get_config_var("LIBDIR") or "", sysconfig.get_config_var("LDLIBRARY") or "")
    return path if sysconfig.get_config_var("Py_ENABLE_SHARED") and os.path.isfile(path) else ""


def version():
    """"3.12"; a debug build (its own ABI, "3.14d") is a build target of its own, and so is
    one of a CPU other than x86_64, named with the CPU ("3.14-aarch64")."""
    debug = "d" if sysconfig.get_config_var("Py_DEBUG") else ""
    machine = platform.machine()
    cpu = "" if machine in ("x86_64", "AMD64") else "-" + machine
    return "%d.%d%s%s" % (sys.version_info[:2] + (debug, cpu))


def main():
    why = reason("--embed" in sys.argv[1:])
    if why:
        sys.stderr.write(why + "\n")
        sys.exit(1)
    print(sys.executable)
    print(version())
    print(sysconfig.get_paths()["include"])
    print(sysconfig.get_config_var("EXT_SUFFIX"))
    print(shared_library())


if __name__ == "__main__":
    main()
