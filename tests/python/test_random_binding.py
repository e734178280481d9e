"""Seeded random calls of the four hooks against a model of their argument binding.

The model below is written from the binding algorithm: positional arguments first, then
each remaining parameter looked up among the keywords (by identity, then by equality),
then the keywords left over checked one by one (identity, str check, content, duplicate).
Every call's outcome (the message and the given count, or the values bound) must match
it, as must the sequence of __eq__ calls made on str-subclass keyword names.
Bound values are observable: every candidate argument is a callable whose `queue` is a
recorder, so `self`, `item` and `len` show in what the body did.

TARN_BINDING_SEED and TARN_BINDING_CASES change the seed (default fixed) and the count."""
import collections
import os
import random
import sys
import types
import unittest

import harness

from corvessa.util.queue import LifoQueue

SEED = int(os.environ.get("TARN_BINDING_SEED", "38113"))
CASES = int(os.environ.get("TARN_BINDING_CASES", "20000"))
TB_FILE = harness.TB_FILE

# name: (parameters, required count, line of the def)
METHODS = {
    "_init": (("self", "_"), 2, 11),
    "_qsize": (("self", "len"), 1, 14),
    "_put": (("self", "item"), 2, 17),
    "_get": (("self",), 1, 20),
}
NAMES = ["self", "_", "len", "item", "nope", "x", "items", "iteM", "\u00efte", "it\u20acm", "sel\u00f0"]
IDENT = {n: sys.intern(n) for n in NAMES}
LOG = []     # what the recorders saw
EQ_LOG = []  # (key, name) of every __eq__ call on a lying keyword name


class Rec:
    def __init__(self, owner):
        self.owner = owner
        self.token = object()

    def append(self, x):
        LOG.append(("append", self.owner, x))

    def pop(self):
        LOG.append(("pop", self.owner))
        return self.token

    def __len__(self):
        LOG.append(("len", self.owner))
        return 7


class Cand:
    """A candidate argument: usable as self, item, len or _."""
    def __init__(self):
        self.queue = Rec(self)
        self.token = object()

    def __call__(self, arg):
        LOG.append(("call", self, arg))
        return self.token


class EqError(Exception):
    pass


class TruthError(Exception):
    pass


class BadBool:
    def __bool__(self):
        raise TruthError("truth refused")


class Lying(str):
    """A str subclass whose __eq__ answers by its kind; hashed by identity so that it
    never meets another key in a dict."""
    answer = None

    def __eq__(self, other):
        EQ_LOG.append((self, other))
        if self.answer == "raise":
            raise EqError("eq refused")
        if self.answer == "badbool":
            return BadBool()
        return self.answer

    def __hash__(self):
        return id(self) >> 4


class Yes(Lying):
    answer = True


class No(Lying):
    answer = False


class Raises(Lying):
    answer = "raise"


class BadTruth(Lying):
    answer = "badbool"


class Plain(str):
    """A str subclass that compares by content."""


KEY_KINDS = ["lit", "lit", "lit", "made", "plain", "yes", "no", "raise", "badbool", "nonstr"]
NON_STR = [1, None, b"item", 2.5, (1,)]
# Calls made with a keyword dict: from 3.9 on the interpreter itself refuses keys that are
# not str before the call reaches the hook; before, only the function type's __call__ does.
INTERPRETER_CHECKS_KEYS = ("direct", "method", "typecall") if sys.version_info >= (3, 9) else ("typecall",)


def make_key(rng, kind, name=None):
    name = name or rng.choice(NAMES)
    if kind == "lit":
        return IDENT[name]
    if kind == "made":
        return "".join(list(name))  # a new object unless a one-character string
    if kind == "nonstr":
        return rng.choice(NON_STR)
    return {"plain": Plain, "yes": Yes, "no": No, "raise": Raises, "badbool": BadTruth}[kind](name)


class ModelError(Exception):
    def __init__(self, exc_type, message, in_binder=True):
        self.outcome = ("error", exc_type, message, in_binder)


def count_message(method, given):
    params, required, _ = METHODS[method]
    total = len(params)
    if required == total:
        word, expected = "exactly", total
    elif given < required:
        word, expected = "at least", required
    else:
        word, expected = "at most", total
    return "%s() takes %s %d positional argument%s (%d given)" % (
        method, word, expected, "" if expected == 1 else "s", given)


