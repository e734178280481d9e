"""The package as the field's tools build it, from a copy of the source tree, through the
build back end (scikit-build-core) and CMake: every road of pip and of pypa's build, with
and without build isolation, gives the same wheel, tagged with the interpreter's own
platform; the wheel installed into an empty directory is imported and used from there
alone; an editable install imports the extension and the package from the checkout; and
the field's own checks (twine, auditwheel) pass where the running environment has them.
The back end is installed from the interpreter's wheelhouse (tools/setup.sh), without an
index."""
import base64
import hashlib
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import unittest
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

PYTHON = os.environ.get("TARN_PYTHON") or sys.executable
EXTENSION = "corvessa/util/queue" + sysconfig.get_config_var("EXT_SUFFIX")
CP = "cp%d%d" % sys.version_info[:2]
ABI = CP + ("d" if sysconfig.get_config_var("Py_DEBUG") else "")
PLATFORM = "linux_" + os.uname().machine
DIST_INFO = "corvessa-0.1.0.dist-info/"
WHEEL = "corvessa-0.1.0-%s-%s-%s.whl" % (CP, ABI, PLATFORM)
# Named as tools/python-info.py names the build target: "3.14d", "3.14-aarch64".
WHEELHOUSE = os.path.join(ROOT, "build", "wheelhouse", "%d.%d%s%s" % (
    sys.version_info[:2] + ("d" * (ABI != CP), "" if os.uname().machine == "x86_64" else "-" + os.uname().machine)))
# Packing does not differ between versions; what does (tag, extension suffix) is taken
# from the running interpreter. So the wheel is built on the oldest and newest alone.
PACKAGED_ON = ((3, 8), (3, 15))
packaged_here = unittest.skipUnless(
    sys.version_info[:2] in PACKAGED_ON, "the wheel is built and installed on the oldest and newest "
    "versions built for, 3.8 and 3.15")
# What is not part of the source: build trees, built packages, caches. The extensions that
# `make build` placed in corvessa/util/ stay: the wheel must hold only the one it builds.
NOT_SOURCE = shutil.ignore_patterns(".git", "build", "build-*", "dist", "__pycache__", "*.pyc")


def clean_env(**extra):
    """The environment without the test run's Python paths and settings, and without a
    preloaded library (a sanitizer runtime would report pip's own exit); pip takes what
    it installs from the wheelhouse alone."""
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "PIP_")) and k != "LD_PRELOAD"}
    env.update(PIP_NO_INDEX="1", PIP_FIND_LINKS=WHEELHOUSE, PIP_DISABLE_PIP_VERSION_CHECK="1",
               PIP_NO_CACHE_DIR="1", **extra)
    return env


def run(args, **kwargs):
    kwargs.setdefault("env", clean_env())
    proc = subprocess.run(args, capture_output=True, text=True, timeout=600, **kwargs)
    if proc.returncode != 0:
        raise AssertionError("%s failed with %d\n--- stdout\n%s\n--- stderr\n%s"
                             % (" ".join(args), proc.returncode, proc.stdout, proc.stderr))
    return proc.stdout


def wheel_names(wheel):
    with zipfile.ZipFile(wheel) as whl:
        return sorted(whl.namelist())


