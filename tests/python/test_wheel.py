"""The wheel: built by pip through setup.py and CMake from a copy of the source tree,
installed into an empty directory, imported and used from there alone."""
import importlib.util
import os
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
TAG = "cp38-cp38-linux_x86_64"
# What is not part of the source: build trees, installed or built packages, caches.
NOT_SOURCE = shutil.ignore_patterns(".git", "build", "build-*", "dist", "*.egg-info",
                                    "__pycache__", "*.pyc", "*.so")


def load_setup_script():
    spec = importlib.util.spec_from_file_location("corvessa_setup_script", os.path.join(ROOT, "setup.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)  # defines the commands; setup() runs only as __main__
    return module


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


class WheelTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if load_setup_script().bdist_wheel_command() is None:
            raise unittest.SkipTest("the 'wheel' package is not available to python3.8 for "
                                    "the build; `apt-get install python3-wheel` provides it")
        cls.tmp = tempfile.mkdtemp(prefix="tarn-wheel-")
        source = os.path.join(cls.tmp, "source")
        shutil.copytree(ROOT, source, ignore=NOT_SOURCE)
        cls.dist = os.path.join(cls.tmp, "dist")
        run([PYTHON, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "--no-index",
             "--no-cache-dir", "-w", cls.dist, source], cwd=cls.tmp, env=clean_env())
        (cls.wheel,) = [os.path.join(cls.dist, n) for n in os.listdir(cls.dist)]
        cls.target = os.path.join(cls.tmp, "target")
        os.mkdir(cls.target)
        run([PYTHON, "-m", "pip", "install", "--no-index", "--no-deps", "--no-cache-dir",
             "--target", cls.target, cls.wheel], cwd=cls.tmp, env=clean_env())

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def run_installed(self, args, cwd):
        return run([PYTHON] + args, cwd=cwd, env=clean_env(PYTHONPATH=self.target))

    def test_wheel_is_tagged_for_cpython_38_on_linux(self):
        name = os.path.basename(self.wheel)
        self.assertTrue(name.startswith("corvessa-") and name.endswith("-%s.whl" % TAG), name)
        with zipfile.ZipFile(self.wheel) as whl:
            (wheel_file,) = [n for n in whl.namelist() if n.endswith(".dist-info/WHEEL")]
            metadata = whl.read(wheel_file).decode().splitlines()
        self.assertIn("Tag: " + TAG, metadata)
        self.assertIn("Root-Is-Purelib: false", metadata)

    def test_wheel_holds_the_package_the_extension_and_its_types(self):
        with zipfile.ZipFile(self.wheel) as whl:
            names = {n for n in whl.namelist() if not n.startswith("corvessa-")}
        self.assertEqual(names, {
            "corvessa/__init__.py", "corvessa/py.typed",
            "corvessa/packages/__init__.py", "corvessa/packages/six/__init__.py",
            "corvessa/packages/six/moves.py",
            "corvessa/util/__init__.py", "corvessa/util/queue.pyi", EXTENSION,
        })

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


if __name__ == "__main__":
    unittest.main()
