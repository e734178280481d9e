"""The bodies of the four hooks: LIFO order, the list and set fast paths, method calls on
other queue objects, _qsize's len, _init's collections.deque, and hostile queue objects."""
import builtins
import collections
import sys
import types
import unittest

import harness

import corvessa.util.queue as module
from corvessa.util.queue import LifoQueue

FILE = "corvessa\\\\util\\\\queue.py"  # two backslashes per separator
refcount = sys.getrefcount


def capacity(lst):
    return (sys.getsizeof(lst) - sys.getsizeof([])) // 8


def entries(exc):
    """(file, function, line) of the traceback entries below the test's own frames."""
    return harness.entries_below(exc, __file__)


def catch(exc_type, func):
    """The exception that func raises, traceback intact (assertRaises drops it)."""
    try:
        func()
    except exc_type as exc:
        return exc
    raise AssertionError("%s not raised" % exc_type.__name__)


def ours(name, line):
    return (FILE, "corvessa.util.queue.LifoQueue." + name, line)


def make_list(items, cap):
    """An exact list holding items with capacity cap: built at cap, then popped down."""
    lst = list(items) + [None] * (cap - len(items))
    for _ in range(cap - len(items)):
        lst.pop()
    return lst


class Item:
    pass


def queue_with(storage):
    q = LifoQueue()
    q.queue = storage
    return q


class DequeTest(unittest.TestCase):
    def test_lifo_order_and_refcounts(self):
        q = LifoQueue()
        self.assertIs(type(q.queue), collections.deque)
        items = [Item(), Item(), Item()]
        base = [refcount(o) for o in items]
        for o in items:
            q.put(o)
        del o
        self.assertEqual([refcount(o) for o in items], [b + 1 for b in base])
        self.assertEqual(list(q.queue), items)
        self.assertEqual([q.get() for _ in items], items[::-1])
        self.assertEqual([refcount(o) for o in items], base)
        for v in (1, 2, 3):
            LifoQueue._put(q, v)
        self.assertEqual([LifoQueue._get(q) for _ in range(3)], [3, 2, 1])

    def test_empty_deque_error_and_entry(self):
        q = LifoQueue()
        exc = catch(IndexError, lambda: LifoQueue._get(q))
        self.assertEqual(str(exc), "pop from an empty deque")
        self.assertEqual(entries(exc), [ours("_get", 21)])
        with self.assertRaises(IndexError):  # the same again, from the cached entry
            q._get()