def model(method, pos, kw, eq_calls):
    """The expected outcome: ("bound", values) with None for a default, or ("error", type,
    message, whether the binder reports it). kw: None (no keywords) or [(key, value)].
    eq_calls receives the expected (key, name) __eq__ calls."""
    params, required, _ = METHODS[method]
    total, nargs = len(params), len(pos)
    try:
        values = list(pos) + [None] * (total - nargs) if nargs <= total else None
        if not kw:
            if not required <= nargs <= total:
                raise ModelError(TypeError, count_message(method, nargs))
            return ("bound", values)
        if nargs > total:
            raise ModelError(TypeError, count_message(method, nargs))
        keys = [k for k, _ in kw]
        kw_left = len(kw)
        for i in range(nargs, total):
            if i >= required and kw_left <= 0:
                continue
            found = find_keyword(IDENT[params[i]], kw, eq_calls)
            if found is not None:
                values[i] = found[0]
                kw_left -= 1
            elif i < required:
                raise ModelError(TypeError, count_message(method, nargs if i == 0 else 1))
        if kw_left > 0:
            leftover_keywords(method, params, nargs, kw, values)
        return ("bound", values)
    except ModelError as e:
        return e.outcome


def find_keyword(name, kw, eq_calls):
    for key, value in kw:
        if key is name:
            return (value,)
    for key, value in kw:
        if string_equal(name, key, eq_calls):
            return (value,)
    return None


def string_equal(name, key, eq_calls):
    if name is key:
        return True
    if type(key) is str:
        return name == key
    if key is None:
        return False
    if isinstance(key, Lying):  # its __eq__ is asked first, as the reflected operand
        eq_calls.append((key, name))
        if key.answer == "raise":
            raise ModelError(EqError, "eq refused")
        if key.answer == "badbool":
            raise ModelError(TruthError, "truth refused")
        return key.answer
    if isinstance(key, str):
        return name == str(key)
    return False  # int, float, bytes, tuple: not equal to a str


def leftover_keywords(method, params, nargs, kw, values):
    keyword_params = params[nargs:]
    for key, value in kw:
        same = [j for j, p in enumerate(keyword_params) if IDENT[p] is key]
        if not same:
            if not isinstance(key, str):
                raise ModelError(TypeError, "%s() keywords must be strings" % method)
            text = str(key)
            same = [j for j, p in enumerate(keyword_params) if p == text]
            if not same:
                if text in params[:nargs]:
                    raise ModelError(TypeError, "%s() got multiple values for keyword argument '%s'"
                                     % (method, text))
                raise ModelError(TypeError, "%s() got an unexpected keyword argument '%s'" % (method, text))
        values[nargs + same[0]] = value


_compiled = {}


def literal_call(f, pos, kw):
    """f(p[0], ..., name=v[0], ...) as source code: the interpreter's own keyword-names tuple."""
    sig = (len(pos), tuple(k for k, _ in kw))
    code = _compiled.get(sig)
    if code is None:
        args = ["p[%d]" % i for i in range(len(pos))] + ["%s=v[%d]" % (k, i) for i, (k, _) in enumerate(kw)]
        code = _compiled[sig] = compile("f(%s)" % ", ".join(args), "<call>", "eval")
    return eval(code, {"f": f, "p": pos, "v": [v for _, v in kw]})


module_entries = harness.module_entries


