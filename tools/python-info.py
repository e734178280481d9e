"""Describes the interpreter that runs this script as a build target of corvessa.util.queue.

Prints five lines: the interpreter's own path, its version ("3.12"), the include
directory, the extension suffix and the path of the shared libpython. Exits 1 with the reason on stderr when the interpreter
is not one the module builds for: CPython 3.8 or later, with its headers and a shared
libpython, and the global interpreter lock. Written to run on any Python, old ones too.
The build back end (tools/build_backend.py) imports it for OLDEST alone.
"""
import os
import platform
import sys
import sysconfig

OLDEST = (3, 8)


def reason():
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
    if not sysconfig.get_config_var("Py_ENABLE_SHARED") or not os.path.isfile(shared_library()):
        return "no shared libpython"
    return None


def shared_library():
    return os.path.join(sysconfig.get_config_var("LIBDIR") or "", sysconfig.get_config_var("LDLIBRARY") or "")


def main():
    why = reason()
    if why:
        sys.stderr.write(why + "\n")
        sys.exit(1)
    print(sys.executable)
    print("%d.%d" % sys.version_info[:2])
    print(sysconfig.get_paths()["include"])
    print(sysconfig.get_config_var("EXT_SUFFIX"))
    print(shared_library())


if __name__ == "__main__":
    main()
