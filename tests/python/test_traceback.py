"""Traceback entries of the module's functions and the code objects behind them."""
import json
import re
import sys
import unittest

import harness
import corvessa.util.queue as m

TB_FILE = "corvessa\\\\util\\\\queue.py"  # two backslashes per separator
PREFIX = "corvessa.util.queue.LifoQueue."
WITH_LINE = re.compile(r"^(.+) \(build\\corvessa/util\\queue\.cpp:(\d+)\)$")
runtime = sys.modules["tarn_runtime"]


def module_entries(exc):
    """(traceback entry, code object) pairs of the module's own entries."""
    out = []
    tb = exc.__traceback__
    while tb:
        code = tb.tb_frame.f_code
        if code.co_filename == TB_FILE:
            out.append(((code.co_name, tb.tb_lineno), code))
        tb = tb.tb_next
    return out


def failure(call):
    """The exception of call(), which must fail."""
    try:
        call()
    except Exception as e:
        return e
    raise AssertionError("no failure")


def empty_get():
    return failure(m.LifoQueue()._get)


class TracebackTest(unittest.TestCase):
    def setUp(self):
        self.saved = runtime.__dict__.get("cline_in_traceback", False)
        runtime.cline_in_traceback = False

    def tearDown(self):
        runtime.cline_in_traceback = self.saved

    def the_entry(self, exc):
        entries = module_entries(exc)
        self.assertEqual(len(entries), 1, entries)
        return entries[0]

    def test_entries_of_bodies_and_binders(self):
        Q = m.LifoQueue
        no_queue = Q()
        del no_queue.queue
        broken = Q()
        broken.queue = None

        def init_without_collections():
            harness.call_without_global(m, "collections", Q)

        cases = [
            ("_get", 21, IndexError, "pop from an empty deque", Q()._get),
            ("_get", 20, TypeError, "_get() takes exactly 1 positional argument (2 given)",
             lambda: Q._get(Q(), 1)),
            ("_put", 18, AttributeError, "'NoneType' object has no attribute 'append'",
             lambda: broken.put_nowait(1)),
            ("_put", 17, TypeError, "_put() takes exactly 2 positional arguments (1 given)",
             lambda: Q._put(Q())),
            ("_qsize", 15, AttributeError, "'LifoQueue' object has no attribute 'queue'",
             no_queue.qsize),
            ("_qsize", 14, TypeError, "_qsize() takes at most 2 positional arguments (3 given)",
             lambda: Q._qsize(Q(), len, 1)),
            ("_init", 12, NameError, "name 'collections' is not defined", init_without_collections),
            ("_init", 11, TypeError, "_init() takes exactly 2 positional arguments (1 given)",
             lambda: Q._init(Q())),
        ]
        for name, line, exc_type, message, call in cases:
            with self.subTest(name=name, line=line):
                e = failure(call)
                self.assertEqual((type(e), str(e)), (exc_type, message))
                (entry, code), = module_entries(e)
                self.assertEqual(entry, (PREFIX + name, line))
                self.assertEqual(code.co_firstlineno, line)
        tb = e.__traceback__
        while tb.tb_next:
            tb = tb.tb_next
        self.assertIs(tb.tb_frame.f_globals, vars(m))

    def test_switch_names_the_implementation_line(self):
        (plain, plain_code) = self.the_entry(empty_get())
        self.assertEqual(plain, (PREFIX + "_get", 21))
        self.assertIs(self.the_entry(empty_get())[1], plain_code)

        runtime.cline_in_traceback = True
        (entry, code) = self.the_entry(empty_get())
        match = WITH_LINE.match(entry[0])
        self.assertIsNotNone(match, entry)
        self.assertEqual((match.group(1), entry[1]), (PREFIX + "_get", 21))
        self.assertEqual(entry[0], "%s (%s:%d)" % (PREFIX + "_get", "build\\corvessa/util\\queue.cpp",
                                                   int(match.group(2))))
        self.assertIs(self.the_entry(empty_get())[1], code)
        self.assertIsNot(code, plain_code)

        runtime.cline_in_traceback = False
        self.assertIs(self.the_entry(empty_get())[1], plain_code)
        runtime.cline_in_traceback = True
        self.assertIs(self.the_entry(empty_get())[1], code)

        # entries made from the cache hand back every reference they take
        refs = sys.getrefcount(code), sys.getrefcount(plain_code)
        for value in (True, False, True):
            runtime.cline_in_traceback = value
            empty_get()
        self.assertEqual((sys.getrefcount(code), sys.getrefcount(plain_code)), refs)

    def test_any_truth_decides_and_a_failing_one_counts_as_false(self):
        asked = []

        class Truthless:
            def __bool__(self):
                asked.append(1)
                raise ZeroDivisionError("no truth")

        for value, shows_line in [(1, True), ("", False), (None, False), (Truthless(), False)]:
            with self.subTest(value=value):
                runtime.cline_in_traceback = value
                e = empty_get()
                (name, line), _ = self.the_entry(e)
                self.assertEqual(bool(WITH_LINE.match(name)), shows_line, name)
                self.assertEqual((type(e), str(e), e.__context__, e.__cause__),
                                 (IndexError, "pop from an empty deque", None, None))
                self.assertEqual(sys.exc_info(), (None, None, None))
        self.assertEqual(len(asked), 1)

    def test_a_missing_switch_is_created_false(self):
        del runtime.cline_in_traceback
        self.assertEqual(self.the_entry(empty_get())[0], (PREFIX + "_get", 21))
        self.assertIs(runtime.__dict__["cline_in_traceback"], False)


