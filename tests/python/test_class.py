"""Construction of LifoQueue: what the class looks like after import, the namespace its
metaclass is given, and imports that fail while the class is built."""
import builtins
import inspect
import json
import queue
import sys
import unittest

import harness
import corvessa.util.queue as module
from corvessa.util.queue import LifoQueue

FILE = "corvessa\\\\util\\\\queue.py"
INIT = "init corvessa.util.queue"

# A six.moves whose queue is a module holding a Queue class with a metaclass of our own.
# BEHAVIOUR picks the metaclass: "record" (a __prepare__ returning a mapping that is not a
# dict), "hidden" (the __prepare__ lookup fails with AttributeError), "lookup-raises",
# "prepare-raises", "new-raises", "refuse:KEY" (the mapping refuses KEY), or "no-len" (the
# builtin len is gone while the namespace lives).
MOVES = '''\
import builtins, gc, os, sys, types, weakref
import queue as _std

BEHAVIOUR = os.environ.get("BEHAVIOUR", "record")
ARMED = False
LOG = []

class Namespace:
    """A mapping that is not a dict."""
    def __init__(self):
        self.data = {}
        self.refs = {}

    def __setitem__(self, key, value):
        shown = getattr(value, "__qualname__", value)
        if type(value).__name__ == "cell":
            shown = "the namespace" if value.cell_contents is self else repr(value.cell_contents)
        LOG.append(("set", key, type(value).__name__, shown))
        if BEHAVIOUR == "refuse:" + key:
            raise LookupError("refused " + key)
        self.data[key] = value
        if not isinstance(value, (str, int, tuple, types.CellType)):
            self.refs[key] = weakref.ref(value)

    def __getitem__(self, key):
        return self.data[key]

    def __delitem__(self, key):
        LOG.append(("del", key))
        del self.data[key]

    def as_dict(self):
        return dict(self.data)

class LenKeeper:
    """Takes the builtin len away while it lives. It goes with the namespace of a failed
    class statement, before the import machinery (which needs len from 3.12 on) lets go of
    its module lock."""
    def __init__(self):
        self.len = builtins.len
        del builtins.len

    def __del__(self):
        builtins.len = self.len

class MetaMeta(type):
    def __getattribute__(cls, name):
        if name == "__prepare__" and cls.__name__ == "Meta" and ARMED:
            if BEHAVIOUR == "hidden":
                raise AttributeError(name)
            if BEHAVIOUR == "lookup-raises":
                raise RuntimeError("lookup of __prepare__")
        return super().__getattribute__(name)

class Meta(type, metaclass=MetaMeta):
    @classmethod
    def __prepare__(mcls, name, bases, **kwargs):
        if name != "LifoQueue":
            return {}
        LOG.append(("prepare", name, [b.__name__ for b in bases], kwargs))
        if BEHAVIOUR == "prepare-raises":
            raise ArithmeticError("prepare")
        ns = Namespace()
        if BEHAVIOUR == "no-len":
            ns.data["len keeper"] = LenKeeper()
        return ns

    def __new__(mcls, name, bases, ns, **kwargs):
        if name == "LifoQueue":
            LOG.append(("new", type(ns).__name__, [b.__name__ for b in bases], kwargs, list(ns.data)
                        if isinstance(ns, Namespace) else list(ns)))
            if BEHAVIOUR == "new-raises":
                raise BufferError("new")
            if isinstance(ns, Namespace):
                ns = ns.as_dict()
        return super().__new__(mcls, name, bases, ns)

class Queue(_std.Queue, metaclass=Meta):
    pass

queue = types.ModuleType("queue")
queue.Queue = Queue
ARMED = True
'''

# Turns the failure of `import corvessa.util.queue` into JSON on stdout.
REPORT_FAILURE = '''
import json, sys

def entries(exc):
    tb, out = exc.__traceback__, []
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename.startswith("corvessa"):
            out.append([code.co_filename, code.co_name, tb.tb_lineno])
        tb = tb.tb_next
    return out

def summary(exc, **extra):
    return dict(type=type(exc).__name__, message=str(exc), entries=entries(exc),
                imported="corvessa.util.queue" in sys.modules, **extra)

def report(exc, **extra):
    print(json.dumps(summary(exc, **extra)))
'''


# What the class body stores besides its functions, as each interpreter's does: from 3.13 its
# first line before them and self's attributes after; from 3.14 then the namespace's cell.
FIRST = [["__firstlineno__", "int", 10]] if sys.version_info >= (3, 13) else []
LAST = ([["__static_attributes__", "tuple", ["queue"]]] if sys.version_info >= (3, 13) else []) + (
    [["__classdictcell__", "cell", "the namespace"]] if sys.version_info >= (3, 14) else [])
HOOKS = ["_init", "_qsize", "_put", "_get"]
NAMESPACE = ["__module__", "__qualname__"] + [e[0] for e in FIRST] + HOOKS + [e[0] for e in LAST]
CLASS_DICT = [n for n in NAMESPACE if n not in ("__qualname__", "__classdictcell__")] + ["__doc__"]