class ListFastPathTest(unittest.TestCase):
    def check_get(self, size, cap, expect_cap=None):
        items = [Item() for _ in range(size)]
        lst, twin = make_list(items, cap), make_list(items, cap)
        self.assertEqual((capacity(lst), len(lst)), (cap, size))
        base = [refcount(o) for o in items]
        got = LifoQueue._get(queue_with(lst))
        self.assertIs(got, items[-1])
        self.assertIs(twin.pop(), got)
        self.assertEqual(lst, items[:-1])
        self.assertEqual(capacity(lst), capacity(twin))  # what list.pop itself leaves
        if expect_cap is not None:
            self.assertEqual(capacity(lst), expect_cap)
        # lst and twin let go of the last item, got holds it
        self.assertEqual([refcount(o) for o in items], base[:-1] + [base[-1] - 1])
        del got
        self.assertEqual([refcount(o) for o in items], base[:-1] + [base[-1] - 2])

    def check_put(self, size, cap, expect_cap):
        items = [Item() for _ in range(size)]
        lst, twin = make_list(items, cap), make_list(items, cap)
        self.assertEqual((capacity(lst), len(lst)), (cap, size))
        new = Item()
        base = refcount(new)
        self.assertIsNone(LifoQueue._put(queue_with(lst), new))
        twin.append(new)
        self.assertEqual(refcount(new), base + 2)
        self.assertEqual(lst, items + [new])
        self.assertEqual(capacity(lst), expect_cap)
        self.assertEqual(capacity(lst), capacity(twin))
        del twin
        self.assertIs(LifoQueue._get(queue_with(lst)), new)
        self.assertEqual(refcount(new), base)

    def test_get_capacity_4(self):
        self.check_get(3, 4, expect_cap=4)   # in place: 3 > 2
        self.check_get(2, 4)                 # 2 is not > 2: list.pop
        self.check_get(4, 4, expect_cap=4)

    def test_get_capacity_8(self):
        self.check_get(5, 8, expect_cap=8)
        # 4 is not > 4: list.pop, which shrinks the array until 3.9 changed its growth rule
        self.check_get(4, 8, expect_cap=6 if sys.version_info < (3, 9) else 8)

    def test_get_empty_list(self):
        lst = []
        self.assertEqual(capacity(lst), 0)
        for _ in range(2):  # resolving and resolved list.pop
            exc = catch(IndexError, lambda: LifoQueue._get(queue_with(lst)))
            self.assertEqual(str(exc), "pop from empty list")
            self.assertEqual(entries(exc), [ours("_get", 21)])

    def test_put_capacity_8(self):
        self.check_put(5, 8, expect_cap=8)   # in place: 8 > 5 > 4
        self.check_put(4, 8, expect_cap=8)   # 4 is not > 4: PyList_Append
        self.check_put(8, 8, expect_cap=16)  # full: PyList_Append grows
        self.check_put(0, 0, expect_cap=4)

    def test_every_small_shape_matches_list_methods(self):
        for cap in range(0, 18):
            for size in range(0, cap + 1):
                items = [Item() for _ in range(size)]
                base = [refcount(o) for o in items]
                lst, twin = make_list(items, cap), make_list(items, cap)
                q = queue_with(lst)
                extra = Item()
                extra_base = refcount(extra)
                for step in range(3):
                    LifoQueue._put(q, extra)
                    twin.append(extra)
                    self.assertEqual((lst, capacity(lst)), (twin, capacity(twin)), (cap, size, step))
                while twin:
                    self.assertIs(LifoQueue._get(q), twin.pop())
                    self.assertEqual((lst, capacity(lst)), (twin, capacity(twin)), (cap, size))
                self.assertEqual(refcount(extra), extra_base)
                del lst, twin, q
                self.assertEqual([refcount(o) for o in items], base)


class SetTest(unittest.TestCase):
    def test_get_returns_an_element(self):
        items = {Item() for _ in range(3)}
        snapshot = set(items)
        base = {id(o): refcount(o) for o in snapshot}
        q = queue_with(items)
        got = [LifoQueue._get(q) for _ in range(3)]
        self.assertEqual(set(got), snapshot)
        self.assertEqual(items, set())
        del got
        self.assertEqual({id(o): refcount(o) for o in snapshot}, {k: v - 1 for k, v in base.items()})
        exc = catch(KeyError, lambda: LifoQueue._get(q))
        self.assertEqual(exc.args, ("pop from an empty set",))
        self.assertEqual(entries(exc), [ours("_get", 21)])

    def test_put_fails_on_append_lookup(self):
        q, item = queue_with({1}), Item()
        base = refcount(item)
        exc = catch(AttributeError, lambda: LifoQueue._put(q, item))
        self.assertEqual(str(exc), "'set' object has no attribute 'append'")
        self.assertEqual(entries(exc), [ours("_put", 18)])
        del exc
        self.assertEqual(refcount(item), base)
        self.assertEqual(q.queue, {1})

    def test_set_subclass_uses_its_own_pop(self):
        class Bag(set):
            def pop(self):
                return "own pop"

            def append(self, x):
                self.add(x)
        q = queue_with(Bag())
        q.put(5)
        self.assertEqual(q.queue, {5})
        self.assertEqual(q.get(), "own pop")


