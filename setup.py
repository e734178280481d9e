"""Builds and installs the package corvessa with its compiled corvessa.util.queue.

The extension has one build definition, CMakeLists.txt. build_ext below only drives it:
it configures a CMake build tree in the build's temporary directory for the running
interpreter, without the C++ tests, with the package directory of the build tree as the
place for the extension, and builds it there. No compiler flag is repeated here.

    python3.8 -m pip install --no-build-isolation .
    python3.8 -m pip wheel --no-build-isolation --no-deps --no-index -w dist .

Building a wheel (which `pip install .` does too) needs the `wheel` package. When the
interpreter cannot import one, the build takes Debian's python3-wheel (pure Python,
installed with the machine at /usr/lib/python3/dist-packages/wheel), for this build
process only; nothing is installed into the interpreter.
"""
import importlib.util
import os
import subprocess
import sys

from setuptools import Command, Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))
SYSTEM_WHEEL = "/usr/lib/python3/dist-packages/wheel"
JOBS = "2"


def _load_system_wheel():
    """Imports the package `wheel` from SYSTEM_WHEEL alone (not the rest of that
    directory, whose setuptools belongs to another interpreter). None when absent."""
    init = os.path.join(SYSTEM_WHEEL, "__init__.py")
    if not os.path.isfile(init):
        return None
    spec = importlib.util.spec_from_file_location("wheel", init,
                                                  submodule_search_locations=[SYSTEM_WHEEL])
    module = importlib.util.module_from_spec(spec)
    sys.modules["wheel"] = module
    dont_write = sys.dont_write_bytecode
    sys.dont_write_bytecode = True  # leave the system directory as it is
    try:
        spec.loader.exec_module(module)
        from wheel.bdist_wheel import bdist_wheel
    except Exception:
        for name in [n for n in sys.modules if n == "wheel" or n.startswith("wheel.")]:
            del sys.modules[name]
        return None
    finally:
        sys.dont_write_bytecode = dont_write
    return bdist_wheel


def bdist_wheel_command():
    """The bdist_wheel command class of an importable `wheel`, else of Debian's
    python3-wheel; None when neither is there."""
    try:
        from wheel.bdist_wheel import bdist_wheel
        return bdist_wheel
    except ImportError:
        return _load_system_wheel()


class missing_bdist_wheel(Command):
    """Stands in for bdist_wheel when no `wheel` package can be had."""
    description = "build a wheel (needs the 'wheel' package)"
    user_options = []

    def initialize_options(self):
        pass

    def finalize_options(self):  # pip's metadata step finalizes bdist_wheel too
        sys.exit("building a wheel needs the 'wheel' package, which python%d.%d cannot import "
                 "and which is not at %s: apt-get install python3-wheel"
                 % (sys.version_info[0], sys.version_info[1], SYSTEM_WHEEL))

    def run(self):
        pass


class cmake_build_ext(build_ext):
    """Builds each extension with the project's CMake build."""

    def build_extension(self, ext):
        target = os.path.abspath(self.get_ext_fullpath(ext.name))
        package_dir = os.path.dirname(target)
        build_dir = os.path.join(os.path.abspath(self.build_temp), "cmake")
        os.makedirs(package_dir, exist_ok=True)
        jobs = str(self.parallel) if isinstance(self.parallel, int) and self.parallel > 1 else JOBS
        self.spawn(["cmake", "-S", ROOT, "-B", build_dir,
                    "-DPYTHON=" + sys.executable,
                    "-DTARN_BUILD_TESTS=OFF",
                    "-DTARN_PACKAGE_DIR=" + package_dir])
        self.spawn(["cmake", "--build", build_dir, "--target", "queue", "-j", jobs])
        if not os.path.isfile(target):
            sys.exit("the CMake build did not produce %s" % target)


def main():
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        long_description = f.read()
    setup(
        name="corvessa",
        version="0.1.0",
        description="corvessa.util.queue: a compiled last-in, first-out queue.Queue for CPython 3.8",
        long_description=long_description,
        long_description_content_type="text/markdown",
        python_requires="==3.8.*",
        packages=["corvessa", "corvessa.util", "corvessa.packages", "corvessa.packages.six"],
        package_data={"corvessa": ["py.typed"], "corvessa.util": ["queue.pyi"]},
        ext_modules=[Extension("corvessa.util.queue", sources=[])],
        cmdclass={"build_ext": cmake_build_ext,
                  "bdist_wheel": bdist_wheel_command() or missing_bdist_wheel},
        # Beside, not inside, the CMake tree of `make build` (build/).
        options={"build": {"build_base": "build-setup"}},
        zip_safe=False,
        classifiers=[
            "Programming Language :: C++",
            "Programming Language :: Python :: 3.8",
            "Programming Language :: Python :: Implementation :: CPython",
            "Operating System :: POSIX :: Linux",
        ],
    )


if __name__ == "__main__":
    main()
