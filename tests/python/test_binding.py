"""Argument binding of the four hooks: counts, keywords, duplicates, unexpected names,
non-identical and non-str names, the keyword-dict road through tp_call, and the one
traceback entry each refusal adds at the method's def line."""
import ctypes
import dis
import sys
import types
import unittest

import harness

from corvessa.util.queue import LifoQueue as L

FILE = "corvessa\\\\util\\\\queue.py"
DEF_LINE = {"_init": 11, "_qsize": 14, "_put": 17, "_get": 20}
refcount = sys.getrefcount


def vcall(func, args, kwnames=None, kwvalues=()):
    """Calls func the way the interpreter's call instructions do, with any keyword names
    tuple (empty, non-str, not interned, not hashed) that Python syntax cannot express.
    Until 3.11 through CALL_FUNCTION(_KW) itself, whose operands come in through a local,
    not the constants, which the code object would intern; from 3.11 on, whose call
    instructions take their names from the constants, through PyObject_Vectorcall."""
    if sys.version_info >= (3, 11):
        return vectorcall(func, list(args) + list(kwvalues), len(args), kwnames)
    n = len(args) + len(kwvalues)
    stack = [func] + list(args) + list(kwvalues) + ([] if kwnames is None else [kwnames])
    op = dis.opmap
    code = [op["LOAD_FAST"], 0, op["UNPACK_SEQUENCE"], len(stack),
            op["CALL_FUNCTION" if kwnames is None else "CALL_FUNCTION_KW"], n,
            op["RETURN_VALUE"], 0]
    template = (lambda operands: None).__code__
    code = template.replace(co_code=bytes(code), co_stacksize=len(stack) + 1)
    return types.FunctionType(code, {})(tuple(reversed(stack)))


def vectorcall(func, vector, nargs, kwnames):
    api = ctypes.pythonapi.PyObject_Vectorcall
    api.restype = ctypes.py_object
    api.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p]
    array = (ctypes.py_object * max(len(vector), 1))(*vector)
    return api(func, ctypes.addressof(array), nargs, None if kwnames is None else id(kwnames))


def outcome(call):
    """('ok', result) or (exception type, message, traceback entries below the caller)."""
    try:
        return ("ok", call())
    except Exception as exc:
        return (type(exc), str(exc), harness.entries_below(exc, __file__))


def bind_error(method, message):
    return (TypeError, message, [(FILE, "corvessa.util.queue.LifoQueue." + method, DEF_LINE[method])])


def count_error(method, word, n, given):
    return bind_error(method, "%s() takes %s %d positional argument%s (%d given)"
                      % (method, word, n, "" if n == 1 else "s", given))


class CountTest(unittest.TestCase):
    def setUp(self):
        self.q = L()

    def test_positional_counts(self):
        q = self.q
        cases = [
            (lambda: L._get(), count_error("_get", "exactly", 1, 0)),
            (lambda: L._get(q, 1), count_error("_get", "exactly", 1, 2)),
            (lambda: L._get(*range(10)), count_error("_get", "exactly", 1, 10)),
            (lambda: L._put(), count_error("_put", "exactly", 2, 0)),
            (lambda: L._put(q), count_error("_put", "exactly", 2, 1)),
            (lambda: L._put(q, 1, 2), count_error("_put", "exactly", 2, 3)),
            (lambda: L._init(), count_error("_init", "exactly", 2, 0)),
            (lambda: L._init(q), count_error("_init", "exactly", 2, 1)),
            (lambda: L._init(q, 1, 2), count_error("_init", "exactly", 2, 3)),
            (lambda: L._qsize(), count_error("_qsize", "at least", 1, 0)),
            (lambda: L._qsize(q, 1, 2), count_error("_qsize", "at most", 2, 3)),
            (lambda: q._qsize(1, 2, 3), count_error("_qsize", "at most", 2, 4)),
        ]
        for call, expected in cases:
            self.assertEqual(outcome(call), expected)
        self.assertEqual(list(q.queue), [])

    def test_missing_required_with_keywords(self):
        q = self.q
        cases = [
            (lambda: L._get(x=1), count_error("_get", "exactly", 1, 0)),
            (lambda: L._put(item=1), count_error("_put", "exactly", 2, 0)),
            # the second required parameter is reported as 1 given, however self came
            (lambda: L._put(self=q), count_error("_put", "exactly", 2, 1)),
            (lambda: L._init(self=q), count_error("_init", "exactly", 2, 1)),
            # a missing parameter is reported before an unexpected keyword
            (lambda: L._put(q, x=1), count_error("_put", "exactly", 2, 1)),
            (lambda: L._put(self=q, x=1), count_error("_put", "exactly", 2, 1)),
            (lambda: L._init(q, x=1), count_error("_init", "exactly", 2, 1)),
            (lambda: L._qsize(len=len), count_error("_qsize", "at least", 1, 0)),
            # the count test comes before any keyword is looked at
            (lambda: L._put(q, 1, 2, item=3), count_error("_put", "exactly", 2, 3)),
            (lambda: L._put(q, 1, 2, x=3), count_error("_put", "exactly", 2, 3)),
            (lambda: L._get(q, 1, self=q), count_error("_get", "exactly", 1, 2)),
            (lambda: L._qsize(q, 1, 2, len=len), count_error("_qsize", "at most", 2, 3)),
        ]
        for call, expected in cases:
            self.assertEqual(outcome(call), expected)
        self.assertEqual(list(q.queue), [])


