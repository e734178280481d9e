"""Hostile objects and environments: queue objects, attribute hooks, len substitutes and
module globals that raise, call back into the queue or pull objects away mid-call, and
class machinery that refuses during import. Each must give the object's own error with
the module's traceback entry for the failing line, never a crash, and leave the queue
usable."""
import builtins
import collections
import gc
import os
import textwrap
import types
import unittest
import weakref

import harness

import corvessa.util.queue as m
from corvessa.util.queue import LifoQueue

TB_FILE = harness.TB_FILE
P = "corvessa.util.queue.LifoQueue."


module_entries = harness.module_entries


class HostileCase(unittest.TestCase):
    def assertFails(self, call, exc, message, entries):
        try:  # not assertRaises: it drops the traceback
            call()
        except exc as e:
            self.assertEqual(str(e), message)
            self.assertEqual(module_entries(e), entries)
        else:
            self.fail("no " + exc.__name__)

    def assertUsable(self, q):
        """The lock is free, nothing counts as unfinished, and LIFO order still holds."""
        self.assertTrue(q.mutex.acquire(blocking=False))
        q.mutex.release()
        self.assertEqual(q.unfinished_tasks, 0)
        if type(getattr(q, "queue", None)) is not collections.deque:
            q._init(None)
        for i in range(3):
            q.put(i, timeout=1)
        self.assertEqual([q.get(timeout=1) for _ in range(3)], [2, 1, 0])
        for _ in range(3):
            q.task_done()
        q.join()


