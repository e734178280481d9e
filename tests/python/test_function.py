"""Function objects of LifoQueue's methods: attributes, representation, pickling,
binding, calls, and the type tarn_function_or_method itself."""
import builtins
import copy
import pickle
import re
import sys
import types
import unittest
import weakref

import harness
import corvessa.util.queue as module
from corvessa.util.queue import LifoQueue

METHODS = ("_init", "_qsize", "_put", "_get")
FUNCTIONS = [LifoQueue.__dict__[name] for name in METHODS]
TYPE = type(LifoQueue._get)
SAVED = ("__name__", "__qualname__", "__module__", "__doc__", "__dict__", "__annotations__",
         "__defaults__", "__kwdefaults__")


class Str(str):
    pass


class FunctionTestCase(unittest.TestCase):
    """Restores every writable attribute of the four functions after each test: the
    module object is shared by all tests of this process."""

    def setUp(self):
        self.saved = [(f, {a: getattr(f, a) for a in SAVED}, dict(f.__dict__)) for f in FUNCTIONS]

    def tearDown(self):
        for f, attrs, contents in self.saved:
            for name, value in attrs.items():
                setattr(f, name, value)
            f.__dict__.clear()
            f.__dict__.update(contents)

    def assertTypeError(self, message, action, *args):
        with self.assertRaises(TypeError) as cm:
            action(*args)
        self.assertEqual(str(cm.exception), message)