class KeywordTest(unittest.TestCase):
    def setUp(self):
        self.q = L()

    def test_keywords_bind(self):
        q, item = self.q, object()
        base = refcount(item)
        self.assertIsNone(L._put(q, item=item))
        self.assertIsNone(L._put(item=2, self=q))
        self.assertIsNone(q._put(item=3))
        self.assertIsNone(L._put(**{"self": q, "item": 4}))
        self.assertEqual(list(q.queue), [item, 2, 3, 4])
        self.assertEqual(refcount(item), base + 1)
        self.assertEqual(L._get(self=q), 4)
        self.assertEqual(L._qsize(self=q), 3)
        self.assertEqual(L._qsize(q, len=lambda obj: ("len", obj)), ("len", q.queue))
        self.assertEqual(L._qsize(len=lambda obj: "kw", self=q), "kw")
        old = q.queue
        self.assertIsNone(L._init(q, _=None))
        self.assertIsNone(L._init(_=None, self=q))
        self.assertIsNot(q.queue, old)
        del old
        self.assertEqual(refcount(item), base)

    def test_duplicates_and_unexpected(self):
        q, item = self.q, object()
        base = refcount(item)
        cases = [
            (lambda: L._put(q, 1, item=item), bind_error("_put", "_put() got multiple values for keyword argument 'item'")),
            (lambda: L._put(q, item, self=q), bind_error("_put", "_put() got multiple values for keyword argument 'self'")),
            (lambda: q._get(self=q), bind_error("_get", "_get() got multiple values for keyword argument 'self'")),
            (lambda: L._qsize(q, len, len=len), bind_error("_qsize", "_qsize() got multiple values for keyword argument 'len'")),
            (lambda: L._init(q, 0, _=0), bind_error("_init", "_init() got multiple values for keyword argument '_'")),
            (lambda: L._put(q, item=item, x=2), bind_error("_put", "_put() got an unexpected keyword argument 'x'")),
            (lambda: L._get(q, item=item), bind_error("_get", "_get() got an unexpected keyword argument 'item'")),
            (lambda: L._qsize(q, len=len, x=1), bind_error("_qsize", "_qsize() got an unexpected keyword argument 'x'")),
            (lambda: L._qsize(q, lenx=1), bind_error("_qsize", "_qsize() got an unexpected keyword argument 'lenx'")),
            (lambda: L._init(q, 0, ___=0), bind_error("_init", "_init() got an unexpected keyword argument '___'")),
            (lambda: L._put(q, **{"\u0100tem": 1, "item": 1}),
             bind_error("_put", "_put() got an unexpected keyword argument '\u0100tem'")),
        ]
        for call, expected in cases:
            self.assertEqual(outcome(call), expected)
        self.assertEqual(list(q.queue), [])
        self.assertEqual(refcount(item), base)

    def test_empty_keyword_tuple_is_like_none(self):
        q = self.q
        for method, counts in (("_get", range(3)), ("_init", range(4)),
                               ("_put", range(4)), ("_qsize", range(4))):
            func = getattr(L, method)
            for n in counts:
                args = [q] + [len] * (n - 1) if n else []
                if method == "_put":
                    args = [q, "x", "y"][:n]
                plain = outcome(lambda: vcall(func, args))
                self.assertEqual(outcome(lambda: vcall(func, args, ())), plain, (method, n))
        self.assertEqual(outcome(lambda: vcall(L._get, [], ())), count_error("_get", "exactly", 1, 0))
        self.assertEqual(list(q.queue), ["x", "x"])

    def test_equal_but_not_identical_names(self):
        q = self.q
        name = "".join(["it", "em"])
        self.assertIsNot(name, sys.intern("item"))
        L._put(q, **{name: 1})  # a hashed dict key
        vcall(L._put, [q], ("".join(["it", "em"]),), [2])  # never hashed
        vcall(L._put, [], ("".join(["it", "em"]), "".join(["se", "lf"])), [3, q])
        self.assertEqual(L._qsize(q, **{"".join(["l", "en"]): lambda obj: "found"}), "found")
        self.assertEqual(vcall(L._qsize, [q], ("".join(["l", "en"]),), [lambda obj: "tuple"]), "tuple")
        self.assertEqual(outcome(lambda: L._put(q, 0, **{"".join(["it", "em"]): 1})),
                         bind_error("_put", "_put() got multiple values for keyword argument 'item'"))
        # "\u7469\u6d65ab" is two bytes a unit; on a little-endian machine its first four
        # bytes spell "item", as "\u6974\u656dab"'s do on a big-endian one: only the width
        # check tells them apart
        for text in ("itex", "iaem", "\xedtem", "\u0100tem", "\U00010000tem", "ite", "items",
                     "\u7469\u6d65ab", "\u6974\u656dab"):
            other = "".join(list(text))  # made at run time: not interned, no hash yet
            self.assertEqual(outcome(lambda: vcall(L._put, [q], (other,), [9])),
                             count_error("_put", "exactly", 2, 1), other)
            self.assertEqual(outcome(lambda: vcall(L._put, [q, 9], (other,), [9])),
                             bind_error("_put", "_put() got an unexpected keyword argument '%s'" % other))
        self.assertEqual(list(q.queue), [1, 2, 3])

    def test_str_subclass_names(self):
        q = self.q

        class Name(str):
            pass

        class Never(str):  # equality says no, but its text is a parameter's
            def __eq__(self, other):
                return False
            __hash__ = str.__hash__

        class Raising(str):
            def __eq__(self, other):
                raise ZeroDivisionError("compare")
            __hash__ = str.__hash__

        class Unanswered(str):  # equality answers None, which counts as no
            def __eq__(self, other):
                return None
            __hash__ = str.__hash__

        class Falsy:
            def __bool__(self):
                raise OverflowError("truth")

        class Murky(str):
            def __eq__(self, other):
                return Falsy()
            __hash__ = str.__hash__

        L._put(q, **{Name("item"): 1})
        vcall(L._put, [q], (Name("item"),), [2])
        self.assertEqual(list(q.queue), [1, 2])
        # required item: only the comparison in the keyword lookup can find it
        self.assertEqual(outcome(lambda: vcall(L._put, [q], (Never("item"),), [3])),
                         count_error("_put", "exactly", 2, 1))
        self.assertEqual(outcome(lambda: vcall(L._put, [q], (Unanswered("item"),), [3])),
                         count_error("_put", "exactly", 2, 1))
        # optional len: the keyword walk finds it by its text after the lookup said no
        self.assertEqual(vcall(L._qsize, [q], (Never("len"),), [lambda obj: "walk"]), "walk")
        self.assertEqual(vcall(L._qsize, [q], (Unanswered("len"),), [lambda obj: "walk"]), "walk")
        exc_type, message, entries = outcome(lambda: vcall(L._put, [q], (Raising("item"),), [3]))
        self.assertEqual((exc_type, message), (ZeroDivisionError, "compare"))
        self.assertEqual(entries[0], (FILE, "corvessa.util.queue.LifoQueue._put", 17))
        self.assertEqual(entries[1][1], "__eq__")
        exc_type, message, entries = outcome(lambda: vcall(L._put, [q], (Murky("item"),), [3]))
        self.assertEqual((exc_type, message), (OverflowError, "truth"))
        self.assertEqual(entries[0], (FILE, "corvessa.util.queue.LifoQueue._put", 17))
        self.assertEqual(list(q.queue), [1, 2])

    def test_non_str_names(self):
        q, value = self.q, object()
        base = refcount(value)
        strings = "_put() keywords must be strings"
        # Calls with a keyword dict hand its keys through as they are, until 3.9's
        # interpreter refuses them on the way in.
        dict_calls = [
            (lambda: L._put(q, 1, **{1: value}), bind_error("_put", strings)),
            (lambda: L._put(q, **{1: value}), count_error("_put", "exactly", 2, 1)),
            (lambda: L._qsize(q, **{1: value}), bind_error("_qsize", "_qsize() keywords must be strings")),
        ]
        for call, before_39 in dict_calls:
            self.assertEqual(outcome(call), before_39 if sys.version_info < (3, 9)
                             else (TypeError, "keywords must be strings", []))
        self.assertEqual(outcome(lambda: vcall(L._get, [q], (None,), [value])),
                         bind_error("_get", "_get() keywords must be strings"))
        # a required parameter looked up among names that are not str: not found
        self.assertEqual(outcome(lambda: vcall(L._put, [q], (None,), [value])), count_error("_put", "exactly", 2, 1))
        self.assertEqual(outcome(lambda: vcall(L._put, [q], (1,), [value])), count_error("_put", "exactly", 2, 1))
        self.assertEqual(outcome(lambda: vcall(L._put, [q, 1], (b"item",), [value])), bind_error("_put", strings))

        class Loud:
            def __eq__(self, other):
                raise KeyError("eq")
            __hash__ = object.__hash__
        exc_type, message, entries = outcome(lambda: vcall(L._put, [q], (Loud(),), [value]))
        self.assertEqual((exc_type, entries[0][1:]), (KeyError, ("corvessa.util.queue.LifoQueue._put", 17)))
        self.assertEqual(list(q.queue), [])
        self.assertEqual(refcount(value), base)