class OtherStorageTest(unittest.TestCase):
    def test_list_subclass_uses_its_own_methods(self):
        log = []

        class Rec(list):
            def append(self, x):
                log.append(("append", x))
                super().append(x)

            def pop(self):
                log.append("pop")
                return super().pop()
        q = queue_with(Rec())
        for v in (1, 2):
            q.put(v)
        self.assertEqual([q.get(), q.get()], [2, 1])
        self.assertEqual(log, [("append", 1), ("append", 2), "pop", "pop"])

    def test_methods_of_arbitrary_objects(self):
        store = []

        class Stack:
            def append(self, x):
                store.append((self, x))

            def pop(self):
                return store.pop()
        s, item = Stack(), Item()
        base = refcount(item)
        q = queue_with(s)
        LifoQueue._put(q, item)
        self.assertEqual(store, [(s, item)])
        self.assertEqual(LifoQueue._get(q), (s, item))
        self.assertEqual(refcount(item), base)

    def test_instance_and_non_descriptor_attributes(self):
        inner = []
        q = queue_with(types.SimpleNamespace(append=inner.append, pop=inner.pop))
        q._put(1)
        q._put(2)
        self.assertEqual((inner, q._get()), ([1], 2))

        calls = []

        class Recorder:  # a callable class attribute: no __get__, so no self
            def __call__(self, *args):
                calls.append(args)
                return "popped"

        class Odd:
            append = staticmethod(lambda *args: calls.append(("static",) + args))
            pop = Recorder()
        q = queue_with(Odd())
        q._put("x")
        self.assertEqual(q._get(), "popped")
        self.assertEqual(calls, [("static", "x"), ()])

        class Shadow:  # an instance attribute shadows the class's method
            def append(self, x):
                raise AssertionError("class method used")
        sh = Shadow()
        sh.append = calls.append
        LifoQueue._put(queue_with(sh), "y")
        self.assertEqual(calls[-1], "y")


def error_of(call):
    """(type, message) of what call() raises."""
    try:
        call()
    except Exception as exc:
        return type(exc), str(exc)
    raise AssertionError("nothing raised")


class Tight(list):  # a list subclass whose instances have no attributes of their own
    __slots__ = ()


class Borrowed:  # list's methods on a class that is no list
    __slots__ = ()
    append = list.append
    pop = list.pop


