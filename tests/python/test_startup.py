"""Start-up: the module definition, create and exec steps, and what they leave behind."""
import builtins
import importlib
import json
import subprocess
import sys
import sysconfig
import textwrap
import unittest

import harness

NAME = "corvessa.util.queue"

# Creates module objects straight from the module definition: the extension loader reads
# the spec's name and origin itself before the create step runs, so specs without a usable
# origin reach the create step only this way.
CREATE_FROM_DEFINITION = r'''
import ctypes, importlib.util, json, sys
import corvessa.util
REAL = importlib.util.find_spec("corvessa.util.queue")
_lib = ctypes.PyDLL(REAL.origin)
_lib.PyInit_queue.restype = ctypes.c_void_p
_definition = _lib.PyInit_queue()
_from_def = ctypes.pythonapi.PyModule_FromDefAndSpec2
_from_def.restype = ctypes.py_object
_from_def.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.c_int]
def create(spec):
    return _from_def(_definition, spec, 1013)
class Spec:
    def __init__(self, **attrs):
        self.__dict__.update(attrs)
'''


class ExportsTest(unittest.TestCase):
    def test_only_pyinit_queue_is_exported(self):
        import corvessa.util.queue as m
        out = subprocess.run(["nm", "-D", "--defined-only", m.__file__], capture_output=True,
                             text=True, check=True).stdout
        symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
        self.assertEqual(symbols, ["PyInit_queue"])


class ImportedModuleTest(unittest.TestCase):
    """The module object this process imported."""

    def setUp(self):
        import corvessa.util.queue as m
        self.m = m

    def test_the_extension_built_for_this_interpreter_is_the_one_imported(self):
        # The builds for other versions lie beside it under suffixes of their own.
        self.assertTrue(self.m.__file__.endswith(harness.EXTENSION_SUFFIX), self.m.__file__)

    def test_second_import_and_repeated_exec_change_nothing(self):
        m = self.m
        self.assertIs(importlib.import_module(NAME), m)
        self.assertIs(sys.modules[NAME], m)
        before = dict(vars(m))
        refs = sys.getrefcount(m)
        loader = m.__spec__.loader
        for i in range(2):
            # A create step hands back the recorded module with its "not yet executed"
            # mark cleared, so the exec step really runs on it again.
            self.assertIs(loader.create_module(m.__spec__), m)
            loader.exec_module(m)
        self.assertEqual(sys.getrefcount(m), refs)
        after = dict(vars(m))
        self.assertEqual(after.keys(), before.keys())
        for key, value in before.items():
            self.assertIs(after[key], value, key)

    def test_namespace(self):
        m = self.m
        self.assertEqual(sorted(vars(m)), sorted([
            "__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__",
            "__builtins__", "collections", "six", "queue", "LifoQueue", "__test__"]))
        self.assertIs(m.__builtins__, builtins)
        self.assertEqual(type(m.__test__), dict)
        self.assertEqual(m.__test__, {})
        self.assertEqual(m.__package__, "corvessa.util")
        self.assertEqual(m.__file__, m.__spec__.origin)
        self.assertIs(m.__loader__, m.__spec__.loader)
        self.assertIsNone(m.__doc__)
        import collections, queue
        from corvessa.packages import six
        self.assertIs(m.collections, collections)
        self.assertIs(m.six, six)
        self.assertIs(m.queue, queue)
        runtime = sys.modules["tarn_runtime"]
        self.assertEqual(type(runtime), type(m))
        self.assertEqual(runtime.__name__, "tarn_runtime")

    def test_code_objects(self):
        table = {
            "_init": (2, ("self", "_"), 11),
            "_qsize": (2, ("self", "len"), 14),
            "_put": (2, ("self", "item"), 17),
            "_get": (1, ("self",), 20),
        }
        # CO_OPTIMIZED | CO_NEWLOCALS, and the interpreter's CO_NOFREE until 3.11 dropped it
        flags = 3 if sys.version_info >= (3, 11) else 67
        for name, (argcount, varnames, firstline) in table.items():
            with self.subTest(name):
                code = getattr(self.m.LifoQueue, name).__code__
                self.assertEqual(
                    (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount,
                     code.co_nlocals, code.co_varnames, code.co_name, code.co_firstlineno,
                     code.co_flags, code.co_filename, code.co_code, code.co_consts,
                     code.co_names, code.co_freevars, code.co_cellvars),
                    (argcount, 0, 0, argcount, varnames, name, firstline,
                     flags, "corvessa\\util\\queue.py", b"", (), (), (), ()))
                self.assertEqual(len(code.co_filename), 22)
                if sys.version_info >= (3, 11):
                    self.assertEqual(code.co_qualname, "LifoQueue." + name)


