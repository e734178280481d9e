"""What the standard tools see of corvessa.util.queue: signatures, help, pickle, copy,
representations, and the type stub that describes the module."""
import ast
import copy
import inspect
import os
import pickle
import pydoc
import re
import unittest

import harness

import corvessa.util.queue as cq
from corvessa.util.queue import LifoQueue

HOOKS = ("_init", "_qsize", "_put", "_get")
SIGNATURES = {"_init": "(self, _)", "_qsize": "(self, len=<built-in function len>)",
              "_put": "(self, item)", "_get": "(self)"}
STUB = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                    "corvessa", "util", "queue.pyi")


class SignatureTest(unittest.TestCase):
    def test_signatures_of_the_hooks(self):
        for name in HOOKS:
            with self.subTest(name):
                self.assertEqual(str(inspect.signature(getattr(LifoQueue, name))), SIGNATURES[name])

    def test_bound_hooks_drop_self(self):
        q = LifoQueue()
        self.assertEqual(str(inspect.signature(q._put)), "(item)")
        self.assertEqual(str(inspect.signature(q._qsize)), "(len=<built-in function len>)")
        self.assertIs(inspect.signature(q._qsize).parameters["len"].default, len)


class HelpTest(unittest.TestCase):
    def test_class_help_is_that_of_the_class_written_in_python(self):
        compiled = pydoc.render_doc(LifoQueue, renderer=pydoc.plaintext)
        written = pydoc.render_doc(harness.python_lifoqueue(), renderer=pydoc.plaintext)
        self.assertEqual(compiled, written)
        self.assertIn("class LifoQueue(queue.Queue)", compiled)
        self.assertIn("put(self, item, block=True, timeout=None)", compiled)

    def test_help_of_each_hook_shows_its_signature(self):
        for name in HOOKS:
            with self.subTest(name):
                text = pydoc.render_doc(getattr(LifoQueue, name), renderer=pydoc.plaintext)
                self.assertIn("in module corvessa.util.queue", text)
                self.assertIn(name + SIGNATURES[name], text)

    def test_module_help_renders(self):
        text = pydoc.render_doc(cq, renderer=pydoc.plaintext)
        self.assertIn("class LifoQueue(queue.Queue)", text)
        self.assertIn(cq.__file__, text)


class PickleAndCopyTest(unittest.TestCase):
    def test_methods_pickle_by_reference(self):
        for name in HOOKS:
            method = getattr(LifoQueue, name)
            for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
                with self.subTest(name, protocol=protocol):
                    self.assertIs(pickle.loads(pickle.dumps(method, protocol)), method)

    def test_copies_are_the_method_itself(self):
        self.assertIs(copy.copy(LifoQueue._get), LifoQueue._get)
        self.assertIs(copy.deepcopy(LifoQueue._put), LifoQueue._put)

    def test_the_class_pickles_by_reference(self):
        self.assertIs(pickle.loads(pickle.dumps(LifoQueue)), LifoQueue)


class ReprTest(unittest.TestCase):
    def test_repr_names_the_qualified_name_and_address(self):
        for name in HOOKS:
            method = getattr(LifoQueue, name)
            with self.subTest(name):
                match = re.fullmatch(r"<tarnfunction LifoQueue\.%s at 0x([0-9a-f]+)>" % name, repr(method))
                self.assertIsNotNone(match, repr(method))
                self.assertEqual(int(match.group(1), 16), id(method))
        self.assertEqual(repr(LifoQueue), "<class 'corvessa.util.queue.LifoQueue'>")


class StubTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(STUB) as f:
            cls.tree = ast.parse(f.read(), STUB)

    def public_names(self):
        names = set()
        for node in self.tree.body:
            if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
                names.add(node.name)
            elif isinstance(node, (ast.Import, ast.ImportFrom)):
                # In a stub only `import x as x` and `from m import x as x` re-export.
                names.update(a.asname for a in node.names if a.asname == a.name.rsplit(".", 1)[-1])
            elif isinstance(node, ast.Assign):
                names.update(t.id for t in node.targets if isinstance(t, ast.Name))
            elif isinstance(node, ast.AnnAssign):
                names.add(node.target.id)
        return {n for n in names if not n.startswith("_")}

    def test_stub_names_exactly_the_public_names_of_the_module(self):
        public = {n for n in vars(cq) if not n.startswith("_")}
        self.assertEqual(public, {"LifoQueue", "collections", "six", "queue"})
        self.assertEqual(self.public_names(), public)

    def test_stub_class_and_hook_parameters_match_the_module(self):
        (cls,) = [n for n in self.tree.body if isinstance(n, ast.ClassDef)]
        self.assertEqual([ast.dump(b) for b in cls.bases],
                         [ast.dump(ast.parse("queue.Queue[_T]", mode="eval").body)])
        methods = {n.name: n for n in cls.body if isinstance(n, ast.FunctionDef)}
        self.assertEqual(set(methods), set(HOOKS))
        for name in HOOKS:
            with self.subTest(name):
                parameters = inspect.signature(getattr(LifoQueue, name)).parameters
                args = methods[name].args
                self.assertEqual([a.arg for a in args.args], list(parameters))
                with_default = [p for p in parameters.values() if p.default is not p.empty]
                self.assertEqual(len(args.defaults), len(with_default))


if __name__ == "__main__":
    unittest.main()