class BuiltinMethodStorageTest(unittest.TestCase):
    """Storage whose append and pop are C methods: called directly where the type allows
    it, through the method otherwise; either way what `queue.append(item)` and
    `queue.pop()` would do, with the hook's entry when they fail."""

    def test_lifo_through_c_methods(self):
        for storage, items in ((bytearray(), [1, 2, 255]), (Tight(), [Item(), Item(), Item()])):
            q = queue_with(storage)
            base = [refcount(o) for o in items]
            for o in items:
                LifoQueue._put(q, o)
            self.assertEqual(list(storage), items)
            self.assertEqual([LifoQueue._get(q) for _ in items], items[::-1])
            self.assertEqual(len(storage), 0)
            del o
            self.assertEqual([refcount(o) for o in items], base)

    def test_failures_are_the_methods_own(self):
        item = Item()
        cases = [
            # (storage, hook, argument, what Python's own call on a twin raises, line)
            (bytearray(b"ab"), "_put", 256, lambda s: s.append(256), 18),
            (bytearray(b"ab"), "_put", item, lambda s: s.append(item), 18),
            (bytearray(), "_get", None, lambda s: s.pop(), 21),
            (Tight(), "_get", None, lambda s: s.pop(), 21),
            ({1: 2}, "_get", None, lambda s: s.pop(), 21),  # dict.pop needs a key
            (Borrowed(), "_put", item, lambda s: s.append(item), 18),  # list.append refuses it
            (Borrowed(), "_get", None, lambda s: s.pop(), 21),
        ]
        base = refcount(item)
        for storage, hook, arg, own, line in cases:
            twin = copy_of(storage)
            expected = error_of(lambda: own(twin))
            q = queue_with(storage)
            call = (lambda: LifoQueue._put(q, arg)) if hook == "_put" else (lambda: LifoQueue._get(q))
            exc = catch(expected[0], call)
            self.assertEqual((type(exc), str(exc)), expected, (storage, hook))
            self.assertEqual(entries(exc), [ours(hook, line)], (storage, hook))
            self.assertEqual(contents(storage), contents(twin), (storage, hook))
            del exc
        self.assertEqual(refcount(item), base)

    def test_getattribute_of_the_storage_is_honoured(self):
        log = []

        class Watched(list):
            __slots__ = ()

            def __getattribute__(self, name):
                log.append(name)
                return list.__getattribute__(self, name)
        q = queue_with(Watched())
        LifoQueue._put(q, 1)
        LifoQueue._put(q, 2)
        self.assertEqual(LifoQueue._get(q), 2)
        self.assertEqual(log, ["append", "append", "pop"])
        self.assertEqual(q.queue, [1])

    def test_method_found_through_an_mro_of_its_own(self):
        # Provider is in Stacked's MRO without being its base, so that changing Provider
        # does not tell Stacked. The hooks find what the interpreter's own lookup finds,
        # before and after the change (until 3.10 the interpreter keeps no version tag for
        # such a class; from 3.10 on, its own lookup keeps giving what it found first).
        class Provider(list):
            __slots__ = ()
            pop = list.pop
            append = list.append

        class OwnMro(type):
            def mro(cls):
                return [cls, Provider] + [c for c in type.mro(cls) if c is not cls]

        class Stacked(list, metaclass=OwnMro):
            __slots__ = ()
        self.assertEqual(Stacked.__mro__, (Stacked, Provider, list, object))
        storage, twin = Stacked([1, 2]), Stacked([1, 2])
        q = queue_with(storage)
        self.assertEqual(LifoQueue._get(q), twin.pop())
        LifoQueue._put(q, 3)
        twin.append(3)
        self.assertEqual(storage, twin)
        try:
            Provider.pop = lambda self: "replaced pop"
            Provider.append = lambda self, x: list.append(self, ("replaced append", x))
            self.assertEqual(LifoQueue._get(q), twin.pop())
            LifoQueue._put(q, 4)
            twin.append(4)
            self.assertEqual(storage, twin)
        finally:
            Provider.pop, Provider.append = list.pop, list.append


def copy_of(storage):
    twin = type(storage).__new__(type(storage))
    if isinstance(storage, (list, bytearray)):
        twin.extend(storage)
    elif isinstance(storage, dict):
        twin.update(storage)
    return twin


def contents(storage):
    return dict(storage) if isinstance(storage, dict) else list(storage) if hasattr(storage, "__iter__") else None


