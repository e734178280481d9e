"""The function object type shared through _tarn_3_0a5, each case in a fresh process."""
import os
import sys
import sysconfig
import textwrap
import unittest

import harness

OWN_TYPES = "[t for t in object.__subclasses__() if t.__name__ == 'tarn_function_or_method']"
KEY = harness.SHARED_TYPE_KEY  # the attribute of _tarn_3_0a5 the type is shared under


def scenario(code):
    """code, with KEY defined for it."""
    return "KEY = %r\n%s" % (KEY, textwrap.dedent(code))


# The other kind of build of this version beside the one under test, where one is at hand:
# the checkout's own build for a suite of the stable ABI's binary, that binary (make
# check-abi3) for a suite of the version's own build.
OTHER_BUILD = (os.path.join(harness.ROOT, "corvessa", "util", "queue" + sysconfig.get_config_var("EXT_SUFFIX"))
               if harness.STABLE_ABI else os.path.join(harness.ROOT, "build-abi3", "pkg", "corvessa", "util",
                                                       "queue.abi3.so"))


def built_for_this_machine(path):
    """Is the binary at path one this interpreter's CPU runs (ELF class, byte order and
    machine as the interpreter's own)? The checkout may hold another CPU's."""
    try:
        with open(path, "rb") as theirs, open(sys.executable, "rb") as ours:
            a, b = theirs.read(20), ours.read(20)
    except OSError:
        return False
    return a[4:6] + a[18:20] == b[4:6] + b[18:20]


class SharedTypeTest(harness.ScenarioTestCase):
    @unittest.skipUnless(sys.version_info >= (3, 12) and built_for_this_machine(OTHER_BUILD),
                         "no build of the other kind at hand (a version's own beside the stable ABI's, 3.12 on)")
    def test_a_build_of_each_kind_in_one_process_each_keep_their_type(self):
        out = self.run_ok(scenario("""
            import importlib.util, sys
            import corvessa.util.queue as first
            spec = importlib.util.spec_from_file_location("corvessa.other.queue", %r)
            second = importlib.util.module_from_spec(spec)
            spec.loader.exec_module(second)
            shared = sys.modules['_tarn_3_0a5']
            types = [type(m.LifoQueue._get) for m in (first, second)]
            assert types[0] is not types[1] and types[0] is getattr(shared, KEY), types
            print(sorted(k for k in vars(shared) if k.startswith('tarn')))
            for m in (first, second):
                q = m.LifoQueue()
                q.put(1); q.put(2)
                print(q.get(), q.get(), m.__name__)
        """ % OTHER_BUILD))
        self.assertEqual(out, "['tarn_function_or_method', 'tarn_function_or_method_abi3']\n"
                              "2 1 corvessa.util.queue\n2 1 corvessa.other.queue\n")

    def test_first_module_publishes_its_own_type(self):
        out = self.run_ok(scenario("""
            import sys, types
            assert '_tarn_3_0a5' not in sys.modules
            from corvessa.util.queue import LifoQueue
            shared = sys.modules['_tarn_3_0a5']
            T = type(LifoQueue._get)
            assert type(shared) is types.ModuleType, type(shared)
            assert getattr(shared, KEY) is T
            assert %s == [T]
            print(T.__basicsize__)
        """ % OWN_TYPES))
        self.assertGreater(int(out), object.__basicsize__)

    def seeded(self, value_code):
        return harness.run_scenario(scenario("""
            import sys, types
            shared = types.ModuleType('_tarn_3_0a5')
            setattr(shared, KEY, %s)
            sys.modules['_tarn_3_0a5'] = shared
            try:
                import corvessa.util.queue
            except BaseException as e:
                print(type(e).__name__, e)
            print(sys.modules['_tarn_3_0a5'] is shared, getattr(shared, KEY) is not None)
        """ % value_code))

    def test_seeded_non_type_is_refused(self):
        result = self.seeded("12345")
        self.assertEqual(result.stdout,
                         "TypeError Shared Tarn type %s is not a type object\nTrue True\n" % KEY,
                         result)

    def test_seeded_type_of_another_size_is_refused(self):
        result = self.seeded("int")
        self.assertEqual(result.stdout, "TypeError Shared Tarn type %s has the wrong size, " % KEY +
                         
                                        "try recompiling\nTrue True\n", result)

    def test_lookup_error_other_than_attribute_error_passes_through(self):
        out = self.run_ok(scenario("""
            import sys, types
            shared = types.ModuleType('_tarn_3_0a5')
            def __getattr__(name):
                raise LookupError('no lookup of ' + name)
            shared.__getattr__ = __getattr__
            sys.modules['_tarn_3_0a5'] = shared
            try:
                import corvessa.util.queue
            except LookupError as e:
                print(e)
            print(KEY in vars(shared))
        """))
        self.assertEqual(out, "no lookup of %s\nFalse\n" % KEY)

    @unittest.skipIf(hasattr(sys, "gettotalrefcount"), "a debug interpreter checks every object the collector "
                     "starts tracking with its type's own traversal, which a planted class of Python slots cannot "
                     "make of the module's records")
    def test_seeded_type_of_the_same_size_is_taken_and_ours_never_readied(self):
        size = int(self.run_ok(scenario("""
            from corvessa.util.queue import LifoQueue
            print(type(LifoQueue._get).__basicsize__)
        """)))
        # The planted class is the instances' type, but its slots and collector hooks
        # do not fit our record: keep the collector off and leave without tear-down.
        out = self.run_ok(scenario("""
            import gc, os, sys, types
            gc.disable()
            slots = (%d - object.__basicsize__) // 8
            X = type('X', (object,), {'__slots__': tuple('s%%d' %% i for i in range(slots))})
            assert X.__basicsize__ == %d, X.__basicsize__
            shared = types.ModuleType('_tarn_3_0a5')
            setattr(shared, KEY, X)
            sys.modules['_tarn_3_0a5'] = shared
            from corvessa.util.queue import LifoQueue
            functions = [LifoQueue.__dict__[n] for n in ('_init', '_qsize', '_put', '_get')]
            print(all(f.__class__ is X for f in functions), getattr(shared, KEY) is X, %s)
            sys.stdout.flush()
            os._exit(0)
        """ % (size, size, OWN_TYPES)))
        self.assertEqual(out, "True True []\n")


if __name__ == "__main__":
    unittest.main()
