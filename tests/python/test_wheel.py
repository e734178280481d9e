"""The wheel: built by pip through the back end in tools/build_backend.py and CMake from a
copy of the source tree, tagged with the interpreter's own platform, installed into an
empty directory, imported and used from there alone; the source distribution, which must
build the same wheel; and the field's own checks of both, where the running environment
has the tools (twine, auditwheel)."""
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
PLATFORM = "linux_x86_64"
DIST_INFO = "corvessa-0.1.0.dist-info/"
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
    preloaded library (a sanitizer runtime would report pip's own exit)."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON") and k != "LD_PRELOAD"}
    env.update(extra)
    return env


def run(args, **kwargs):
    proc = subprocess.run(args, capture_output=True, text=True, timeout=300, **kwargs)
    if proc.returncode != 0:
        raise AssertionError("%s failed with %d\n--- stdout\n%s\n--- stderr\n%s"
                             % (" ".join(args), proc.returncode, proc.stdout, proc.stderr))
    return proc.stdout


def pip_wheel(source, dist):
    """Builds the wheel of source (a directory or an sdist) into dist; returns its path."""
    run([PYTHON, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "--no-index",
         "--no-cache-dir", "-w", dist, source], cwd=os.path.dirname(dist), env=clean_env())
    (wheel,) = os.listdir(dist)
    return os.path.join(dist, wheel)


def wheel_names(wheel):
    with zipfile.ZipFile(wheel) as whl:
        return sorted(whl.namelist())


# A skip per test rather than one in setUpClass: unittest names skipped tests, and so
# tools/test-summary.py finds the reason, on every version.
@packaged_here
@unittest.skipIf(os.environ.get("TARN_ASAN"), "the sanitizer run: pip and CMake build an uninstrumented "
                 "extension here, which every other test file runs under the sanitizers already")
class WheelTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="tarn-wheel-")
        cls.addClassCleanup(shutil.rmtree, cls.tmp, ignore_errors=True)  # also when a build fails
        cls.source = os.path.join(cls.tmp, "source")
        shutil.copytree(ROOT, cls.source, ignore=NOT_SOURCE)
        cls.wheel = pip_wheel(cls.source, os.path.join(cls.tmp, "dist"))
        cls.target = os.path.join(cls.tmp, "target")
        os.mkdir(cls.target)
        run([PYTHON, "-m", "pip", "install", "--no-index", "--no-deps", "--no-cache-dir",
             "--target", cls.target, cls.wheel], cwd=cls.tmp, env=clean_env())
        cls.sdist = run([PYTHON, "tools/build_backend.py", os.path.join(cls.tmp, "sdist")],
                        cwd=cls.source, env=clean_env()).strip()

    def read_dist_info(self, name):
        with zipfile.ZipFile(self.wheel) as whl:
            return whl.read(DIST_INFO + name)

    def run_installed(self, args, cwd):
        return run([PYTHON] + args, cwd=cwd, env=clean_env(PYTHONPATH=self.target))

    def test_wheel_is_tagged_with_the_running_interpreters_platform(self):
        self.assertEqual(os.path.basename(self.wheel), "corvessa-0.1.0-%s-%s-%s.whl" % (CP, CP, PLATFORM))
        wheel_file = self.read_dist_info("WHEEL").decode().splitlines()
        self.assertEqual([line for line in wheel_file if line.startswith("Tag: ")],
                         ["Tag: %s-%s-%s" % (CP, CP, PLATFORM)])
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
        self.assertEqual([h[len(python):] for h in headers if h.startswith(python + "3")],
                         ["3.8", "3.9", "3.10", "3.11", "3.12", "3.13", "3.14", "3.15"])

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

    def test_sdist_builds_the_same_wheel(self):
        self.assertEqual(os.path.basename(self.sdist), "corvessa-0.1.0.tar.gz")
        wheel = pip_wheel(self.sdist, os.path.join(self.tmp, "sdist-wheel"))
        self.assertEqual(os.path.basename(wheel), os.path.basename(self.wheel))
        self.assertEqual(wheel_names(wheel), wheel_names(self.wheel))

    def test_twine_check_passes_on_the_wheel_and_the_sdist(self):
        if not shutil.which("twine"):
            self.skipTest("no twine on PATH (Debian's: apt-get install twine)")
        out = run(["twine", "check", "--strict", self.wheel, self.sdist], env=clean_env())
        self.assertEqual(out.count("PASSED"), 2, out)

    def test_auditwheel_finds_the_wheel_manylinux_2_17_or_better(self):
        if not shutil.which("auditwheel"):
            self.skipTest("no auditwheel on PATH (the Debian root's: make sid-root)")
        out = " ".join(run(["auditwheel", "show", self.wheel], env=clean_env()).split())
        tag = re.search(r'consistent with the following platform tag: "manylinux_2_(\d+)_x86_64"', out)
        self.assertIsNotNone(tag, out)
        self.assertLessEqual(int(tag.group(1)), 17, out)


if __name__ == "__main__":
    # Where every test is skipped, 3.12's unittest exits with status 5 ("no tests ran").
    sys.exit(not unittest.main(exit=False).result.wasSuccessful())