class AttributeTest(FunctionTestCase):
    def test_get_reports_its_metadata(self):
        f = LifoQueue._get
        self.assertEqual(TYPE.__name__, "tarn_function_or_method")
        self.assertEqual(f.__name__, "_get")
        self.assertEqual(f.__qualname__, "LifoQueue._get")
        self.assertEqual(f.__module__, "corvessa.util.queue")
        for name in ("__doc__", "__self__", "__closure__", "__defaults__", "__kwdefaults__"):
            self.assertIsNone(getattr(f, name), name)
        self.assertIs(f.__globals__, vars(module))
        self.assertIsInstance(f.__code__, types.CodeType)
        self.assertEqual(f.__code__.co_name, "_get")
        self.assertIs(f.__code__, f.__code__)
        self.assertEqual(f.__annotations__, {})
        self.assertIs(f.__annotations__, f.__annotations__)
        for g, name in zip(FUNCTIONS, METHODS):
            self.assertIs(type(g), TYPE)
            self.assertEqual((g.__name__, g.__qualname__), (name, "LifoQueue." + name))
        # The func_* aliases share getter and setter with their partners.
        self.assertEqual(f.func_name, "_get")
        self.assertIsNone(f.func_doc)
        self.assertIsNone(f.func_closure)
        self.assertIsNone(f.func_defaults)
        self.assertIs(f.func_globals, f.__globals__)
        self.assertIs(f.func_code, f.__code__)
        self.assertIs(f.func_dict, f.__dict__)

    def test_qsize_defaults_come_from_the_provider_once(self):
        f = LifoQueue._qsize
        self.assertEqual(f.__defaults__, (len,))
        self.assertIs(f.__defaults__[0], builtins.len)
        self.assertIs(f.__defaults__, f.__defaults__)
        self.assertIs(f.func_defaults, f.__defaults__)
        self.assertIsNone(f.__kwdefaults__)

    def test_assigned_defaults_do_not_change_what_calls_use(self):
        f = LifoQueue._qsize
        mine = (lambda items: 99,)
        f.__defaults__ = mine
        self.assertIs(f.__defaults__, mine)
        q = LifoQueue()
        q.put(1)
        q.put(2)
        self.assertEqual(q._qsize(), 2)
        self.assertEqual(f(q), 2)
        self.assertEqual(q.qsize(), 2)

    def test_defaults_and_kwdefaults_stores(self):
        f = LifoQueue._get
        self.assertTypeError("__defaults__ must be set to a tuple object", setattr, f, "__defaults__", [1])
        self.assertTypeError("__defaults__ must be set to a tuple object", setattr, f, "func_defaults", {})
        self.assertTypeError("__kwdefaults__ must be set to a dict object", setattr, f, "__kwdefaults__", [1])
        self.assertTypeError("__kwdefaults__ must be set to a dict object", setattr, f, "__kwdefaults__", (1,))
        self.assertIsNone(f.__defaults__)
        self.assertIsNone(f.__kwdefaults__)
        sub = type("T", (tuple,), {})((1, 2))
        f.func_defaults = sub
        self.assertIs(f.__defaults__, sub)
        kw = {"a": 1}
        f.__kwdefaults__ = kw
        self.assertIs(f.__kwdefaults__, kw)
        f.__defaults__ = None
        del f.__kwdefaults__
        self.assertIsNone(f.__defaults__)
        self.assertIsNone(f.__kwdefaults__)
        f.__defaults__ = (3,)
        del f.__defaults__
        self.assertIsNone(f.__defaults__)
        f.__kwdefaults__ = kw
        f.__kwdefaults__ = None
        self.assertIsNone(f.__kwdefaults__)

    def test_annotations(self):
        f = LifoQueue._put
        first = f.__annotations__
        first["x"] = int
        f.__annotations__ = None
        second = f.__annotations__
        self.assertEqual(second, {})
        self.assertIsNot(second, first)
        second["y"] = 1
        del f.__annotations__
        self.assertEqual(f.__annotations__, {})
        self.assertTypeError("__annotations__ must be set to a dict object", setattr, f, "__annotations__", [])
        mine = type("D", (dict,), {})(z=3)
        f.__annotations__ = mine
        self.assertIs(f.__annotations__, mine)

    def test_dict(self):
        f = LifoQueue._put
        self.assertTypeError("function's dictionary may not be deleted", delattr, f, "__dict__")
        self.assertTypeError("function's dictionary may not be deleted", delattr, f, "func_dict")
        self.assertTypeError("setting function's dictionary to a non-dict", setattr, f, "__dict__", 1)
        f.plain = 5
        self.assertEqual(f.__dict__["plain"], 5)
        self.assertEqual(f.plain, 5)
        mine = type("D", (dict,), {})(other=6)
        f.func_dict = mine
        self.assertIs(f.__dict__, mine)
        self.assertEqual(f.other, 6)
        self.assertFalse(hasattr(f, "plain"))
        del f.other
        self.assertEqual(mine, {})

    def test_name_and_qualname(self):
        f = LifoQueue._put
        for attr in ("__name__", "func_name", "__qualname__"):
            message = "%s must be set to a string object" % ("__qualname__" if attr == "__qualname__" else "__name__")
            self.assertTypeError(message, setattr, f, attr, 1)
            self.assertTypeError(message, setattr, f, attr, b"bytes")
            self.assertTypeError(message, delattr, f, attr)
        self.assertEqual((f.__name__, f.__qualname__), ("_put", "LifoQueue._put"))
        name, qualname = Str("renamed"), Str("Other.renamed")
        f.func_name = name
        f.__qualname__ = qualname
        self.assertIs(f.__name__, name)
        self.assertIs(f.__qualname__, qualname)
        self.assertTrue(repr(f).startswith("<tarnfunction Other.renamed at 0x"))
        self.assertIs(f.__reduce__(), qualname)

    def test_module_and_doc(self):
        f = LifoQueue._init
        marker = object()
        f.__module__ = marker
        self.assertIs(f.__module__, marker)
        del f.__module__
        self.assertIsNone(f.__module__)
        f.__doc__ = 42
        self.assertEqual((f.__doc__, f.func_doc), (42, 42))
        del f.func_doc
        self.assertIsNone(f.__doc__)

    def test_read_only_attributes(self):
        f = LifoQueue._get
        for name in ("__self__", "__globals__", "func_globals", "__closure__", "func_closure", "__code__",
                     "func_code"):
            message = "attribute '%s' of 'tarn_function_or_method' objects is not writable" % name
            for action, args in ((setattr, (f, name, None)), (delattr, (f, name))):
                with self.assertRaises(AttributeError, msg=name) as cm:
                    action(*args)
                self.assertEqual(str(cm.exception), message)
        self.assertIsNone(f.__self__)
        self.assertIs(f.__globals__, vars(module))


    def test_later_attributes_answer_as_a_python_functions_do(self):
        # __builtins__ (3.10), __type_params__ (3.12) and __annotate__ (3.14), where Python
        # functions have them: the same values, stores and refusals, step by step.
        ours, twin = LifoQueue._put, harness.python_lifoqueue()._put
        ours.__annotations__ = None  # afresh, as the twin's
        later = ("__builtins__", "__type_params__", "__annotate__")
        self.assertEqual([hasattr(ours, n) for n in later], [hasattr(twin, n) for n in later])
        steps = [("__builtins__", "f.__builtins__ is builtins.__dict__"), ("__builtins__", "f.__builtins__ = {}"),
                 ("__builtins__", "del f.__builtins__"), ("__type_params__", "f.__type_params__"),
                 ("__type_params__", "f.__type_params__ = [1]"), ("__type_params__", "del f.__type_params__"),
                 ("__type_params__", "f.__type_params__ = (1,); f.__type_params__"),
                 ("__annotate__", "f.__annotate__, f.__annotations__"), ("__annotate__", "f.__annotate__ = 1"),
                 ("__annotate__", "del f.__annotate__"),
                 ("__annotate__", "f.__annotate__ = lambda form: {'x': form}; f.__annotations__"),
                 ("__annotate__", "f.__annotations__ = {'y': 1}; f.__annotate__"),
                 ("__annotate__", "f.__annotate__ = lambda form: []; f.__annotations__"),
                 ("__annotate__", "del f.__annotations__; f.__annotate__, f.__annotations__")]
        for attr, step in steps:
            if hasattr(twin, attr):
                self.assertEqual(outcome(step, ours), outcome(step, twin), step)
        for attr, empty in (("__type_params__", ()), ("__annotate__", None)):
            if hasattr(ours, attr):
                setattr(ours, attr, empty)