class QueueObjectTest(HostileCase):
    def test_raising_append_and_pop(self):
        class Refusing:
            def append(self, x):
                raise ValueError("append refused")

            def pop(self):
                raise KeyError("pop refused")

            def __len__(self):
                return 1
        q = LifoQueue()
        q.queue = Refusing()
        self.assertFails(lambda: q.put(1), ValueError, "append refused", [(P + "_put", 18)])
        self.assertFails(lambda: q.get(), KeyError, "'pop refused'", [(P + "_get", 21)])
        self.assertEqual(q.unfinished_tasks, 0)
        self.assertUsable(q)

    def test_dictionary_that_cannot_compare_the_method_name(self):
        # The queue object's own dictionary fails to look up append or pop: that failure is
        # the call's, as it is for the Python source, never the class's method behind it.
        class Uncomparable:
            def __init__(self, name):
                self.h = hash(name)

            def __hash__(self):
                return self.h

            def __eq__(self, other):
                raise RuntimeError("cannot compare")

        class Store:
            def append(self, x):
                raise AssertionError("append reached")

            def pop(self):
                raise AssertionError("pop reached")
        q = LifoQueue()
        for name, call, entry in (("append", lambda: q._put(1), (P + "_put", 18)),
                                  ("pop", q._get, (P + "_get", 21))):
            with self.subTest(name):
                q.queue = Store()
                q.queue.__dict__[Uncomparable(name)] = None
                with self.assertRaisesRegex(RuntimeError, "cannot compare"):
                    getattr(q.queue, name)  # what Python code gets
                self.assertFails(call, RuntimeError, "cannot compare", [entry])
        self.assertUsable(q)

    def test_callbacks_into_the_same_queue(self):
        q = LifoQueue()
        seen = []

        class Reentrant(collections.deque):
            def append(self, x):
                if x == "nested":
                    q._put("inner")            # the hooks themselves take no lock
                    seen.append(q._qsize())
                elif x == "reinit":
                    q._init(None)              # replaces q.queue while _put holds this one
                elif x == "vanish":
                    del q.queue
                    gc.collect()
                super().append(x)

            def pop(self):
                x = super().pop()
                if x == "vanish-on-pop":
                    del q.queue
                    gc.collect()
                return x
        q.queue = first = Reentrant()
        q.put("nested")
        self.assertEqual(list(first), ["inner", "nested"])
        self.assertEqual(seen, [1])
        q.put("reinit")
        self.assertEqual(list(first), ["inner", "nested", "reinit"])
        self.assertIsNot(q.queue, first)
        q.queue = Reentrant()
        probe = weakref.ref(q.queue)
        q.put("vanish")                        # the body keeps its own reference to the deque
        self.assertFalse(hasattr(q, "queue"))
        self.assertIsNone(probe())
        self.assertFails(lambda: q.get(), AttributeError, "'LifoQueue' object has no attribute 'queue'",
                         [(P + "_qsize", 15)])
        q.queue = Reentrant(["vanish-on-pop"])
        self.assertEqual(q._get(), "vanish-on-pop")
        self.assertFalse(hasattr(q, "queue"))
        q.unfinished_tasks = 0  # the three puts above were never taken out with get
        self.assertUsable(q)

    def test_endless_recursion_through_append(self):
        q = LifoQueue()

        class Deep:
            def append(self, x):
                q._put(x)
        q.queue = Deep()
        try:
            q._put(1)
        except RecursionError as e:
            entries = module_entries(e)
        self.assertGreater(len(entries), 50)
        self.assertEqual(set(entries), {(P + "_put", 18)})
        self.assertUsable(q)

    def test_attribute_hooks_that_raise(self):
        class Lookup(LifoQueue):
            def __getattr__(self, name):
                raise KeyError("no " + name)

        class Guarded(LifoQueue):
            closed = False

            def __getattribute__(self, name):
                if name == "queue" and object.__getattribute__(self, "closed"):
                    raise PermissionError("queue closed")
                return object.__getattribute__(self, name)
        q = Lookup()
        del q.queue
        self.assertFails(q._get, KeyError, "'no queue'", [(P + "_get", 21)])
        self.assertFails(lambda: q._put(1), KeyError, "'no queue'", [(P + "_put", 18)])
        self.assertFails(q._qsize, KeyError, "'no queue'", [(P + "_qsize", 15)])
        g = Guarded()
        g.closed = True
        # put on an unbounded queue goes straight to _put; get asks _qsize first
        self.assertFails(lambda: g.put(1), PermissionError, "queue closed", [(P + "_put", 18)])
        self.assertFails(g.get_nowait, PermissionError, "queue closed", [(P + "_qsize", 15)])
        g.closed = False
        self.assertUsable(g)
        q.queue = collections.deque()
        self.assertUsable(q)

    def test_len_substitutes(self):
        q = LifoQueue()
        q.put("a")
        odd = [None, "two", -5, 10 ** 100, 2.5, object()]
        for value in odd:
            self.assertIs(q._qsize(lambda queue, v=value: v), value)
            self.assertIs(LifoQueue._qsize(q, len=lambda queue, v=value: v), value)

        def refuse(queue):
            raise OverflowError("len refused")
        self.assertFails(lambda: q._qsize(refuse), OverflowError, "len refused", [(P + "_qsize", 15)])
        self.assertFails(lambda: q._qsize(42), TypeError, "'int' object is not callable", [(P + "_qsize", 15)])

        class Bad:
            def __bool__(self):
                raise ArithmeticError("no truth")

        class Odd(LifoQueue):
            answer = None

            def _qsize(self):
                return LifoQueue._qsize(self, lambda queue: self.answer)
        o = Odd()
        o.put(1)
        o.answer = Bad()
        self.assertFails(o.empty, ArithmeticError, "no truth", [])
        self.assertFails(o.get, ArithmeticError, "no truth", [])
        o.answer = "many"
        self.assertEqual(o.qsize(), "many")
        o.answer = 1
        self.assertEqual(o.get(), 1)
        o.task_done()
        del Odd._qsize
        self.assertUsable(o)
        saved = builtins.len
        builtins.len = refuse                  # the default was fixed when the class was built
        try:
            self.assertEqual(q.qsize(), 1)
        finally:
            builtins.len = saved
        self.assertEqual(q.get(), "a")
        q.task_done()
        self.assertUsable(q)

    def test_collections_substitutes(self):
        q = LifoQueue()
        before = q.queue
        saved = m.collections
        init = [(P + "_init", 12)]

        def refuse():
            raise BufferError("deque refused")
        try:
            for value, exc, message in (
                    (types.SimpleNamespace(deque=5), TypeError, "'int' object is not callable"),
                    (types.SimpleNamespace(deque=refuse), BufferError, "deque refused"),
                    (None, AttributeError, "'NoneType' object has no attribute 'deque'")):
                m.collections = value
                self.assertFails(lambda: q._init(0), exc, message, init)
                self.assertIs(q.queue, before)
                self.assertFails(LifoQueue, exc, message, init)
            m.collections = types.SimpleNamespace(deque=list)
            self.assertIs(type(LifoQueue().queue), list)
        finally:
            m.collections = saved
        self.assertUsable(q)
        self.assertIs(type(LifoQueue().queue), collections.deque)


