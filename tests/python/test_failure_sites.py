"""Failure sites: every site records an implementation line of its own across the module."""
import glob
import json
import os
import re
import sys
import unittest

import harness
import corvessa.util.queue as m

SRC = os.path.join(harness.ROOT, "src")
BASE = re.compile(r"^\s*static constexpr int tarn_line_base = (\d+);")
WITH_LINE = re.compile(r"^(.+) \(build\\corvessa/util\\queue\.cpp:(\d+)\)$")
LINES_PER_FILE = 10000


def code_lines(path):
    """The file's lines with // comments cut off."""
    with open(path) as f:
        return [line.split("//", 1)[0] for line in f.read().split("\n")]


def scan_sources():
    """{relative path: (base or None, [source lines with a site], line count)} of src/**/*.cpp."""
    found = {}
    for path in sorted(glob.glob(os.path.join(SRC, "**", "*.cpp"), recursive=True)):
        lines = code_lines(path)
        bases = [int(mo.group(1)) for mo in map(BASE.match, lines) if mo]
        sites = [n for n, line in enumerate(lines, 1) for _ in range(line.count("TARN_SITE"))]
        found[os.path.relpath(path, SRC)] = (bases, sites, len(lines))
    return found


def source_of(impl_line):
    """The source line that an implementation line names."""
    base, line = divmod(impl_line, LINES_PER_FILE)
    for rel, (bases, _, _) in scan_sources().items():
        if bases == [base * LINES_PER_FILE]:
            return rel, code_lines(os.path.join(SRC, rel))[line - 1]
    raise AssertionError("no source file has the base of %d" % impl_line)


class SourceScanTest(unittest.TestCase):
    def test_sites_are_distinct_across_the_module(self):
        found = scan_sources()
        users = {rel: v for rel, v in found.items() if v[1]}
        self.assertGreaterEqual(len(users), 4, sorted(found))
        all_bases = []
        impl_lines = []
        for rel, (bases, sites, count) in users.items():
            with self.subTest(rel):
                self.assertEqual(len(bases), 1, "one tarn_line_base per file using TARN_SITE")
                base = bases[0]
                self.assertTrue(base > 0 and base % LINES_PER_FILE == 0, base)
                self.assertLess(count, LINES_PER_FILE)
                self.assertEqual(len(sites), len(set(sites)), "two sites on one line")
                all_bases.append(base)
                impl_lines += [base + n for n in sites]
        self.assertEqual(len(all_bases), len(set(all_bases)), all_bases)
        self.assertEqual(len(impl_lines), len(set(impl_lines)))

    def test_headers_define_no_sites(self):
        # A site in a header would take the line base of whichever file includes it.
        for path in glob.glob(os.path.join(SRC, "**", "*.h"), recursive=True):
            for n, line in enumerate(code_lines(path), 1):
                if "TARN_SITE" in line and not line.startswith("#define TARN_SITE"):
                    self.fail("%s:%d uses TARN_SITE" % (path, n))


class ReportedLinesTest(unittest.TestCase):
    def setUp(self):
        self.runtime = sys.modules["tarn_runtime"]
        self.saved = self.runtime.__dict__.get("cline_in_traceback", False)
        self.runtime.cline_in_traceback = True

    def tearDown(self):
        self.runtime.cline_in_traceback = self.saved

    def impl_line(self, call, function):
        try:
            call()
        except Exception as e:
            tb = e.__traceback__
        else:
            self.fail("no failure")
        while tb.tb_next:
            tb = tb.tb_next
        match = WITH_LINE.match(tb.tb_frame.f_code.co_name)
        self.assertIsNotNone(match, tb.tb_frame.f_code.co_name)
        self.assertEqual(match.group(1), function)
        line = int(match.group(2))
        rel, text = source_of(line)
        self.assertIn("TARN_SITE", text, (rel, line))
        return line

    def test_different_failures_report_different_lines(self):
        Q = m.LifoQueue

        def init_without_collections():
            harness.call_without_global(m, "collections", Q)

        prefix = "corvessa.util.queue.LifoQueue."
        lines = [
            self.impl_line(lambda: Q._put(Q()), prefix + "_put"),
            self.impl_line(lambda: Q._put(Q(), 1, nope=2), prefix + "_put"),
            self.impl_line(Q()._get, prefix + "_get"),
            self.impl_line(init_without_collections, prefix + "_init"),
        ]
        self.assertEqual(len(set(lines)), len(lines), lines)
        self.assertEqual(self.impl_line(Q()._get, prefix + "_get"), lines[2])

    def test_module_execution_sites(self):
        # tarn_runtime exists with the switch on before the module is imported.
        tree = harness.Tree().without_packages()
        try:
            result = harness.run_scenario(r'''
                import json, sys, types
                runtime = sys.modules["tarn_runtime"] = types.ModuleType("tarn_runtime")
                runtime.cline_in_traceback = True
                try:
                    import corvessa.util.queue
                except ImportError as e:
                    tb = e.__traceback__
                    while tb.tb_next:
                        tb = tb.tb_next
                    print(json.dumps([tb.tb_frame.f_code.co_name, tb.tb_lineno]))
            ''', tree=tree)
        finally:
            tree.cleanup()
        self.assertEqual(result.returncode, 0, result)
        name, py_line = json.loads(result.stdout)
        match = WITH_LINE.match(name)
        self.assertIsNotNone(match, name)
        self.assertEqual((match.group(1), py_line), ("init corvessa.util.queue", 2))
        rel, text = source_of(int(match.group(2)))
        self.assertIn("TARN_SITE", text, rel)


if __name__ == "__main__":
    unittest.main()