class FreshProcessTest(harness.ScenarioTestCase):
    def test_first_entry_creates_the_switch(self):
        out = self.run_ok(r'''
            import json, sys
            import corvessa.util.queue as m
            runtime = sys.modules["tarn_runtime"]
            before = sorted(vars(runtime))
            try:
                m.LifoQueue()._get()
            except IndexError as e:
                tb = e.__traceback__
                while tb.tb_next:
                    tb = tb.tb_next
                entry = [tb.tb_frame.f_code.co_name, tb.tb_lineno]
            print(json.dumps([before, entry, repr(runtime.cline_in_traceback)]))
        ''')
        before, entry, switch = json.loads(out)
        self.assertNotIn("cline_in_traceback", before)
        self.assertEqual(entry, [PREFIX + "_get", 21])
        self.assertEqual(switch, "False")

    def test_sites_sharing_a_python_line_keep_their_own_names(self):
        # The first import fails at line 14 (storing _qsize in the class namespace), so an
        # entry for "init corvessa.util.queue" at line 14 exists when the binder of _qsize,
        # also at line 14, fails in the module imported next.
        tree = harness.Tree().write("corvessa/packages/six/moves.py", """\
            import types
            import queue as _queue
            refusals = ["_qsize"]
            class Namespace(dict):
                def __setitem__(self, key, value):
                    if key in refusals:
                        refusals.remove(key)
                        raise KeyError("refused " + key)
                    dict.__setitem__(self, key, value)
            class Meta(type):
                @classmethod
                def __prepare__(mcls, name, bases):
                    return Namespace()
            class Queue(_queue.Queue, metaclass=Meta):
                pass
            queue = types.SimpleNamespace(Queue=Queue)
            """)
        try:
            out = self.run_ok(r'''
                import json
                def entry(e):
                    found = []
                    tb = e.__traceback__
                    while tb:
                        if tb.tb_frame.f_code.co_filename == "corvessa\\\\util\\\\queue.py":
                            found.append([tb.tb_frame.f_code.co_name, tb.tb_lineno, str(e)])
                        tb = tb.tb_next
                    return found
                try:
                    import corvessa.util.queue
                except KeyError as e:
                    first = entry(e)
                import corvessa.util.queue as m
                q = m.LifoQueue()
                results = [first]
                for i in range(2):
                    try:
                        m.LifoQueue._qsize(q, len, 1)
                    except TypeError as e:
                        results.append(entry(e))
                q.put(5)
                results.append(q.qsize())
                print(json.dumps(results))
            ''', tree=tree, env=harness.without_leak_check())
        finally:
            tree.cleanup()
        message = "_qsize() takes at most 2 positional arguments (3 given)"
        self.assertEqual(json.loads(out), [
            [["init corvessa.util.queue", 14, "'refused _qsize'"]],
            [[PREFIX + "_qsize", 14, message]],
            [[PREFIX + "_qsize", 14, message]],
            1])


if __name__ == "__main__":
    unittest.main()
