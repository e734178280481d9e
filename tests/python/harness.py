"""Shared helpers of the Python tests.

`run_scenario` runs a piece of Python code in a fresh python3.8 process whose package
tree is a private copy of the repository's `corvessa` package (with the built extension),
changed as the scenario needs: the module admits one module object per process, so any
scenario that needs a fresh import runs this way.
"""
import inspect
import os
import queue
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import textwrap
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# The package tree that scenarios copy: the repository's own, unless TARN_PACKAGE names
# another (the sanitizer and debug builds keep their extension in a tree of their own).
PACKAGE = os.environ.get("TARN_PACKAGE") or os.path.join(ROOT, "corvessa")
PYTHON = os.environ.get("TARN_PYTHON") or sys.executable
# The extension the tree holds for this interpreter: its own build, or the stable ABI's one
# binary (make check-abi3), which the import takes only where no build of the version's own
# suffix stands beside it. The stable ABI shares its function type under a name of its own.
_OWN_SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")
STABLE_ABI = (os.path.isfile(os.path.join(PACKAGE, "util", "queue.abi3.so"))
              and not os.path.isfile(os.path.join(PACKAGE, "util", "queue" + _OWN_SUFFIX)))
EXTENSION_SUFFIX = ".abi3.so" if STABLE_ABI else _OWN_SUFFIX
SHARED_TYPE_KEY = "tarn_function_or_method_abi3" if STABLE_ABI else "tarn_function_or_method"
# Extra interpreter flags for the child processes (for example "-X dev").
CHILD_FLAGS = os.environ.get("TARN_CHILD_FLAGS", "").split()
# How many times longer than on this machine's own CPU the tests may take: a build for another
# CPU, whose tests run under emulation, sets it. Time limits are multiplied by it.
TIME_SCALE = float(os.environ.get("TARN_TIME_SCALE") or 1)

SIX_PY2 = '''\
PY2 = True
PY3 = False
'''
SIX_MOVES_PY2 = '''\
import Queue as queue
'''
FAKE_QUEUE_MODULE = '''\
"""Stands in for Python 2's top-level Queue module."""
from queue import Queue, LifoQueue, Empty, Full
'''


# The file name of the module's traceback entries: two backslashes per separator.
TB_FILE = "corvessa\\\\util\\\\queue.py"


def module_entries(exc):
    """(name, line) of the traceback entries the module added to exc."""
    tb, out = exc.__traceback__, []
    while tb:
        code = tb.tb_frame.f_code
        if code.co_filename == TB_FILE:
            out.append((code.co_name, tb.tb_lineno))
        tb = tb.tb_next
    return out


# module_entries and TB_FILE as source, for the scripts of scenarios, which run where this
# file cannot be imported.
MODULE_ENTRIES_SOURCE = "TB_FILE = %r\n\n%s" % (TB_FILE, inspect.getsource(module_entries))


def entries_below(exc, test_file):
    """(file, function, line) of the traceback entries of exc below the frames of
    test_file (the calling test's own)."""
    tb, out = exc.__traceback__, []
    while tb is not None and tb.tb_frame.f_code.co_filename == test_file:
        tb = tb.tb_next
    while tb is not None:
        code = tb.tb_frame.f_code
        out.append((code.co_filename, code.co_name, tb.tb_lineno))
        tb = tb.tb_next
    return out


# The module's class as Python source: what the compiled class must answer, and what help()
# must show of it.
LIFOQUEUE_SOURCE = textwrap.dedent('''\
    import collections
    class LifoQueue(queue.Queue):
        def _init(self, _):
            self.queue = collections.deque()
        def _qsize(self, len=len):
            return len(self.queue)
        def _put(self, item):
            self.queue.append(item)
        def _get(self):
            return self.queue.pop()
    LifoQueue.__module__ = "corvessa.util.queue"
    ''')