class StartupScenarioTest(harness.ScenarioTestCase):
    """Create and exec steps driven by hand in fresh processes."""

    def test_nothing_warns(self):
        # Every warning an error: the import, a round of the queue and a traceback entry.
        out = self.run_ok("""
            import corvessa.util.queue as m
            q = m.LifoQueue()
            q.put(1)
            try:
                q._get(), q._get()
            except IndexError as e:
                print(q.qsize(), e.__traceback__.tb_next.tb_frame.f_code.co_name)
        """, flags=("-W", "error"))
        self.assertEqual(out, "0 corvessa.util.queue.LifoQueue._get\n")

    def test_two_module_objects_before_exec(self):
        out = self.run_ok(r'''
            import importlib.machinery, importlib.util, json, sys
            import corvessa.util
            spec = importlib.util.find_spec("corvessa.util.queue")
            first = spec.loader.create_module(spec)
            second = spec.loader.create_module(spec)
            assert first is not second
            assert "corvessa.util.queue" not in sys.modules
            spec.loader.exec_module(first)
            assert sys.modules["corvessa.util.queue"] is first  # entered by the exec step
            try:
                spec.loader.exec_module(second)
                error = None
            except RuntimeError as e:
                files = []
                tb = e.__traceback__
                while tb:
                    files.append(tb.tb_frame.f_code.co_filename)
                    tb = tb.tb_next
                error = [str(e), files]
            assert sys.modules["corvessa.util.queue"] is first
            q = first.LifoQueue()
            for i in range(3):
                q.put(i)
            got = [q.get() for i in range(3)]
            other = importlib.machinery.ModuleSpec("elsewhere.queue", spec.loader, origin=spec.origin)
            refs = sys.getrefcount(first)
            again = spec.loader.create_module(other)
            print(json.dumps({
                "error": error, "got": got, "again_is_first": again is first,
                "refs": sys.getrefcount(first) - refs,
                "second_keys": sorted(vars(second)),
                "name": first.__name__}))
        ''')
        r = json.loads(out)
        msg, files = r["error"]
        self.assertEqual(msg, "Module 'queue' has already been imported. "
                              "Re-initialisation is not supported.")
        self.assertNotIn("corvessa\\\\util\\\\queue.py", files)
        self.assertEqual(r["got"], [2, 1, 0])
        self.assertTrue(r["again_is_first"])
        self.assertEqual(r["refs"], 1)
        self.assertNotIn("LifoQueue", r["second_keys"])
        self.assertEqual(r["name"], NAME)

    def test_existing_sys_modules_entry_stays(self):
        self.run_ok(r'''
            import importlib.util, sys
            import corvessa.util
            spec = importlib.util.find_spec("corvessa.util.queue")
            m = spec.loader.create_module(spec)
            placeholder = object()
            sys.modules["corvessa.util.queue"] = placeholder
            spec.loader.exec_module(m)
            assert sys.modules["corvessa.util.queue"] is placeholder
            q = m.LifoQueue()
            q.put("a"); q.put("b")
            assert q.get() == "b"
        ''')

    def test_sub_interpreter_is_refused(self):
        out = self.run_ok(r'''
            import importlib.util, json, os, _testcapi
            import corvessa.util
            SUB = """
            import json
            try:
                import corvessa.util.queue
                result = "imported"
            except BaseException as e:
                result = [type(e).__name__, str(e)]
            with open(%r, "a") as f:
                f.write(json.dumps(result) + "\\n")
            """ % os.path.abspath("sub.out")
            spec = importlib.util.find_spec("corvessa.util.queue")
            created = spec.loader.create_module(spec)      # records this interpreter
            rc1 = _testcapi.run_in_subinterp(SUB)
            import corvessa.util.queue as m                 # now the module is recorded too
            rc2 = _testcapi.run_in_subinterp(SUB)
            q = m.LifoQueue(); q.put(1)
            assert q.get() == 1
            with open("sub.out") as f:
                print(json.dumps([rc1, rc2, [json.loads(line) for line in f]]))
        ''', env=harness.without_leak_check())
        rc1, rc2, results = json.loads(out)
        self.assertEqual((rc1, rc2), (0, 0))
        refusal = ["ImportError", "Interpreter change detected - this module can only be loaded "
                                  "into one interpreter per process."]
        self.assertEqual(results, [refusal, refusal])

    @unittest.skipIf(sys.version_info < (3, 12), "interpreters with a GIL of their own came with 3.12")
    def test_isolated_sub_interpreter_is_refused_by_the_interpreter(self):
        # A sub-interpreter with its own GIL checks extensions itself, before the create step.
        out = self.run_ok(r'''
            try:
                import _xxsubinterpreters as interpreters
            except ImportError:
                import _interpreters as interpreters
            import corvessa.util.queue as m
            other = interpreters.create()
            try:
                failure = interpreters.run_string(other, "import corvessa.util.queue")
                print(failure.formatted.splitlines()[-1])
            except interpreters.RunFailedError as e:
                print(e)
            q = m.LifoQueue(); q.put(1)
            assert q.get() == 1
        ''', env=harness.without_leak_check())
        self.assertRegex(out, r"ImportError.*: module corvessa.util.queue does not support loading in subinterpreters")

    def test_spec_attributes_copied_by_create(self):
        out = self.run_ok(CREATE_FROM_DEFINITION + textwrap.dedent(r'''
            loader, path = object(), ["somewhere"]
            out = {}
            m = create(Spec(name="a.queue", loader=loader, origin=None, parent="a",
                            submodule_search_locations=None))
            d = vars(m)
            out["plain"] = [sorted(d), d["__file__"], d["__package__"], d["__loader__"] is loader,
                            m.__name__, m.__spec__]
            m = create(Spec(name="b.queue", loader=None, origin="/x.so", parent=None,
                            submodule_search_locations=path))
            out["package"] = [sorted(vars(m)), m.__file__, m.__path__ is path, m.__loader__]
            out["bare"] = sorted(vars(create(Spec(name="c"))))
            class NoParent(Spec):
                @property
                def parent(self):
                    raise ValueError("no parent")
            class GoneParent(Spec):
                @property
                def parent(self):
                    raise AttributeError("gone")
            refs = sys.getrefcount(loader)
            try:
                create(NoParent(name="d", loader=loader))
            except ValueError as e:
                out["raising"] = str(e)
            out["loader_refs"] = sys.getrefcount(loader) - refs
            out["missing"] = sorted(vars(create(GoneParent(name="e"))))
            print(json.dumps(out))
        '''))
        r = json.loads(out)
        base = ["__doc__", "__loader__", "__name__", "__package__", "__spec__"]
        self.assertEqual(r["plain"], [sorted(base + ["__file__"]), None, "a", True, "a.queue", None])
        self.assertEqual(r["package"], [sorted(base + ["__file__", "__path__"]), "/x.so", True, None])
        self.assertEqual(r["bare"], base)
        self.assertEqual(r["raising"], "no parent")
        self.assertEqual(r["loader_refs"], 0)
        self.assertEqual(r["missing"], base)


if __name__ == "__main__":
    unittest.main()