class QsizeTest(unittest.TestCase):
    def test_default_and_given_len(self):
        q = LifoQueue()
        q.put(1)
        q.put(2)
        self.assertEqual((q.qsize(), LifoQueue._qsize(q)), (2, 2))
        marker = object()
        base = refcount(marker)
        got = LifoQueue._qsize(q, lambda obj: (obj, marker))
        self.assertEqual(got, (q.queue, marker))  # returned unchanged, no int conversion
        self.assertIs(LifoQueue._qsize(q, len=lambda obj: marker), marker)
        del got
        self.assertEqual(refcount(marker), base)
        self.assertEqual(LifoQueue._qsize(q, len=len), 2)

    def test_bound_method_is_unpacked(self):
        class Counter:
            def measure(self, obj):
                return (self, obj)
        c = Counter()
        q = LifoQueue()
        meth = c.measure
        base_self, base_meth = refcount(c), refcount(meth)
        self.assertEqual(LifoQueue._qsize(q, meth), (c, q.queue))
        self.assertEqual(LifoQueue._qsize(q, len=meth), (c, q.queue))
        self.assertEqual((refcount(c), refcount(meth)), (base_self, base_meth))

    def test_failing_len(self):
        def bad(obj):
            raise ZeroDivisionError("len")
        exc = catch(ZeroDivisionError, lambda: LifoQueue._qsize(LifoQueue(), bad))
        self.assertEqual(entries(exc)[0], ours("_qsize", 15))
        exc = catch(TypeError, lambda: LifoQueue._qsize(queue_with(5)))
        self.assertEqual(str(exc), "object of type 'int' has no len()")
        self.assertEqual(entries(exc), [ours("_qsize", 15)])

    def test_other_builtins_as_len(self):
        # builtins other than len take the general call, with _qsize's entry when they fail
        import operator
        q = LifoQueue()
        for v in (1, 2, 3):
            q.put(v)
        base = refcount(q.queue)
        for func, expected in ((operator.length_hint, 3), (id, id(q.queue)), (bool, True)):
            self.assertEqual(LifoQueue._qsize(q, func), expected, func)
            self.assertEqual(LifoQueue._qsize(q, len=func), expected, func)
        for func in (abs, ord):
            try:
                func(q.queue)
            except TypeError as own:
                message = str(own)
            exc = catch(TypeError, lambda: LifoQueue._qsize(q, func))
            self.assertEqual(str(exc), message, func)
            self.assertEqual(entries(exc), [ours("_qsize", 15)], func)
        del exc
        self.assertEqual(list(q.queue), [1, 2, 3])
        self.assertEqual(refcount(q.queue), base)

    def test_assigned_defaults_do_not_change_calls(self):
        func = LifoQueue.__dict__["_qsize"]
        saved = func.__defaults__
        self.assertEqual(saved, (len,))
        self.assertIsNone(func.__kwdefaults__)
        try:
            func.__defaults__ = (lambda obj: "replaced",)
            self.assertEqual(func.__defaults__[0](None), "replaced")
            q = queue_with([1, 2, 3])
            self.assertEqual((q.qsize(), LifoQueue._qsize(q)), (3, 3))
        finally:
            func.__defaults__ = saved
        self.assertIs(func.__defaults__, saved)


class InitTest(unittest.TestCase):
    def test_replaces_queue_whatever_the_argument(self):
        q = LifoQueue()
        q.put(1)
        old = q.queue
        arg = Item()
        base = refcount(arg)
        for value in (arg, None, 0, "x"):
            self.assertIsNone(LifoQueue._init(q, value))
            self.assertIs(type(q.queue), collections.deque)
            self.assertEqual(len(q.queue), 0)
            self.assertIsNot(q.queue, old)
            old = q.queue
        q._init(_=arg)
        self.assertEqual(refcount(arg), base)

    def test_collections_global_replaced(self):
        made = []

        class Factory:
            def make(self):
                made.append(self)
                return ["fake"]
        factory = Factory()
        q = LifoQueue()
        try:
            module.collections = types.SimpleNamespace(deque=list)
            q._init(0)
            self.assertEqual(q.queue, [])
            self.assertIs(type(q.queue), list)
            module.collections = types.SimpleNamespace(deque=factory.make)
            base = refcount(factory)
            q._init(0)
            self.assertEqual((q.queue, made), (["fake"], [factory]))
            self.assertEqual(refcount(factory), base + 1)  # made holds it
        finally:
            module.collections = collections
        q._init(0)
        self.assertIs(type(q.queue), collections.deque)

    def test_collections_global_deleted(self):
        q = LifoQueue()
        before = q.queue
        try:
            del module.collections
            builtins.collections = types.SimpleNamespace(deque=lambda: "from builtins")
            q._init(0)
            self.assertEqual(q.queue, "from builtins")
            del builtins.collections
            q.queue = before
            exc = catch(NameError, lambda: q._init(0))
            self.assertEqual(str(exc), "name 'collections' is not defined")
            self.assertEqual(entries(exc), [ours("_init", 12)])
            self.assertIs(q.queue, before)
        finally:
            module.collections = collections
            if hasattr(builtins, "collections"):
                del builtins.collections
        q._init(0)
        self.assertIsNot(q.queue, before)

    def test_failed_init_leaves_queue(self):
        q = LifoQueue()
        before = q.queue

        def refuse():
            raise MemoryError("no deque")
        try:
            module.collections = types.SimpleNamespace(deque=refuse)
            exc = catch(MemoryError, lambda: q._init(0))
            self.assertEqual(entries(exc)[0], ours("_init", 12))
            module.collections = types.SimpleNamespace()
            exc = catch(AttributeError, lambda: q._init(0))
            self.assertEqual(entries(exc), [ours("_init", 12)])
        finally:
            module.collections = collections
        self.assertIs(q.queue, before)

        class Locked(LifoQueue):
            def __setattr__(self, name, value):
                if name == "queue" and hasattr(self, "queue"):
                    raise PermissionError("locked")
                object.__setattr__(self, name, value)
        locked = Locked()
        before = locked.queue
        exc = catch(PermissionError, lambda: locked._init(0))
        self.assertEqual(entries(exc)[0], ours("_init", 12))
        self.assertIs(locked.queue, before)