def python_lifoqueue():
    """A class made afresh from LIFOQUEUE_SOURCE."""
    namespace = {"queue": queue}
    exec(LIFOQUEUE_SOURCE, namespace)
    return namespace["LifoQueue"]


class Rec:
    """A queue object that is no deque at all: Python-level append, pop and len."""
    def __init__(self):
        self.items = []

    def append(self, x):
        self.items.append(x)

    def pop(self):
        return self.items.pop()

    def __len__(self):
        return len(self.items)


def call_without_global(module, name, call):
    """Calls call() with the global `name` of module deleted, and puts it back after."""
    saved = getattr(module, name)
    delattr(module, name)
    try:
        return call()
    finally:
        setattr(module, name, saved)


def without_leak_check(env=None):
    """The environment for a scenario whose process keeps memory unreachable at exit by
    design: it runs the exec step again after a failed one (the overwritten Module state
    fields) or starts a sub-interpreter (whose finalisation leaks in 3.8). Under the sanitizer build, LeakSanitizer's exit check is turned off for
    that process alone; elsewhere nothing changes."""
    env = dict(env or {})
    if "detect_leaks=1" in os.environ.get("ASAN_OPTIONS", ""):
        env["ASAN_OPTIONS"] = os.environ["ASAN_OPTIONS"].replace("detect_leaks=1", "detect_leaks=0")
    return env


class Tree:
    """A private package tree in a temporary directory."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="tarn-tree-")
        shutil.copytree(PACKAGE, os.path.join(self.root, "corvessa"),
                        ignore=shutil.ignore_patterns("__pycache__", "*.pyc"))

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def write(self, relpath, text):
        full = self.path(relpath)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "w") as f:
            f.write(textwrap.dedent(text))
        return self

    def remove(self, relpath):
        full = self.path(relpath)
        if os.path.isdir(full):
            shutil.rmtree(full)
        else:
            os.remove(full)
        return self

    def without_packages(self):
        return self.remove("corvessa/packages")

    def without_six(self):
        self.remove("corvessa/packages/six")
        return self

    def with_py2_six(self):
        """A six whose PY2 is true, and a top-level Queue module beside the package."""
        self.write("corvessa/packages/six/__init__.py", SIX_PY2)
        self.write("corvessa/packages/six/moves.py", SIX_MOVES_PY2)
        self.write("Queue.py", FAKE_QUEUE_MODULE)
        return self

    def cleanup(self):
        shutil.rmtree(self.root, ignore_errors=True)


class Result:
    def __init__(self, proc):
        self.returncode = proc.returncode
        self.stdout = proc.stdout
        self.stderr = proc.stderr

    def __repr__(self):
        return "rc=%s\n--- stdout\n%s\n--- stderr\n%s" % (self.returncode, self.stdout, self.stderr)


def run_scenario(code, tree=None, env=None, timeout=120, flags=(), argv=()):
    """Runs dedented `code` (with argv as its sys.argv[1:]) in a fresh interpreter with
    `tree` (a Tree, made fresh when None) as its only package root. Returns a Result."""
    own_tree = tree is None
    tree = tree or Tree()
    try:
        child_env = dict(os.environ)
        child_env["PYTHONPATH"] = tree.root
        child_env["PYTHONDONTWRITEBYTECODE"] = "1"
        child_env.update(env or {})
        proc = subprocess.run([PYTHON] + CHILD_FLAGS + list(flags) + ["-c", textwrap.dedent(code)] + list(argv),
                              cwd=tree.root, env=child_env, capture_output=True, text=True,
                              timeout=timeout * TIME_SCALE)
        return Result(proc)
    finally:
        if own_tree:
            tree.cleanup()


class ScenarioTestCase(unittest.TestCase):
    """A TestCase with an assertion for scenarios that must succeed."""

    def run_ok(self, code, tree=None, **kwargs):
        result = run_scenario(code, tree=tree, **kwargs)
        self.assertEqual(result.returncode, 0, result)
        return result.stdout