# The roads to a wheel or an install: (name, the command with SRC and OUT in place of the
# source tree and the output directory, what it leaves in OUT). "venv" runs the virtual
# environment's interpreter, which has the back end and pypa's build; "python" the tested
# interpreter itself, whose isolated builds take the back end from the wheelhouse.
ROADS = [
    ("pip wheel", ["python", "-m", "pip", "wheel", "--no-deps", "-w", "OUT", "SRC"], "wheel"),
    ("pip wheel --no-build-isolation",
     ["venv", "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "-w", "OUT", "SRC"], "wheel"),
    ("python -m build", ["venv", "-m", "build", "--outdir", "OUT", "SRC"], "sdist and wheel"),
    ("python -m build --no-isolation", ["venv", "-m", "build", "--no-isolation", "--outdir", "OUT", "SRC"],
     "sdist and wheel"),
    ("pip install", ["python", "-m", "pip", "install", "--no-deps", "--target", "OUT", "SRC"], "install"),
    ("pip install --no-build-isolation",
     ["venv", "-m", "pip", "install", "--no-build-isolation", "--no-deps", "--target", "OUT", "SRC"], "install"),
    ("pip install -e", ["venv", "-m", "pip", "install", "--no-deps", "-e", "SRC"], "editable"),
    ("pip install -e --no-build-isolation",
     ["venv", "-m", "pip", "install", "--no-build-isolation", "--no-deps", "-e", "SRC"], "editable"),
]


# A skip per test rather than one in setUpClass: unittest names skipped tests, and so
# tools/test-summary.py finds the reason, on every version.
@packaged_here
@unittest.skipIf(os.environ.get("TARN_ASAN"), "the sanitizer run: pip and CMake build an uninstrumented "
                 "extension here, which every other test file runs under the sanitizers already")
@unittest.skipUnless(os.path.isfile(os.path.join(WHEELHOUSE, ".complete")),
                     "no wheelhouse of the build back end (make test fetches it: tools/setup.sh)")
class WheelTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="tarn-wheel-")
        cls.addClassCleanup(shutil.rmtree, cls.tmp, ignore_errors=True)  # also when a build fails
        cls.source = cls.fresh_source("source")
        cls.venv = os.path.join(cls.tmp, "venv", "bin", "python")
        run([PYTHON, "-m", "venv", os.path.dirname(os.path.dirname(cls.venv))])
        run([cls.venv, "-m", "pip", "install", "-q", "scikit-build-core", "build"])
        # Every road once: {name: (the source it took, its wheel or output directory)}.
        cls.taken = {}
        for name, _, gives in ROADS:
            source = cls.fresh_source("source-%d" % len(cls.taken)) if gives == "editable" else cls.source
            cls.taken[name] = source, cls.road(name, source)
            if gives == "editable":
                cls.taken[name] += (run([cls.venv, "-c", "import corvessa, corvessa.util.queue as m; print("
                                         "corvessa.__file__); print(m.__file__); print(m.LifoQueue().qsize())"],
                                        cwd=cls.tmp).split(),)
                run([cls.venv, "-m", "pip", "uninstall", "-y", "corvessa"])
        cls.wheel = cls.taken["pip wheel"][1]
        cls.sdist = os.path.join(os.path.dirname(cls.taken["python -m build"][1]), "corvessa-0.1.0.tar.gz")
        cls.target = os.path.join(cls.tmp, "target")
        run([PYTHON, "-m", "pip", "install", "--no-deps", "--target", cls.target, cls.wheel])

    @classmethod
    def fresh_source(cls, name):
        source = os.path.join(cls.tmp, name)
        shutil.copytree(ROOT, source, ignore=NOT_SOURCE)
        return source

    @classmethod
    def road(cls, name, source):
        """Takes the road of that name from source; returns its output directory, or the
        wheel when it made one."""
        (_, command, _), = [r for r in ROADS if r[0] == name]
        out = tempfile.mkdtemp(dir=cls.tmp)
        interpreters = {"python": PYTHON, "venv": cls.venv}
        run([interpreters.get(a, a) for a in command[:1]] +
            [{"SRC": source, "OUT": out}.get(a, a) for a in command[1:]], cwd=cls.tmp)
        wheels = [f for f in os.listdir(out) if f.endswith(".whl")]
        return os.path.join(out, wheels[0]) if wheels else out

    def read_dist_info(self, name):
        with zipfile.ZipFile(self.wheel) as whl:
            return whl.read(DIST_INFO + name)

    def run_installed(self, args, cwd):
        return run([PYTHON] + args, cwd=cwd, env=clean_env(PYTHONPATH=self.target))

    def test_every_road_gives_the_same_package(self):
        names = wheel_names(self.wheel)
        for name, _, gives in ROADS[1:]:
            with self.subTest(name):
                source, out = self.taken[name][:2]
                if gives in ("wheel", "sdist and wheel"):
                    self.assertEqual(os.path.basename(out), WHEEL)
                    self.assertEqual(wheel_names(out), names)
                if gives == "sdist and wheel":  # pypa's build makes the wheel from the sdist
                    self.assertEqual(sorted(os.listdir(os.path.dirname(out))), sorted(["corvessa-0.1.0.tar.gz", WHEEL]))
                if gives == "install":
                    installed = sorted(os.path.relpath(os.path.join(d, f), out) for d, _, files in os.walk(out)
                                       for f in files if "__pycache__" not in d)
                    self.assertEqual([n for n in installed if not n.startswith(DIST_INFO)],
                                     [n for n in names if not n.startswith(DIST_INFO)])
                if gives == "editable":
                    self.assertEqual(self.taken[name][2], [os.path.join(source, "corvessa", "__init__.py"),
                                                           os.path.join(source, EXTENSION), "0"])

    def test_wheel_is_tagged_with_the_running_interpreters_platform(self):
        self.assertEqual(os.path.basename(self.wheel), WHEEL)
        wheel_file = self.read_dist_info("WHEEL").decode().splitlines()
        self.assertEqual([line for line in wheel_file if line.startswith("Tag: ")],
                         ["Tag: %s-%s-%s" % (CP, ABI, PLATFORM)])
        self.assertIn("Root-Is-Purelib: false", wheel_file)

    def test_packed_extension_needs_libc_alone_without_debug_information(self):
        extension = os.path.join(self.target, EXTENSION)
        dynamic = run(["readelf", "-d", "-W", extension])
        self.assertEqual(re.findall(r"\(NEEDED\).*\[(.*)\]", dynamic), ["libc.so.6"])
        sections = run(["readelf", "-S", "-W", extension])
        self.assertNotIn(".debug_", sections)
        self.assertNotIn(".symtab", sections)

    def test_wheel_holds_the_package_the_extension_and_its_types(self):
        names = {n for n in wheel_names(self.wheel) if not n.startswith(DIST_INFO)}
        self.assertEqual(names, {
            "corvessa/__init__.py", "corvessa/py.typed",
            "corvessa/packages/__init__.py", "corvessa/packages/six/__init__.py",
            "corvessa/packages/six/moves.py",
            "corvessa/util/__init__.py", "corvessa/util/queue.pyi", EXTENSION,
        })

    def test_metadata_names_the_supported_versions_and_the_authors(self):
        headers = self.read_dist_info("METADATA").decode().split("\n\n", 1)[0].splitlines()
        self.assertIn("Requires-Python: >=3.8", headers)
        self.assertIn("Author: corvessa developers", headers)
        python = "Classifier: Programming Language :: Python :: "
        with open(os.path.join(ROOT, "src", "core", "pyversion.h")) as f:
            newest = int(re.search(r"TARN_NEWEST_KNOWN_PYTHON 0x03([0-9A-F]{2})0000", f.read()).group(1), 16)
        self.assertEqual([h[len(python):] for h in headers if h.startswith(python + "3")],
                         ["3.%d" % minor for minor in range(8, newest + 1)])

    def test_record_lists_every_file_with_its_hash_and_size(self):
        with zipfile.ZipFile(self.wheel) as whl:
            files = {name: whl.read(name) for name in whl.namelist()}
        record = files.pop(DIST_INFO + "RECORD").decode().splitlines()
        expected = [DIST_INFO + "RECORD,,"]
        for name, data in files.items():
            digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
            expected.append("%s,sha256=%s,%d" % (name, digest, len(data)))
        self.assertEqual(sorted(record), sorted(expected))

    def test_installed_extension_exports_only_pyinit_queue(self):
        out = run(["nm", "-D", "--defined-only", os.path.join(self.target, EXTENSION)])
        self.assertEqual([line.split()[-1] for line in out.splitlines() if line.strip()], ["PyInit_queue"])

    def test_import_comes_from_the_install_directory_alone(self):
        elsewhere = tempfile.mkdtemp(dir=self.tmp)
        out = self.run_installed(["-c", "import corvessa.util.queue as m; print(m.__file__)"], cwd=elsewhere)
        self.assertEqual(out.strip(), os.path.join(self.target, EXTENSION))
        for typing_file in ("corvessa/py.typed", "corvessa/util/queue.pyi"):
            self.assertTrue(os.path.isfile(os.path.join(self.target, typing_file)), typing_file)

    def test_demo_runs_against_the_installed_package(self):
        elsewhere = tempfile.mkdtemp(dir=self.tmp)
        shutil.copy(os.path.join(ROOT, "examples", "demo.py"), elsewhere)
        out = self.run_installed(["demo.py"], cwd=elsewhere)
        self.assertIn("module: corvessa.util.queue from " + os.path.join(self.target, EXTENSION), out)
        self.assertIn("put first, second, third; get gives: ['third', 'second', 'first']", out)
        self.assertIn("moved 10000 items; each exactly once: True", out)
        self.assertIn('File "corvessa\\\\util\\\\queue.py", line 21, in corvessa.util.queue.LifoQueue._get', out)

    def test_twine_check_passes_on_the_wheel_and_the_sdist(self):
        if not shutil.which("twine"):
            self.skipTest("no twine on PATH (tools/setup.sh installs it from PyPI; Debian's: apt-get install twine)")
        out = run(["twine", "check", "--strict", self.wheel, self.sdist])
        self.assertEqual(out.count("PASSED"), 2, out)

    def test_auditwheel_finds_the_wheel_of_the_oldest_manylinux_of_its_cpu_or_better(self):
        if not shutil.which("auditwheel"):
            self.skipTest("no auditwheel on PATH (tools/setup.sh installs it from PyPI)")
        out = " ".join(run(["auditwheel", "show", self.wheel]).split())
        tag = re.search(r'consistent with the following platform tag: "manylinux_2_(\d+)_%s"'
                        % os.uname().machine, out)
        self.assertIsNotNone(tag, out)
        oldest = {"riscv64": 31}.get(os.uname().machine, 17)  # riscv64 has no older manylinux
        self.assertLessEqual(int(tag.group(1)), oldest, out)


@unittest.skipUnless(sys.version_info[:2] == PACKAGED_ON[0], "the build's choice of interpreter is tested on "
                     "the oldest version built for, 3.8")
class InterpreterChoiceTest(unittest.TestCase):
    """tools/find-python.sh, which every make target asks for its interpreters, given PYTHON:
    an absolute path with or without a Debian root, and one of a root that is not made."""

    def test_named_interpreters(self):
        nowhere = tempfile.mkdtemp(prefix="tarn-no-root-")
        self.addCleanup(shutil.rmtree, nowhere)
        absent_root = os.path.join(nowhere, "sid")
        rows = [
            # (PYTHON, SID_ROOT, exit status, what is printed)
            (sys.executable, absent_root, 0, os.path.realpath(sys.executable)),
            (sys.executable, os.environ.get("SID_ROOT", "/var/cache/corvessa/sid"), 0,
             os.path.realpath(sys.executable)),
            (absent_root + "/usr/bin/python3.14", absent_root, 1,
             "is an interpreter of the Debian root at %s, which is not made; make it with: make sid-root"
             % absent_root),
            (nowhere + "/python3.12", absent_root, 1, "no such interpreter"),
        ]
        for python, root, status, said in rows:
            with self.subTest(python=python, root=root):
                proc = subprocess.run(["sh", os.path.join(ROOT, "tools", "find-python.sh")], capture_output=True,
                                      text=True, env=dict(os.environ, PYTHON=python, SID_ROOT=root))
                self.assertEqual(proc.returncode, status, proc)
                self.assertIn(said, proc.stdout if status == 0 else proc.stderr)


if __name__ == "__main__":
    # Where every test is skipped, 3.12's unittest exits with status 5 ("no tests ran").
    sys.exit(not unittest.main(exit=False).result.wasSuccessful())