class HostileQueueTest(unittest.TestCase):
    def test_raising_append_and_pop(self):
        class Boom:
            def append(self, x):
                raise ValueError("no append")

            def pop(self):
                raise ValueError("no pop")
        q, item = queue_with(Boom()), Item()
        base = refcount(item)
        exc = catch(ValueError, lambda: q._put(item))
        self.assertEqual(str(exc), "no append")
        self.assertEqual([e[1:] for e in entries(exc)],
                         [ours("_put", 18)[1:], ("append", Boom.append.__code__.co_firstlineno + 1)])
        del exc
        self.assertEqual(refcount(item), base)
        exc = catch(ValueError, lambda: q._get())
        self.assertEqual([e[1:] for e in entries(exc)],
                         [ours("_get", 21)[1:], ("pop", Boom.pop.__code__.co_firstlineno + 1)])

    def test_queue_attribute_missing_or_raising(self):
        q = LifoQueue()
        del q.queue
        for call, name, line in ((lambda: q._put(1), "_put", 18), (q._get, "_get", 21),
                                 (q._qsize, "_qsize", 15)):
            exc = catch(AttributeError, lambda: call())
            self.assertEqual(str(exc), "'LifoQueue' object has no attribute 'queue'")
            self.assertEqual(entries(exc)[-1], ours(name, line))

        class Hostile(LifoQueue):
            def __getattr__(self, name):
                raise LookupError(name)
        h = Hostile()
        del h.queue
        for call, name, line in ((lambda: h._put(1), "_put", 18), (h._get, "_get", 21),
                                 (h._qsize, "_qsize", 15)):
            exc = catch(LookupError, lambda: call())
            self.assertEqual(exc.args, ("queue",))
            self.assertEqual(entries(exc)[0], ours(name, line))

    def test_append_reenters_put(self):
        q = LifoQueue()

        class Reentrant:
            def __init__(self):
                self.items = []

            def append(self, x):
                if x > 0:
                    LifoQueue._put(q, x - 1)
                self.items.append(x)
        q.queue = storage = Reentrant()
        q._put(3)
        self.assertEqual(storage.items, [0, 1, 2, 3])

    def test_queue_replaced_during_append(self):
        log = []
        q = LifoQueue()

        class Swapping:
            def append(self, x):
                q.queue = []  # drops the attribute's reference to self
                log.append(("append", x))

            def __del__(self):
                log.append("del")
        q.queue = Swapping()
        q._put(7)
        self.assertEqual(log, [("append", 7), "del"])
        self.assertEqual(q.queue, [])


if __name__ == "__main__":
    unittest.main()