class RandomBindingTest(unittest.TestCase):
    def expected_effect(self, method, values):
        """(result check, expected LOG) for a successful call with these bound values."""
        self_ = values[0]
        if method == "_get":
            return self_.queue.token, [("pop", self_)]
        if method == "_put":
            return None, [("append", self_, values[1])]
        if method == "_qsize":
            if values[1] is None:
                return 7, [("len", self_)]
            return values[1].token, [("call", values[1], self_.queue)]
        return None, []

    def one_case(self, rng):
        method = rng.choice(list(METHODS))
        f = getattr(LifoQueue, method)
        params = METHODS[method][0]
        if rng.random() < 0.5:
            # near a valid call: some parameters positionally, the rest mostly by keyword
            nargs = rng.randint(0, len(params))
            wanted = [make_key(rng, rng.choice(["lit", "lit", "made", "plain"]), p)
                      for p in params[nargs:] if rng.random() < 0.85]
            wanted += [make_key(rng, rng.choice(KEY_KINDS)) for _ in range(rng.random() < 0.2)]
        else:
            nargs = rng.choice([0, 1, 1, 2, 2, 3, 4])
            wanted = [make_key(rng, rng.choice(KEY_KINDS)) for _ in range(rng.choice([0, 1, 1, 2, 2, 3]))]
        rng.shuffle(wanted)
        pos = [Cand() for _ in range(nargs)]
        kw, seen = [], set()
        for key in wanted:
            # one key per text among the kinds that hash and compare by content
            ident = ("text", str(key)) if type(key) in (str, Plain) else ("obj", id(key))
            if ident not in seen:
                seen.add(ident)
                kw.append((key, Cand()))
        routes = ["direct", "typecall"]
        if nargs:
            routes.append("method")
        if all(type(k) is str and k.isidentifier() and k is IDENT.get(k) for k, _ in kw):
            routes.append("literal")
        route = rng.choice(routes)

        eq_calls = []
        if route in INTERPRETER_CHECKS_KEYS and any(not isinstance(k, str) for k, _ in kw):
            expected = ("error", TypeError, "keywords must be strings", False)
        else:
            expected = model(method, pos, kw or None, eq_calls)

        candidates = pos + [v for _, v in kw]
        queues = [c.queue for c in candidates]
        kwdict = dict(kw)
        del LOG[:], EQ_LOG[:]
        try:
            if route == "direct":
                result = f(*pos, **kwdict)
            elif route == "typecall":
                result = type(f).__call__(f, *pos, **kwdict)
            elif route == "method":
                result = types.MethodType(f, pos[0])(*pos[1:], **kwdict)
            else:
                result = literal_call(f, pos, kw)
        except Exception as e:
            outcome = ("error", type(e), str(e), module_entries(e))
        else:
            outcome = ("bound", result)
        where = "seed %d, %s via %s, %d positional, keywords %r" % (
            SEED, method, route, nargs, [(type(k).__name__, k) for k, _ in kw])

        self.assertEqual([(id(k), n) for k, n in EQ_LOG], [(id(k), n) for k, n in eq_calls], where)
        if expected[0] == "error":
            _, exc_type, message, in_binder = expected
            self.assertEqual(outcome[:3], ("error", exc_type, message), where)
            name = "corvessa.util.queue.LifoQueue." + method
            self.assertEqual(outcome[3], [(name, METHODS[method][2])] if in_binder else [], where)
            self.assertEqual(LOG, [], where)
            self.assertEqual([c.queue for c in candidates], queues, where)
            return "error"
        self.assertEqual(outcome[0], "bound", (where, outcome))
        values = expected[1]
        want_result, want_log = self.expected_effect(method, values)
        self.assertEqual(LOG, want_log, where)
        if method == "_init":
            self.assertIs(type(values[0].queue), collections.deque, where)
            self.assertEqual(len(values[0].queue), 0, where)
            self.assertEqual([c.queue for c in candidates if c is not values[0]],
                             [q for c, q in zip(candidates, queues) if c is not values[0]], where)
        else:
            self.assertEqual([c.queue for c in candidates], queues, where)
        if method == "_qsize" and values[1] is None:
            self.assertEqual(outcome[1], want_result, where)
        else:
            self.assertIs(outcome[1], want_result, where)
        return "bound"

    def test_random_calls_follow_the_binding_rules(self):
        rng = random.Random(SEED)
        tally = collections.Counter(self.one_case(rng) for _ in range(CASES))
        # the mix reaches both outcomes in quantity
        self.assertGreater(tally["bound"], CASES // 5, tally)
        self.assertGreater(tally["error"], CASES // 5, tally)

    def test_model_on_known_cases(self):
        """The model itself, on calls whose outcome is known by heart."""
        a, b = Cand(), Cand()
        self.assertEqual(model("_put", [a], [("item", b)], []), ("bound", [a, b]))
        self.assertEqual(model("_put", [a], [("nope", b)], [])[2],
                         "_put() takes exactly 2 positional arguments (1 given)")
        self.assertEqual(model("_put", [], [("self", a)], [])[2],
                         "_put() takes exactly 2 positional arguments (1 given)")
        self.assertEqual(model("_qsize", [a, b, a], None, [])[2],
                         "_qsize() takes at most 2 positional arguments (3 given)")
        self.assertEqual(model("_qsize", [a], None, []), ("bound", [a, None]))
        lie = Yes("zzz")
        calls = []
        self.assertEqual(model("_put", [a], [(lie, b)], calls), ("bound", [a, b]))
        self.assertEqual(calls, [(lie, "item")])
        self.assertEqual(model("_get", [a], [(1, b)], [])[2], "_get() keywords must be strings")


if __name__ == "__main__":
    unittest.main()
