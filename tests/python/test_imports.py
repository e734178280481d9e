"""The imports of the module body: what they find, what they store and how they fail."""
import json
import os
import sys
import textwrap
import unittest

import harness

TB_FILE = harness.TB_FILE
INIT = "init corvessa.util.queue"

# Imports the module and prints what happened as JSON: the error with the traceback
# entries below the scenario's own frames, or the module dictionary's keys.
IMPORT_AND_REPORT = r'''
def entries(tb):
    out = []
    while tb:
        code = tb.tb_frame.f_code
        if code.co_filename != "<string>":
            out.append([code.co_filename, code.co_name, tb.tb_lineno])
        tb = tb.tb_next
    return out
try:
    import corvessa.util.queue as m
    report = {"keys": sorted(vars(m))}
except BaseException as e:
    report = {"error": [type(e).__name__, str(e)], "tb": entries(e.__traceback__)}
print(json.dumps(report))
'''

PLAIN_MOVES = "import queue\n"


def import_report(prelude="", tree=None):
    code = "import json, sys\n" + textwrap.dedent(prelude) + IMPORT_AND_REPORT
    result = harness.run_scenario(code, tree=tree)
    if result.returncode != 0:
        raise AssertionError(result)
    return json.loads(result.stdout)


class FailingImportsTest(unittest.TestCase):
    def test_failures_name_their_line(self):
        cases = [
            ("no packages", harness.Tree().without_packages(), "",
             ["ModuleNotFoundError", "No module named 'corvessa.packages'"], 2),
            ("packages without six", harness.Tree().without_six(), "",
             ["ImportError", "cannot import name six"], 2),
            ("packages raises", harness.Tree().write("corvessa/packages/__init__.py",
                                                     "raise LookupError('packages broken')\n"), "",
             ["LookupError", "packages broken"], 2, "<module>"),
            ("no six.moves", harness.Tree().remove("corvessa/packages/six/moves.py"), "",
             ["ModuleNotFoundError", "No module named 'corvessa.packages.six.moves'"], 3),
            ("six.moves without queue", harness.Tree().write("corvessa/packages/six/moves.py", ""), "",
             ["ImportError", "cannot import name queue"], 3),
            ("six without PY2", harness.Tree().write("corvessa/packages/six/__init__.py", "")
             .write("corvessa/packages/six/moves.py", PLAIN_MOVES), "",
             ["AttributeError", "module 'corvessa.packages.six' has no attribute 'PY2'"], 5),
            ("PY2 without truth", harness.Tree().write("corvessa/packages/six/__init__.py", """\
                 class Truthless:
                     def __bool__(self):
                         raise ZeroDivisionError("no truth")
                 PY2 = Truthless()
                 """).write("corvessa/packages/six/moves.py", PLAIN_MOVES), "",
             ["ZeroDivisionError", "no truth"], 5, "__bool__"),
            ("PY2 without Queue", harness.Tree().write("corvessa/packages/six/__init__.py", "PY2 = True\n")
             .write("corvessa/packages/six/moves.py", PLAIN_MOVES), "",
             ["ModuleNotFoundError", "No module named 'Queue'"], 7),
            ("six looked up and refused", harness.Tree().remove("corvessa/packages").write(
                "corvessa/packages.py", """\
                 def __getattr__(name):  # a module, not a package: the import asks it for six
                     if name == "six":
                         raise LookupError("six withheld")
                     raise AttributeError(name)
                 """), "", ["LookupError", "six withheld"], 2, "__getattr__"),
            ("six taken away by six.moves", harness.Tree().write("corvessa/packages/six/moves.py", """\
                 import queue, sys
                 del sys.modules["corvessa.util.queue"].six
                 """), "", ["NameError", "name 'six' is not defined"], 5),
            ("collections refused", harness.Tree(), """\
                 import sys, queue
                 del sys.modules["collections"]
                 class Refuse:
                     def find_spec(self, name, path=None, target=None):
                         if name == "collections":
                             raise ImportError("collections refused")
                 sys.meta_path.insert(0, Refuse())
                 """, ["ImportError", "collections refused"], 1),
        ]
        for label, tree, prelude, error, line, *below in cases:
            with self.subTest(label):
                try:
                    r = import_report(prelude, tree)
                finally:
                    tree.cleanup()
                self.assertEqual(r.get("error"), error)
                # the module's one entry, then the frames of Python code that raised
                self.assertEqual(r["tb"][0], [TB_FILE, INIT, line])
                self.assertEqual([e[1] for e in r["tb"][1:]], below)

    def test_failing_stores_name_their_line(self):
        # A key that hashes as the name the body stores and cannot be compared, planted in
        # the module's namespace between the create and exec steps (or in sys.modules, for
        # an exec step driven by hand that enters the module there): the store fails with
        # the key's error. A later import, without the key, builds a working module.
        plant_in_namespace = r'''
            import importlib.machinery, importlib.util
            real = importlib.util.find_spec("corvessa.util.queue")
            class Planting:
                def create_module(self, spec):
                    module = real.loader.create_module(spec)
                    vars(module)[Uncomparable(NAME)] = None
                    return module
                def exec_module(self, module):
                    real.loader.exec_module(module)
            class Finder:
                def find_spec(self, name, path=None, target=None):
                    if name == "corvessa.util.queue":
                        return importlib.machinery.ModuleSpec(name, Planting(), origin=real.origin)
            sys.meta_path.insert(0, Finder())
            def load():
                import corvessa.util.queue
            def clean():
                del sys.meta_path[0]
        '''
        plant_in_sys_modules = r'''
            import importlib.util
            spec = importlib.util.find_spec("corvessa.util.queue")
            module = spec.loader.create_module(spec)
            key = Uncomparable(NAME)
            sys.modules[key] = None
            def load():
                spec.loader.exec_module(module)
            def clean():
                del sys.modules[key]
        '''
        scenario = r'''
            import json, sys
            class Uncomparable:
                def __init__(self, name):
                    self.name = name
                def __hash__(self):
                    return hash(self.name)
                def __eq__(self, other):
                    raise RuntimeError("cannot compare with " + self.name)
            PLANT
            try:
                load()
                report = "imported"
            except RuntimeError as e:
                report = [str(e), module_entries(e)]
            clean()
            assert "corvessa.util.queue" not in sys.modules
            import corvessa.util.queue as m
            q = m.LifoQueue()
            q.put(1); q.put(2)
            print(json.dumps([report, q.get(), [repr(k) for k in vars(m) if not isinstance(k, str)]]))
        '''
        cases = [
            ("collections", harness.Tree(), plant_in_namespace, 1),
            ("__test__", harness.Tree(), plant_in_namespace, 1),
            ("_unused_module_Queue", harness.Tree().with_py2_six(), plant_in_namespace, 7),
            ("corvessa.util.queue", harness.Tree(), plant_in_sys_modules, 1),
        ]
        for name, tree, plant, line in cases:
            with self.subTest(name):
                code = textwrap.dedent(scenario).replace("PLANT", textwrap.dedent(plant).strip())
                code = harness.MODULE_ENTRIES_SOURCE + code.replace("NAME", repr(name))
                try:
                    result = harness.run_scenario(code, tree=tree, env=harness.without_leak_check())
                finally:
                    tree.cleanup()
                self.assertEqual(result.returncode, 0, result)
                self.assertEqual(json.loads(result.stdout), [["cannot compare with " + name, [[INIT, line]]], 2, []])

    def test_later_import_after_failure_builds_a_fresh_module(self):
        tree = harness.Tree().without_packages()
        try:
            out = harness.run_scenario(r'''
                import importlib, json, shutil, sys
                try:
                    import corvessa.util.queue
                    raise SystemExit("imported without packages")
                except ModuleNotFoundError as e:
                    tb = e.__traceback__
                    while tb.tb_next:
                        tb = tb.tb_next
                    old_globals = tb.tb_frame.f_globals
                assert "corvessa.util.queue" not in sys.modules
                shutil.copytree(%r, "corvessa/packages")
                importlib.invalidate_caches()
                import corvessa.util.queue as m
                q = m.LifoQueue()
                q.put(1); q.put(2)
                print(json.dumps({
                    "fresh": old_globals is not vars(m), "old_name": old_globals["__name__"],
                    "recorded": sys.modules["corvessa.util.queue"] is m,
                    "lifo": [q.get(), q.get()], "base": m.LifoQueue.__bases__[0].__module__}))
            ''' % os.path.join(harness.PACKAGE, "packages"), tree=tree,
                env=harness.without_leak_check())
        finally:
            tree.cleanup()
        self.assertEqual(out.returncode, 0, out)
        self.assertEqual(json.loads(out.stdout), {
            "fresh": True, "old_name": "corvessa.util.queue", "recorded": True, "lifo": [2, 1],
            "base": "queue"})