def moves_tree():
    return harness.Tree().write("corvessa/packages/six/moves.py", MOVES)


class AfterImportTest(unittest.TestCase):
    def test_class_attributes(self):
        self.assertIs(module.LifoQueue, LifoQueue)
        self.assertEqual((LifoQueue.__name__, LifoQueue.__qualname__, LifoQueue.__module__),
                         ("LifoQueue", "LifoQueue", "corvessa.util.queue"))
        self.assertIsNone(LifoQueue.__doc__)
        self.assertEqual(LifoQueue.__bases__, (queue.Queue,))
        self.assertIs(type(LifoQueue), type)
        # type() takes __qualname__ out of the namespace and adds __doc__ at the end
        self.assertEqual(list(LifoQueue.__dict__), CLASS_DICT)
        if FIRST:
            self.assertEqual((LifoQueue.__firstlineno__, LifoQueue.__static_attributes__), (10, ("queue",)))

    def test_methods(self):
        shared = getattr(sys.modules["_tarn_3_0a5"], harness.SHARED_TYPE_KEY)
        self.assertEqual(shared.__name__, "tarn_function_or_method")
        signatures = {"_init": "(self, _)", "_qsize": "(self, len=<built-in function len>)",
                      "_put": "(self, item)", "_get": "(self)"}
        for name, signature in signatures.items():
            func = LifoQueue.__dict__[name]
            self.assertIs(type(func), shared)
            self.assertEqual((func.__name__, func.__qualname__, func.__module__),
                             (name, "LifoQueue." + name, "corvessa.util.queue"))
            self.assertIs(func.__globals__, vars(module))
            self.assertEqual(str(inspect.signature(func)), signature)
            self.assertIs(getattr(LifoQueue, name), func)  # no binding on class access
        self.assertIs(LifoQueue._qsize.__defaults__[0], builtins.len)
        self.assertEqual((LifoQueue._init.__defaults__, LifoQueue._get.__defaults__), (None, None))


class NamespaceTest(harness.ScenarioTestCase):
    def run_behaviour(self, behaviour, code):
        tree = moves_tree()
        try:
            return self.run_ok(code, tree=tree, env={"BEHAVIOUR": behaviour})
        finally:
            tree.cleanup()

    def test_prepared_mapping_gets_every_entry_in_order(self):
        out = self.run_behaviour("record", '''
            import json
            from corvessa.packages.six import moves
            from corvessa.util.queue import LifoQueue
            q = LifoQueue()
            for i in (1, 2, 3):
                q.put(i)
            print(json.dumps(dict(log=moves.LOG, got=[q.get() for _ in range(3)],
                                  base=LifoQueue.__bases__ == (moves.Queue,),
                                  meta=type(LifoQueue).__name__)))
            ''')
        result = json.loads(out)
        self.assertEqual(result["log"], [
            ["prepare", "LifoQueue", ["Queue"], {}],
            ["set", "__module__", "str", "corvessa.util.queue"],
            ["set", "__qualname__", "str", "LifoQueue"]] + [["set"] + e for e in FIRST] + [
            ["set", "_init", "tarn_function_or_method", "LifoQueue._init"],
            ["set", "_qsize", "tarn_function_or_method", "LifoQueue._qsize"],
            ["set", "_put", "tarn_function_or_method", "LifoQueue._put"],
            ["set", "_get", "tarn_function_or_method", "LifoQueue._get"]] + [["set"] + e for e in LAST] + [
            ["new", "Namespace", ["Queue"], {}, NAMESPACE],
        ])
        self.assertEqual((result["got"], result["base"], result["meta"]), ([3, 2, 1], True, "Meta"))

    def test_metaclass_without_prepare_gets_a_dict(self):
        out = self.run_behaviour("hidden", '''
            import json
            from corvessa.packages.six import moves
            from corvessa.util.queue import LifoQueue
            print(json.dumps(dict(log=moves.LOG, names=list(vars(LifoQueue)))))
            ''')
        result = json.loads(out)
        self.assertEqual(result["log"], [["new", "dict", ["Queue"], {}, NAMESPACE]])
        self.assertEqual(result["names"], CLASS_DICT)

    def test_failures_of_the_class_machinery(self):
        cases = [
            ("lookup-raises", "RuntimeError", "lookup of __prepare__", 10, 0),
            ("prepare-raises", "ArithmeticError", "prepare", 10, 0),
            ("new-raises", "BufferError", "new", 10, 4),
            ("refuse:__module__", "LookupError", "refused __module__", 10, 0),
            ("refuse:__qualname__", "LookupError", "refused __qualname__", 10, 0),
            ("refuse:_init", "LookupError", "refused _init", 11, 1),
            ("refuse:_qsize", "LookupError", "refused _qsize", 14, 2),
            ("no-len", "NameError", "name 'len' is not defined", 14, 1),
            ("refuse:_put", "LookupError", "refused _put", 17, 3),
            ("refuse:_get", "LookupError", "refused _get", 20, 4),
        ] + [("refuse:" + e[0], "LookupError", "refused " + e[0], 10, 0) for e in FIRST] + [
            ("refuse:" + e[0], "LookupError", "refused " + e[0], 20, 4) for e in LAST]
        code = REPORT_FAILURE + '''
import gc
from corvessa.packages.six import moves
base, meta = sys.getrefcount(moves.Queue), sys.getrefcount(moves.Meta)
try:
    import corvessa.util.queue
except Exception as exc:
    result = summary(exc, made=sum(1 for entry in moves.LOG if entry[2:3] == ("tarn_function_or_method",)))
gc.collect()  # the traceback is gone, with the frames of the metaclass's methods
result["counts"] = [sys.getrefcount(moves.Queue) - base, sys.getrefcount(moves.Meta) - meta]
print(json.dumps(result))
'''
        for behaviour, exc_type, message, line, made in cases:
            with self.subTest(behaviour):
                result = json.loads(self.run_behaviour(behaviour, code))
                self.assertEqual((result["type"], result["message"]), (exc_type, message))
                self.assertEqual(result["entries"][-1], [FILE, INIT, line])
                self.assertFalse(result["imported"])
                self.assertEqual(result["made"], made)
                self.assertEqual(result["counts"], [0, 0])

    def test_function_objects_of_a_failed_build_are_released(self):
        out = self.run_behaviour("refuse:_get", REPORT_FAILURE + '''
import gc
from corvessa.packages.six import moves
ns = []
orig_init = moves.Namespace.__init__
def keep(self):
    orig_init(self)
    ns.append(self)
moves.Namespace.__init__ = keep
try:
    import corvessa.util.queue
except LookupError as exc:
    del exc
    refs = ns[0].refs
    alive = [refs[k]() is not None for k in ("_init", "_qsize", "_put")]
    ns[0].data.clear()
    gc.collect()
    print(json.dumps([alive, [refs[k]() is not None for k in ("_init", "_qsize", "_put")]]))
''')
        self.assertEqual(json.loads(out), [[True] * 3, [False] * 3])