TwinQueue = harness.python_lifoqueue()  # the module's Python source
Rec = harness.Rec


def with_queue_property(base):
    class Q(base):
        queue = property(lambda self: self.__dict__["kept"], lambda self, v: self.__dict__.__setitem__("kept", v))
    return Q


def with_queue_slot(base):
    class Q(base):
        __slots__ = ("queue",)
    return Q


def with_getattr(base):
    class Q(base):
        def __getattr__(self, name):
            return self.__dict__["kept"] if name == "queue" else super().__getattr__(name)
    return Q


def with_getattribute(base):
    class Q(base):
        def __getattribute__(self, name):
            return object.__getattribute__(self, "kept" if name == "queue" else name)
    return Q


def deque_subclass(overridden=True, slots=False):
    """Makes a fresh class each time (the changes below are made to it) and an instance."""
    def make():
        namespace = {"__slots__": ()} if slots else {}
        if overridden:
            namespace["append"] = lambda self, x: collections.deque.append(self, ("appended", x))
        return type("D", (collections.deque,), namespace)()
    return make


def plain(q):
    pass


def plant_decoy(q):
    """An instance attribute `queue` that a data descriptor on the class hides."""
    q.__dict__["queue"] = collections.deque(["decoy"])


def move_queue_to_kept(q):
    q.kept = q.__dict__.pop("queue")


def put_queue_in_class(q):
    type(q).queue = q.__dict__.pop("queue")  # a class attribute, no descriptor


def replace_dict(q):
    q.__dict__ = dict(q.__dict__)


def drop_queue(q):
    del q.queue


def plant_shifty_key(q):
    """A key met before "queue" in the instance dictionary; compared once, it swaps the deque."""
    class Shifty:
        armed = False
        __hash__ = lambda self: hash("queue")

        def __eq__(self, other):
            if self.armed:
                self.armed = False
                q.__dict__["queue"] = collections.deque(["shifted"])
            return False
    kept, key = q.__dict__.pop("queue"), Shifty()
    q.__dict__[key], q.__dict__["queue"], key.armed = None, kept, True


def storage(make):
    def change(q):
        q.queue = make()
    return change


def retype(make_class):
    """Gives the instance another class of the same layout."""
    def change(q):
        q.__class__ = make_class(type(q).__bases__[0])
    return change


def add_property_later(q):
    move_queue_to_kept(q)
    plant_decoy(q)
    type(q).queue = property(lambda self: self.__dict__["kept"])


def override_append_later(q):
    type(q.queue).append = lambda self, x: collections.deque.appendleft(self, x)


def drop_override_later(q):
    del type(q.queue).append


# (class maker, preparation, changes made after the caches were filled): the same steps
# on LifoQueue and on the Python source, which must answer alike at every step.
CACHE_CASES = [
    (None, plain, [replace_dict, drop_queue]),
    (None, plain, [plant_shifty_key]),
    (with_queue_property, plant_decoy, [replace_dict]),
    (with_queue_slot, plant_decoy, [drop_queue]),
    (None, put_queue_in_class, [storage(collections.deque)]),
    (with_getattr, move_queue_to_kept, []),
    (with_getattribute, move_queue_to_kept, []),
    (None, plain, [add_property_later]),
    (None, storage(deque_subclass()), [override_append_later, drop_override_later]),
    (None, storage(deque_subclass(overridden=False, slots=True)), [override_append_later, drop_override_later]),
    (None, storage(Rec), [storage(list), storage(set), storage(collections.deque)]),
    (None, move_queue_to_kept, [retype(with_getattr), retype(with_queue_property), retype(with_getattribute)]),
]


def outcome(call):
    try:
        result = call()
    except Exception as e:
        return (type(e).__name__, str(e).replace("TwinQueue", "LifoQueue").replace("Q", "LifoQueue"))
    return ("ok", result if not isinstance(result, (collections.deque, list)) else list(result))


