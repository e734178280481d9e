"""The wheel: built by pip through the back end in tools/build_backend.py and CMake from a
copy of the source tree, tagged manylinux from its stripped extension, installed into an
empty directory, imported and used from there alone; the source distribution, which must
build the same wheel; and the policy check of tools/manylinux_policy.py on binaries that
break the policy."""
import base64
import contextlib
import hashlib
import io
import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import unittest
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools"))
import build_backend  # noqa: E402 (tools/)
import manylinux_policy  # noqa: E402 (tools/)

PYTHON = os.environ.get("TARN_PYTHON") or sys.executable
EXTENSION = "corvessa/util/queue" + sysconfig.get_config_var("EXT_SUFFIX")
CP = "cp%d%d" % sys.version_info[:2]
MANYLINUX = ("manylinux_2_17_x86_64", "manylinux2014_x86_64")
DIST_INFO = "corvessa-0.1.0.dist-info/"
POLICY_CHECK = os.path.join(ROOT, "tools", "manylinux_policy.py")
# Packing does not differ between versions; what does (tag, extension suffix) is taken
# from the running interpreter. So the wheel is built on the oldest and newest alone, and
# the policy check, which is the same on every version, runs there too.
PACKAGED_ON = ((3, 8), (3, 13))
packaged_here = unittest.skipUnless(
    sys.version_info[:2] in PACKAGED_ON, "the wheel is built and installed, and its policy checked, on the "
    "oldest and newest supported versions, 3.8 and 3.13")
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

    def test_wheel_is_tagged_manylinux_for_the_running_interpreter(self):
        self.assertEqual(os.path.basename(self.wheel),
                         "corvessa-0.1.0-%s-%s-%s.whl" % (CP, CP, ".".join(MANYLINUX)))
        wheel_file = self.read_dist_info("WHEEL").decode().splitlines()
        self.assertEqual([line for line in wheel_file if line.startswith("Tag: ")],
                         ["Tag: %s-%s-%s" % (CP, CP, platform) for platform in MANYLINUX])
        self.assertIn("Root-Is-Purelib: false", wheel_file)

    def test_packed_extension_meets_the_policy_without_debug_information(self):
        extension = os.path.join(self.target, EXTENSION)
        out = run([PYTHON, POLICY_CHECK, extension])
        self.assertIn("  needed libraries: libc.so.6\n", out)
        self.assertTrue(out.endswith("  meets manylinux_2_17_x86_64\n"), out)
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
        self.assertIn("Requires-Python: >=3.8, <3.14", headers)
        self.assertIn("Author: corvessa developers", headers)
        python = "Classifier: Programming Language :: Python :: "
        self.assertEqual([h[len(python):] for h in headers if h.startswith(python + "3")],
                         ["3.8", "3.9", "3.10", "3.11", "3.12", "3.13"])

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


# Shared objects that break the policy, each made by g++ from a source with some flags (no
# source: a file that is not ELF), with the rule that must refuse it and what it must say;
# and one that keeps the policy with an RPATH inside the wheel.
PLAIN = 'extern "C" int f(int x) { return x + 1; }\n'
NEWER_GLIBC = '#include <sys/random.h>\nextern "C" long f(void *b) { return getrandom(b, 8, 0); }\n'
NEWER_GLIBCXX = '#include <string>\nstd::string f(const char *a) { std::string s(a); s += a; return s; }\n'
LIBPYTHON = os.path.join(sysconfig.get_config_var("LIBDIR"), sysconfig.get_config_var("LDLIBRARY"))
BINARIES = (
    ("newer_glibc", NEWER_GLIBC, [], "symbol versions",
     "GLIBC_2.25 from libc.so.6 is newer than GLIBC_2.17 (needed by getrandom)"),
    ("newer_glibcxx", NEWER_GLIBCXX, [], "symbol versions",
     "GLIBCXX_3.4.21 from libstdc++.so.6 is newer than GLIBCXX_3.4.19"),
    ("libpython", PLAIN, ["-Wl,--no-as-needed", LIBPYTHON], "libraries",
     "libpython%d.%d.so.1.0 is not among the libraries the policy allows" % sys.version_info[:2]),
    ("execstack", PLAIN, ["-Wl,-z,execstack"], "stack", "PT_GNU_STACK asks for an executable stack"),
    ("runpath", PLAIN, ["-Wl,-rpath,/usr/local/lib"], "rpath",
     "RUNPATH entry /usr/local/lib is not relative to $ORIGIN"),
    ("rpath_leaving", PLAIN, ["-Wl,--disable-new-dtags,-rpath,$ORIGIN/../../.."], "rpath",
     "RPATH entry $ORIGIN/../../.. leaves the wheel (from corvessa/util)"),
    ("not_elf", None, None, "elf", "not an ELF file"),
    ("rpath_inside", PLAIN, ["-Wl,-rpath,$ORIGIN/../../corvessa.libs"], None, None),
)


@packaged_here
class PolicyCheckTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="tarn-policy-")
        cls.addClassCleanup(shutil.rmtree, cls.tmp, ignore_errors=True)
        cls.paths = {name: cls.make_binary(name, source, flags) for name, source, flags, _, _ in BINARIES}

    @classmethod
    def make_binary(cls, name, source, flags):
        path = os.path.join(cls.tmp, name + ".so")
        if source is None:
            with open(path, "w") as f:
                f.write(PLAIN)
        else:
            source_path = os.path.join(cls.tmp, name + ".cpp")
            with open(source_path, "w") as f:
                f.write(source)
            run(["g++", "-shared", "-fPIC", "-o", path, source_path] + flags, env=clean_env())
        return path

    def test_each_binary_is_refused_by_its_rule_alone(self):
        for name, _, _, rule, why in BINARIES:
            with self.subTest(name):
                binary = manylinux_policy.read_binary(self.paths[name])
                broken = manylinux_policy.violations(binary, "corvessa/util")
                self.assertEqual([r for r, _ in broken], [rule] if rule else [])
                if why:
                    self.assertIn(why, broken[0][1])

    def test_script_prints_the_broken_rule_and_fails(self):
        proc = subprocess.run([PYTHON, POLICY_CHECK, self.paths["execstack"]],
                              capture_output=True, text=True, timeout=60)
        self.assertEqual(proc.returncode, 1, proc.stderr)
        self.assertIn("\n  FAILS stack: PT_GNU_STACK asks for an executable stack\n", proc.stdout)
        self.assertTrue(proc.stdout.endswith("\n  does not meet manylinux_2_17_x86_64\n"), proc.stdout)

    def test_back_end_tags_from_the_binary_and_names_the_broken_rule(self):
        for name, platform in (("rpath_inside", ".".join(MANYLINUX)), ("execstack", "linux_x86_64")):
            with self.subTest(name), contextlib.redirect_stderr(io.StringIO()) as stderr:
                self.assertEqual(build_backend.platform_tag(self.paths[name]), platform)
        self.assertIn("execstack.so breaks the stack rule of manylinux_2_17_x86_64", stderr.getvalue())


if __name__ == "__main__":
    # Where every test is skipped, 3.12's unittest exits with status 5 ("no tests ran").
    sys.exit(not unittest.main(exit=False).result.wasSuccessful())