class ImportResultsTest(harness.ScenarioTestCase):
    def test_queue_of_python_2_only_when_py2(self):
        tree = harness.Tree().with_py2_six()
        try:
            out = self.run_ok(r'''
                import sys
                import corvessa.util.queue as m
                assert m._unused_module_Queue is sys.modules["Queue"]
                assert m._unused_module_Queue.__file__.endswith("Queue.py")
                assert m.queue is m._unused_module_Queue
                q = m.LifoQueue(); q.put(1); q.put(2)
                print(q.get())
            ''', tree=tree)
        finally:
            tree.cleanup()
        self.assertEqual(out, "2\n")
        self.assertNotIn("_unused_module_Queue", import_report()["keys"])

    def test_collections_found_in_sys_modules(self):
        # The module stands in sys.modules before the import; the other imports are done
        # beforehand so that only line 1 looks at it. A flag's truth is asked once by the
        # module and once more by the import machinery when the module goes through it.
        prelude = r'''
            import sys, types, collections, queue
            import corvessa.packages.six.moves
            asked = []
            class Flag:
                def __init__(self, value):
                    self.value = value
                def __bool__(self):
                    asked.append(1)
                    if isinstance(self.value, Exception):
                        raise self.value
                    return self.value
            fake = types.ModuleType("collections")
            fake.deque = collections.deque
            SETUP
            sys.modules["collections"] = fake
            try:
                import corvessa.util.queue as m
                assert m.collections is fake, m.collections
                assert sys.exc_info() == (None, None, None)
                print(len(asked))
            except BaseException as e:
                print(repr(e))
            raise SystemExit
        '''
        # The module asks once, then the machinery once (which waits on the module's lock,
        # once) where the module is taken from it; 3.13's lets the failing truth test fail
        # the import.
        truth_fails = "KeyError()" if sys.version_info >= (3, 13) else 2
        # So does a spec or flag that cannot be read, where the machinery would not ask again.
        spec_fails = "ValueError('no spec here')" if sys.version_info >= (3, 13) else 0
        flag_fails = "ValueError('no flag here')" if sys.version_info >= (3, 13) else 0
        unreadable = """
            class Unreadable(types.ModuleType):
                @property
                def __spec__(self):
                    raise ValueError("no spec here")
            fake = Unreadable("collections")
            fake.deque = collections.deque
            """
        cases = [
            ("no __spec__", "del fake.__spec__", 0),
            ("__spec__ None", "fake.__spec__ = None", 0),
            ("no _initializing", "fake.__spec__ = types.SimpleNamespace()", 0),
            ("not initializing", "fake.__spec__ = types.SimpleNamespace(_initializing=Flag(False))", 1),
            ("initializing", "fake.__spec__ = types.SimpleNamespace(_initializing=Flag(True))", 2),
            ("truth fails", "fake.__spec__ = types.SimpleNamespace(_initializing=Flag(KeyError()))", truth_fails),
            ("None entry", "fake = None", 0),
            ("__spec__ unreadable", unreadable, spec_fails),
            ("_initializing unreadable", "fake.__spec__ = type('S', (), {'_initializing': property("
             "lambda self: (_ for _ in ()).throw(ValueError('no flag here')))})()", flag_fails),
        ]
        for label, setup, asked in cases:
            with self.subTest(label):
                out = self.run_ok(textwrap.dedent(prelude).replace("SETUP", textwrap.dedent(setup).strip()))
                self.assertEqual(out, "%s\n" % asked)


if __name__ == "__main__":
    unittest.main()