class CacheAnswersLikeTheSourceTest(HostileCase):
    def steps(self, q):
        return [outcome(lambda: q._put(1)), outcome(lambda: q._put(2)), outcome(q._qsize),
                outcome(q._get), outcome(q._qsize), outcome(q._get), outcome(q._get)]

    def test_cases(self):
        for i, (make_class, prepare, changes) in enumerate(CACHE_CASES):
            with self.subTest(case=i):
                ours, twin = [(make_class(base) if make_class else type("Q", (base,), {}))()
                              for base in (LifoQueue, TwinQueue)]
                for change in [prepare] + changes:
                    change(ours)
                    change(twin)
                    for _ in range(3):  # the second and third time from the caches
                        self.assertEqual(self.steps(ours), self.steps(twin), (i, change.__name__))

HOSTILE_MOVES = '''\
"""six.moves whose queue.Queue has a metaclass that refuses to build LifoQueue."""
import os
import queue as _std
import types

MODE = os.environ.get("HOSTILE", "")


class Refusing(dict):
    def __setitem__(self, key, value):
        if key == MODE[len("setitem:"):]:
            raise LookupError("no " + key)
        dict.__setitem__(self, key, value)


class Meta(type):
    @classmethod
    def __prepare__(mcls, name, bases, **kwargs):
        if name == "LifoQueue":
            if MODE == "prepare":
                raise LookupError("prepare refused")
            if MODE == "nonmapping":
                return 42
            if MODE.startswith("setitem:"):
                return Refusing()
        return {}

    def __new__(mcls, name, bases, ns):
        if name == "LifoQueue" and MODE == "new":
            raise LookupError("class refused")
        return type.__new__(mcls, name, bases, dict(ns))


class Queue(_std.Queue, metaclass=Meta):
    pass


queue = types.SimpleNamespace(Queue=Queue)
'''

FAILING_IMPORT = harness.MODULE_ENTRIES_SOURCE + textwrap.dedent(r'''
    import sys, json
    try:
        import corvessa.util.queue
    except Exception as e:
        print(json.dumps([type(e).__name__, str(e), module_entries(e), "corvessa.util.queue" in sys.modules]))
    ''')

VARIANTS = [
    ("prepare", "LookupError", "prepare refused", 10),
    ("new", "LookupError", "class refused", 10),
    ("nonmapping", "TypeError", "'int' object does not support item assignment", 10),
    ("setitem:__module__", "LookupError", "no __module__", 10),
    ("setitem:__qualname__", "LookupError", "no __qualname__", 10),
    ("setitem:_init", "LookupError", "no _init", 11),
    ("setitem:_qsize", "LookupError", "no _qsize", 14),
    ("setitem:_put", "LookupError", "no _put", 17),
    ("setitem:_get", "LookupError", "no _get", 20),
]


class HostileImportTest(harness.ScenarioTestCase):
    def tree(self):
        return harness.Tree().write("corvessa/packages/six/moves.py", HOSTILE_MOVES)

    def test_class_machinery_that_refuses(self):
        import json
        for mode, exc, message, line in VARIANTS:
            with self.subTest(mode=mode):
                tree = self.tree()
                try:
                    out = self.run_ok(FAILING_IMPORT, tree=tree, env={"HOSTILE": mode})
                finally:
                    tree.cleanup()
                self.assertEqual(json.loads(out), [exc, message, [["init corvessa.util.queue", line]], False])

    def test_import_works_after_refusals(self):
        code = r'''
            import corvessa.packages.six.moves as moves
            failures = []
            for mode in %r:
                moves.MODE = mode
                try:
                    import corvessa.util.queue
                except Exception as e:
                    failures.append(type(e).__name__)
            moves.MODE = ""
            import corvessa.util.queue as m
            q = m.LifoQueue()
            for i in range(3):
                q.put(i)
            print(failures, [q.get() for _ in range(3)], type(m.LifoQueue).__name__)
        ''' % ([v[0] for v in VARIANTS],)
        env = harness.without_leak_check()  # it runs the exec step after failed ones
        tree = self.tree()
        try:
            out = self.run_ok(code, tree=tree, env=env)
        finally:
            tree.cleanup()
        self.assertEqual(out.strip(), "%r [2, 1, 0] Meta" % ([v[1] for v in VARIANTS],))


if __name__ == "__main__":
    unittest.main()
