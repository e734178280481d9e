"""The build back end of the package corvessa (PEP 517), in the standard library alone.

pyproject.toml names it, with tools/ as its backend-path, so that pip builds the package
with it, without setuptools or `wheel`. The extension has one build definition,
CMakeLists.txt: build_wheel configures a CMake tree in build-wheel/<version>/ for the
interpreter that runs the back end, without the C++ tests, builds the target queue there,
strips a copy of the extension and packs that copy with the package's Python and typing
files. The wheel is tagged with the running interpreter's own platform (linux_x86_64), as
a build back end tags what it builds: which manylinux tag the binary earns is for
auditwheel to decide, whose `repair` retags it (make dist). The entries of both archives
carry a fixed time and owner, so an archive does not depend on when or by whom it is made.

Run as a script, it writes the source distribution into DIR (default dist/):

    python3.X tools/build_backend.py [DIR]
"""
import base64
import gzip
import hashlib
import importlib.util
import io
import os
import pathlib
import re
import stat
import subprocess
import sys
import sysconfig
import tarfile
import time
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NAME = "corvessa"
VERSION = "0.1.0"
BASE = "%s-%s" % (NAME, VERSION)  # of the archives' names and the .dist-info directory
DIST_INFO = BASE + ".dist-info"
JOBS = "2"
# The package's files besides the extension, in the wheel and in the sdist.
PACKAGE_FILES = ("corvessa/**/*.py", "corvessa/py.typed", "corvessa/**/*.pyi")
# What the sdist carries besides them: the build.
BUILD_FILES = ("pyproject.toml", "README.md", "CMakeLists.txt", "tools/build_backend.py",
               "tools/python-info.py", "tools/find-python.sh",
               "src/**/*.cpp", "src/**/*.c", "src/**/*.h", "src/**/*.map")
EXTENSION_DIR = "corvessa/util"
AUTHOR = "corvessa developers"
EPOCH = 315532800  # 1980-01-01 00:00:00 UTC, the earliest time a zip entry can carry