def outcome(step, f):
    """What running the statements of step with f gives: the last one's value, or the error."""
    *statements, last = step.split("; ")
    if not (" = " in last or last.startswith("del ")):  # an expression
        last = "result = " + last
    scope = {"f": f, "builtins": builtins}
    try:
        exec("\n".join(statements + [last]), scope)
        return repr(scope.get("result"))
    except Exception as e:
        return type(e).__name__, str(e)


class ObjectTest(FunctionTestCase):
    def test_repr_names_qualname_and_address(self):
        for f in FUNCTIONS:
            m = re.fullmatch(r"<tarnfunction (\S+) at (0x[0-9a-f]+)>", repr(f))
            self.assertIsNotNone(m, repr(f))
            self.assertEqual(m.group(1), f.__qualname__)
            self.assertEqual(int(m.group(2), 16), id(f))
            self.assertEqual(str(f), repr(f))

    def test_reduce_pickle_and_copy(self):
        f = LifoQueue._get
        self.assertEqual(f.__reduce__(), "LifoQueue._get")
        self.assertEqual(f.__reduce__(1, 2), "LifoQueue._get")
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            self.assertIs(pickle.loads(pickle.dumps(f, protocol)), f, protocol)
        self.assertIs(copy.copy(f), f)
        self.assertIs(copy.deepcopy(f), f)

    def test_binding(self):
        f = LifoQueue.__dict__["_get"]
        q = LifoQueue()
        self.assertIs(LifoQueue._get, f)
        self.assertIs(f.__get__(None, LifoQueue), f)
        for bound in (q._get, f.__get__(q), f.__get__(q, int)):
            self.assertIs(type(bound), types.MethodType)
            self.assertIs(bound.__func__, f)
            self.assertIs(bound.__self__, q)

    def test_type_cannot_be_called_or_subclassed(self):
        self.assertTypeError("cannot create 'tarn_function_or_method' instances", TYPE, "x")
        self.assertTypeError("type 'tarn_function_or_method' is not an acceptable base type",
                             type, "Sub", (TYPE,), {})
        self.assertEqual(TYPE.__flags__ & 0x64800, 0x64800)
        self.assertFalse(TYPE.__flags__ & (1 << 10))  # no Py_TPFLAGS_BASETYPE
        self.assertIs(TYPE.__base__, object)
        self.assertIs(weakref.ref(LifoQueue._get)(), LifoQueue._get)

    def test_calls_directly_bound_and_through_the_call_slot(self):
        q = LifoQueue()
        call = TYPE.__call__
        LifoQueue._put(q, 1)
        call(LifoQueue._put, q, item=2)
        q._put(3)
        self.assertEqual(list(q.queue), [1, 2, 3])
        self.assertEqual(LifoQueue._get(q), 3)
        self.assertEqual(call(LifoQueue._get, q), 2)
        self.assertEqual(call(LifoQueue._qsize, q), 1)
        refs = sys.getrefcount(q)
        with self.assertRaises(TypeError) as cm:
            call(LifoQueue._get, q, **{1: 2})
        self.assertEqual(str(cm.exception), "keywords must be strings")
        self.assertEqual(sys.getrefcount(q), refs)
        self.assertEqual(q._get(), 1)


class DefaultsOrderTest(harness.ScenarioTestCase):
    """The provider run fills only the caches still empty; each case needs a function
    whose provider has not run yet, so each runs in a fresh process."""

    def test_assigned_defaults_survive_the_first_kwdefaults_read(self):
        out = self.run_ok("""
            from corvessa.util.queue import LifoQueue
            f = LifoQueue._qsize
            mine = (7,)
            f.__defaults__ = mine
            print(f.__kwdefaults__, f.__defaults__ is mine, LifoQueue()._qsize())
        """)
        self.assertEqual(out, "None True 0\n")

    def test_assigned_kwdefaults_survive_the_first_defaults_read(self):
        out = self.run_ok("""
            from corvessa.util.queue import LifoQueue
            f = LifoQueue._qsize
            mine = {'a': 1}
            f.__kwdefaults__ = mine
            print(f.__defaults__ == (len,), f.__kwdefaults__ is mine, f.__defaults__ is f.__defaults__)
        """)
        self.assertEqual(out, "True True True\n")


if __name__ == "__main__":
    unittest.main()