class FailedImportTest(harness.ScenarioTestCase):
    def test_len_replaced_at_class_construction(self):
        out = self.run_ok('''
            import builtins, json
            calls = []
            saved = builtins.len
            def counting_len(obj):
                if calls is not None:
                    calls.append(type(obj).__name__)
                return saved(obj)
            calls, builtins.len = None, counting_len
            try:
                from corvessa.util.queue import LifoQueue
            finally:
                builtins.len = saved
            calls = []
            q = LifoQueue()
            q.put(1)
            print(json.dumps([LifoQueue._qsize.__defaults__[0] is counting_len, q.qsize(), calls]))
            ''')
        self.assertEqual(json.loads(out), [True, 1, ["deque"]])

    def test_queue_without_queue_class(self):
        tree = harness.Tree().write("corvessa/packages/six/moves.py", '''\
            import types
            queue = types.ModuleType("queue")
            ''')
        self.addCleanup(tree.cleanup)
        result = json.loads(self.run_ok(REPORT_FAILURE + '''
try:
    import corvessa.util.queue
except AttributeError as exc:
    report(exc)
''', tree=tree))
        self.assertEqual(result["message"], "module 'queue' has no attribute 'Queue'")
        self.assertEqual(result["entries"], [[FILE, INIT, 10]])

    def test_queue_global_missing(self):
        # six.PY2 is read after `queue` is bound and before the class is built; its truth
        # test takes the global away again
        tree = harness.Tree().write("corvessa/packages/six/__init__.py", '''\
            import os, sys
            class Flag:
                def __bool__(self):
                    module = sys.modules.get("corvessa.util.queue")
                    if module is None or "queue" not in vars(module):
                        return False  # six.moves asking, before the module's own import
                    del module.queue
                    if os.environ.get("IN_BUILTINS"):
                        import builtins, queue, types
                        builtins.queue = types.SimpleNamespace(Queue=queue.Queue)
                    return False
            PY2 = Flag()
            ''')
        self.addCleanup(tree.cleanup)
        code = REPORT_FAILURE + '''
try:
    import corvessa.util.queue as m
    print(json.dumps(dict(built=m.LifoQueue.__bases__[0].__name__, has_global="queue" in vars(m))))
except NameError as exc:
    report(exc)
'''
        result = json.loads(self.run_ok(code, tree=tree))
        self.assertEqual((result["type"], result["message"]), ("NameError", "name 'queue' is not defined"))
        self.assertEqual(result["entries"], [[FILE, INIT, 10]])
        # found in builtins instead, the class is built on what is there
        result = json.loads(self.run_ok(code, tree=tree, env={"IN_BUILTINS": "1"}))
        self.assertEqual(result, dict(built="Queue", has_global=False))


if __name__ == "__main__":
    unittest.main()