def oldest_version():
    """The oldest CPython the module builds for: OLDEST of tools/python-info.py."""
    spec = importlib.util.spec_from_file_location("python_info", os.path.join(ROOT, "tools", "python-info.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.OLDEST


def newest_known_version():
    """The newest CPython whose private layouts the version layer knows, from the
    TARN_NEWEST_KNOWN_PYTHON line of src/core/pyversion.h (as CMakeLists.txt reads it).
    Newer ones build too, on the generic roads, so it bounds the classifiers alone."""
    with open(os.path.join(ROOT, "src", "core", "pyversion.h"), encoding="utf-8") as f:
        match = re.search(r"^#define TARN_NEWEST_KNOWN_PYTHON 0x([0-9A-Fa-f]{2})([0-9A-Fa-f]{2})0000",
                          f.read(), re.MULTILINE)
    return int(match.group(1), 16), int(match.group(2), 16)


def metadata():
    """The core metadata: the wheel's METADATA and the sdist's PKG-INFO."""
    first, last = oldest_version(), newest_known_version()
    versions = ["%d.%d" % (first[0], minor) for minor in range(first[1], last[1] + 1)]
    headers = [
        ("Metadata-Version", "2.1"),
        ("Name", NAME),
        ("Version", VERSION),
        ("Summary", "corvessa.util.queue: a compiled last-in, first-out queue.Queue for CPython %s and later"
         % versions[0]),
        ("Author", AUTHOR),
        ("Requires-Python", ">=%s" % versions[0]),
        ("Classifier", "Programming Language :: C++"),
    ] + [("Classifier", "Programming Language :: Python :: " + v) for v in versions] + [
        ("Classifier", "Programming Language :: Python :: Implementation :: CPython"),
        ("Classifier", "Operating System :: POSIX :: Linux"),
        ("Description-Content-Type", "text/markdown"),
    ]
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        readme = f.read()
    return "".join("%s: %s\n" % header for header in headers) + "\n" + readme


def wheel_tag():
    """cp3X-cp3X-<platform>: the running interpreter, its ABI and its own platform
    (linux_x86_64)."""
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return "cp%d%d-cp%d%d-%s" % (sys.version_info[:2] * 2 + (platform,))


def dist_info():
    """The wheel's .dist-info files but RECORD, as (name, text)."""
    wheel = "Wheel-Version: 1.0\nGenerator: corvessa build_backend\nRoot-Is-Purelib: false\nTag: %s\n" % wheel_tag()
    return [("METADATA", metadata()), ("WHEEL", wheel)]


def source_files(patterns):
    """The files of the source tree that the glob patterns match, as (path relative to the
    root, contents, mode), sorted."""
    root = pathlib.Path(ROOT)
    paths = sorted({p for pattern in patterns for p in root.glob(pattern) if p.is_file()})
    return [(p.relative_to(root).as_posix(),) + file_contents(str(p)) for p in paths]


def file_contents(path):
    """(contents, mode): 0o755 for an executable file, else 0o644."""
    with open(path, "rb") as f:
        data = f.read()
    return data, 0o755 if os.stat(path).st_mode & 0o111 else 0o644


def build_extension():
    """Builds the extension for the running interpreter with the CMake build; returns its path."""
    build_dir = os.path.join(ROOT, "build-wheel", "%d.%d" % sys.version_info[:2])
    package_dir = os.path.join(build_dir, "package")
    subprocess.run(["cmake", "-S", ROOT, "-B", build_dir, "-DPYTHON=" + sys.executable,
                    "-DTARN_BUILD_TESTS=OFF", "-DTARN_PACKAGE_DIR=" + package_dir], check=True)
    subprocess.run(["cmake", "--build", build_dir, "--target", "queue", "-j", JOBS], check=True)
    return os.path.join(package_dir, "queue" + sysconfig.get_config_var("EXT_SUFFIX"))


def stripped_copy(extension):
    """A copy of the extension without debug information and local symbols, in stripped/ beside
    the package directory; the build's own keeps them, with the same build ID, for a debugger."""
    directory = os.path.join(os.path.dirname(os.path.dirname(extension)), "stripped")
    os.makedirs(directory, exist_ok=True)
    copy = os.path.join(directory, os.path.basename(extension))
    subprocess.run(["strip", "--strip-unneeded", "-o", copy, extension], check=True)
    return copy


def add_to_wheel(whl, name, data, mode):
    """Adds one file to the wheel; returns its RECORD line."""
    info = zipfile.ZipInfo(name, date_time=time.gmtime(EPOCH)[:6])
    info.external_attr = (stat.S_IFREG | mode) << 16
    info.compress_type = zipfile.ZIP_DEFLATED
    whl.writestr(info, data)
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return "%s,sha256=%s,%d\n" % (name, digest, len(data))


def write_wheel(path, files):
    """Writes the wheel of files, (name, contents, mode), with its .dist-info at the end."""
    files = sorted(files) + [(DIST_INFO + "/" + name, text.encode(), 0o644)
                             for name, text in dist_info()]
    record = DIST_INFO + "/RECORD"
    with zipfile.ZipFile(path, "w") as whl:
        lines = [add_to_wheel(whl, name, data, mode) for name, data, mode in files]
        add_to_wheel(whl, record, ("".join(lines) + record + ",,\n").encode(), 0o644)


def add_to_sdist(tar, name, data, mode):
    info = tarfile.TarInfo(name)
    info.size, info.mode, info.mtime = len(data), mode, EPOCH
    tar.addfile(info, io.BytesIO(data))


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    """METADATA alone; WHEEL comes with the wheel."""
    directory = os.path.join(metadata_directory, DIST_INFO)
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, "METADATA"), "wb") as f:
        f.write(metadata().encode())
    return DIST_INFO


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    extension = stripped_copy(build_extension())
    files = source_files(PACKAGE_FILES)
    files.append((EXTENSION_DIR + "/" + os.path.basename(extension),) + file_contents(extension))
    name = "%s-%s.whl" % (BASE, wheel_tag())
    write_wheel(os.path.join(wheel_directory, name), files)
    return name


def build_sdist(sdist_directory, config_settings=None):
    name = BASE + ".tar.gz"
    files = source_files(BUILD_FILES + PACKAGE_FILES) + [("PKG-INFO", metadata().encode(), 0o644)]
    with open(os.path.join(sdist_directory, name), "wb") as f, \
            gzip.GzipFile(fileobj=f, mode="wb", mtime=EPOCH) as gz, \
            tarfile.open(fileobj=gz, mode="w", format=tarfile.PAX_FORMAT) as tar:
        for path, data, mode in sorted(files):
            add_to_sdist(tar, BASE + "/" + path, data, mode)
    return name


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    """Refuses: without this hook, pip would fall back to setuptools where it can import it
    and install an empty project."""
    raise RuntimeError("corvessa has no editable install; `make build` places the extension "
                       "in corvessa/util/ for work in the source tree")


if __name__ == "__main__":
    out = sys.argv[1] if len(sys.argv) > 1 else "dist"
    os.makedirs(out, exist_ok=True)
    print(os.path.join(out, build_sdist(out)))