class TypeCallTest(unittest.TestCase):
    """The type's __call__ turns a keyword dict into names and values for the binder."""

    def test_keyword_dict_road(self):
        q, item = L(), object()
        base = refcount(item)
        call = type(L._put).__call__
        self.assertIsNone(call(L._put, q, item=item))
        self.assertIsNone(call(L._put, item=2, self=q))
        self.assertEqual(call(L._qsize, q, len=lambda obj: "dict"), "dict")
        self.assertEqual(call(L._get, q), 2)
        self.assertEqual(outcome(lambda: call(L._put, q, 1, item=2)),
                         bind_error("_put", "_put() got multiple values for keyword argument 'item'"))
        self.assertEqual(outcome(lambda: call(L._put, q, item=1, zz=2)),
                         bind_error("_put", "_put() got an unexpected keyword argument 'zz'"))
        self.assertEqual(outcome(lambda: call(L._put, q, **{})), count_error("_put", "exactly", 2, 1))
        # a non-str key is refused by the adapter itself, before the binder runs
        self.assertEqual(outcome(lambda: call(L._put, q, **{1: item})), (TypeError, "keywords must be strings", []))
        self.assertEqual(outcome(lambda: call(L._put, q, 5, **{"item": 1, 2: item})),
                         (TypeError, "keywords must be strings", []))
        self.assertEqual(list(q.queue), [item])
        self.assertIs(L._get(q), item)
        self.assertEqual(refcount(item), base)


if __name__ == "__main__":
    unittest.main()
