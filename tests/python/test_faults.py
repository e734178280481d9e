"""Allocation-failure injection: every allocation of the module's import and of the hooks'
paths is failed in turn, and each failure must be reported cleanly.

tarn_faults (tests/faults/) puts a failing allocator in front of the interpreter's own in the
raw, mem and object domains. A scenario runs once counted, then once for every N from 1 on
with the N-th allocation failed. Where the scenario needs a fresh process (the import, and
paths that fill a cache or make a value on their first run), every N runs in a child forked
from a process that has imported what the scenario reaches; the others run N after N in
one process, twice over. Every run must give an error (MemoryError, or what the interpreter
raises for that allocation) with the module's traceback entry where one can still be made,
or succeed where the module tolerates the failure; and after it: no crash, the queue's
items neither lost nor duplicated, a later import or call that succeeds, and no reference
kept: in a forked child, once the call has been made again without a failure, the reference
counts of the objects involved and the objects the collector tracks (by type) as after the
run without a failure, and under the sanitizer build nothing unreachable; in one process,
those reference counts flat run after run and allocated blocks flat over the second sweep.

By hand: TARN_FAULT_STRIDE=K fails only every K-th allocation; TARN_FAULT_ONLY=text runs the
scenarios whose names contain text."""
import json
import os
import shutil
import sys
import tempfile
import textwrap
import unittest

import harness

FAULTS_DIR = os.environ.get("TARN_FAULTS_DIR", "")
STRIDE = int(os.environ.get("TARN_FAULT_STRIDE", "1"))
ONLY = os.environ.get("TARN_FAULT_ONLY", "")
P = "corvessa.util.queue.LifoQueue."
INIT = "init corvessa.util.queue"

# What every child runs first: the modules the import reaches, imported before anything is
# counted, and the helpers of the runs.
PRELUDE = r'''
import collections, gc, json, os, sys, queue, threading, traceback
sys.path.insert(0, %r)
import corvessa.packages.six.moves
import importlib.util
import tarn_faults
tarn_faults.watch(importlib.util.find_spec("corvessa.util.queue").origin)
TB_FILE = "corvessa\\\\util\\\\queue.py"

def entries(exc):
    out, tb = [], exc.__traceback__
    while tb:
        if tb.tb_frame.f_code.co_filename == TB_FILE:
            out.append([tb.tb_frame.f_code.co_name.split(" (")[0], tb.tb_lineno])
        tb = tb.tb_next
    return out

if os.environ.get("TARN_ASAN"):
    import ctypes
    def leak_check():
        """LeakSanitizer's check, now: memory that nothing reaches, such as an object whose
        count a failure path left raised, is reported (a no-op when leaks are not detected)."""
        return ctypes.CDLL(None).__lsan_do_recoverable_leak_check()
else:
    def leak_check():
        return 0

def attempt(n, target):
    """Calls target, (f, args, kwargs), with the n-th allocation failed (n 0: counted only).
    Returns (kind, outcome, count, failed): kind the error's name or "ok", the outcome the
    JSON text of [kind, traceback entries, whether the failed allocation was made under the
    module's code], text so that it leaves nothing for the collector to track."""
    sys.stderr.write("run %%d\n" %% n)
    sys.stderr.flush()
    f, args, kwargs = target
    gc.collect()  # also empties the interpreter's free lists, whose objects need no allocation
    try:
        tarn_faults.call(n, f, *args, **kwargs)
        kind, where = "ok", []
    except Exception as e:
        kind, where = type(e).__name__, entries(e)
    count, failed, in_module = tarn_faults.last()
    return kind, json.dumps([kind, where, in_module]), count, failed

def call(target):
    """Calls target unarmed, whatever it gives."""
    f, args, kwargs = target
    try:
        f(*args, **kwargs)
    except Exception:
        pass
'''

# A run in a fresh process for every N: the process that has run the prelude forks one child
# per N, which runs the scenario from its start and reports [outcome, count, failed,
# problems, objects tracked by type] through a pipe. A child that dies or hangs is reported
# with its N. Prints [[N, the child's pid, report], ...].
FRESH = r'''
import signal

def scenario(n):
    SETUP
    target = TARGET
    watched = WATCHED
    problems = []
    kind, outcome, count, failed = attempt(n, target)
    os.write(PIPE, ("[%s, %d, %s]\n" % (outcome, count, json.dumps(failed))).encode())  # should the child die
    CHECK
    call(target)  # again, unarmed: the state a run that succeeded leaves, lazy values made
    gc.collect()
    # The reference counts of the objects involved and what the collector tracks, by type:
    # the same as after the run without a failure.
    refs = [sys.getrefcount(o) for o in watched]
    objects = collections.Counter(type(o).__name__ for o in gc.get_objects())
    return [json.loads(outcome), count, failed, problems, refs, objects]

def forked(n):
    sys.stdout.flush()
    sys.stderr.flush()
    global PIPE
    r, PIPE = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(r)
        signal.alarm(60)
        report = scenario(n)
        gc.collect()  # the scenario's objects are gone: what is left unreachable has leaked
        if leak_check():
            report[3].append("LeakSanitizer reports leaks")
        os.write(PIPE, json.dumps(report).encode())
        if os.environ.get("TARN_COVERAGE"):
            sys.exit(0)  # a full exit, which writes the child's coverage counts
        os._exit(0)
    os.close(PIPE)
    with os.fdopen(r, "rb") as pipe:
        lines = pipe.read().decode().splitlines()
    _, status = os.waitpid(pid, 0)
    if status or len(lines) < 2:
        outcome, count, failed = json.loads(lines[0]) if lines else (["in the call", [], False], 0, True)
        outcome[0] = "died " + outcome[0]
        return "%d, %s" % (pid, json.dumps([outcome, count, failed, ["wait status %d" % status], [], {}]))
    return "%d, %s" % (pid, lines[1])

# (the reports kept as text and module-level names without an iterator: every child starts
# with the same objects tracked, and what the forking frame holds stays reachable for the
# leak check, which cannot see into the interpreter's frame stack)
runs, n, total, PIPE = [], 0, 0, -1
runs.append("[0, %s]" % forked(0))
total = json.loads(runs[0])[2][1]
n = STRIDE
while n <= total:
    runs.append("[%d, %s]" % (n, forked(n)))
    n += STRIDE
print("[%s]" % ", ".join(runs))
'''

# All runs in one process: a warm-up, then N after N; then the same sweep again, over which
# allocated blocks must stay flat (the first fills the interpreter's own caches). Prints
# [[N, outcome, problems], ...] of the first sweep and the blocks the second one left.
IN_PROCESS = r'''
SETUP
target = TARGET
watched = WATCHED
attempt(0, target)
CHECK_RESET
gc.collect()
refs = [sys.getrefcount(o) for o in watched]

def sweep():
    runs, n = [], STRIDE
    while True:
        kind, outcome, count, failed = attempt(n, target)
        problems = []
        CHECK
        CHECK_RESET
        gc.collect()
        now = [sys.getrefcount(o) for o in watched]
        if now != refs:
            problems.append("reference counts %r, not %r" % (now, refs))
        runs.append([n, json.loads(outcome), problems])
        if not failed:
            return runs
        n += STRIDE

runs = sweep()
gc.collect()
blocks = sys.getallocatedblocks()
sweep()
gc.collect()
print(json.dumps([runs, sys.getallocatedblocks() - blocks]))
'''


# The rows: (name, a fresh process per N, setup, the call (f, args, kwargs), a check that
# appends to `problems`, the objects whose reference counts stay flat, what puts the state
# back after a run, errors allowed besides MemoryError, the traceback entries the module may
# add). Only the call runs armed: the interpreter's own handling of what it raised comes
# after, in the caller's frame.
# What a failed import may leave that one without a failure does not: the failed module's
# dictionary with its spec (the Module state keeps its fields), the thread's record of reprs
# in progress (made by the import machinery's messages), and slot wrappers in the function
# type's dictionary (a retried PyType_Ready takes the slots the failed one inherited for
# the type's own).
# CPython 3.13 (3.13.0 and 3.13.18 alike) crashes in two ways after failed allocations of
# an import: when the import is tried again after some allocations of the import machinery's
# own Python code failed (a pure-Python module shows it too), and, on 3.13.0, in
# PyType_Ready, whose dictionary insertions go on after one failed to grow the dictionary
# (dict.setdefault shows it: a failed allocation there gives SystemError "returned a result
# with an exception set"). 3.14 and 3.15 crash in PyType_Ready too (a class statement in
# Python code does, at a failed allocation near the 20th). Children of the import scenario
# that die there are counted, listed, and left to the interpreter.
IMPORT_CRASHES_INTERPRETER = sys.version_info[:2] in ((3, 13), (3, 14), (3, 15))
KEPT_BY_A_FAILED_IMPORT = ("dict", "list", "ModuleSpec", "ExtensionFileLoader", "wrapper_descriptor")
QUEUE = "from corvessa.util.queue import LifoQueue as L\nq = L()\nitem = object()\n"
ON_EMPTY = ("IndexError",)
FULL_DEQUE = ("q.queue = collections.deque(range(63))\ndel hold[:]\n"
              "hold.extend(collections.deque() for i in range(20))")
SCENARIOS = [
    ("import", True, "import importlib", "(importlib.import_module, ('corvessa.util.queue',), {})",
     # a failed import leaves a later one that succeeds; a tolerated failure a module that works
     "if kind != 'ok':\n"
     "    import corvessa.util.queue\n"
     "q = sys.modules['corvessa.util.queue'].LifoQueue()\n"
     "for i in (1, 2, 3):\n    q.put(i)\n"
     "if [q.get() for i in (1, 2, 3)] != [3, 2, 1]:\n    problems.append('no LIFO queue after the import')",
     None, None, ("RuntimeError",), [INIT]),  # RuntimeError: the import machinery's lock
    # A deque made from 63 items has filled its first block: the next append takes a new one,
    # allocated once the deques held in `hold` have used up the spare blocks deques keep.
    # (The item's count is not watched: deque.append keeps a reference to the item when that
    # block cannot be had, called from Python code as from here.)
    ("_put growing the deque", False, QUEUE + "hold = []\n" + FULL_DEQUE, "(q._put, (item,), {})",
     "if list(q.queue) != list(range(63)) + ([item] if kind == 'ok' else []):\n"
     "    problems.append('queue %r' % list(q.queue)[60:])",
     "[q]", FULL_DEQUE, (), [P + "_put"]),
    ("_get of a full deque", False, QUEUE + "q.queue.extend(range(40))", "(q._get, (), {})",
     "if len(q.queue) != 40 - (kind == 'ok'):\n    problems.append('queue %r' % list(q.queue)[35:])",
     "[q, q.queue]", "q.queue.extend(range(len(q.queue), 40))", (), [P + "_get"]),
    ("_get of an empty deque", True, QUEUE, "(q._get, (), {})",
     "if len(q.queue):\n    problems.append('queue not empty')", "[q, q.queue, L._get]", None, ON_EMPTY,
     [P + "_get"]),
    ("_get of an empty deque, implementation lines shown", True,
     QUEUE + "import tarn_runtime\ntarn_runtime.cline_in_traceback = True", "(q._get, (), {})",
     "", "[q, q.queue, L._get]", None, ON_EMPTY, [P + "_get"]),
    ("_get of an empty deque, again", False, QUEUE, "(q._get, (), {})", "", "[q, q.queue]", "", ON_EMPTY,
     [P + "_get"]),
    ("_qsize of a long deque", False, QUEUE + "for i in range(300):\n    q._put(i)", "(q._qsize, (), {})",
     "if len(q.queue) != 300:\n    problems.append('queue changed')", "[q, q.queue, len]", "", (),
     [P + "_qsize"]),
    ("_init", False, QUEUE + "old = q.queue", "(q._init, (0,), {})",
     "if kind != 'ok' and q.queue is not old:\n    problems.append('queue replaced by a failed _init')",
     "[q, old]", "q.queue = old", (), [P + "_init"]),
    ("_put with a count refused", True, QUEUE, "(L._put, (q,), {})", "", "[q, L._put]", None, ("TypeError",),
     [P + "_put"]),
    ("_qsize without self", True, QUEUE, "(L._qsize, (), {'len': len})", "", "[L._qsize, len]", None,
     ("TypeError",), [P + "_qsize"]),
    ("_put with a duplicate keyword", True, QUEUE, "(L._put, (q, 1), {'item': 2})", "", "[q, L._put]", None,
     ("TypeError",), [P + "_put"]),
    ("_get with an unexpected keyword", False, QUEUE, "(L._get, (q,), {'nope': 1})", "", "[q, L._get]", "",
     ("TypeError",), [P + "_get"]),
    ("keyword names that are not str, through the call slot", False, QUEUE,
     "(type(L._get).__call__, (L._get, q), {1: item})", "", "[q, item, L._get]", "", ("TypeError",), []),
    ("keyword calls through the call slot", False, QUEUE, "(type(L._put).__call__, (L._put, q), {'item': item})",
     "if list(q.queue) != ([item] if kind == 'ok' else []):\n    problems.append('queue %r' % list(q.queue))",
     "[q, item, L._put]", "q.queue.clear()", (), [P + "_put"]),
    ("__defaults__, made on first use", True, QUEUE, "(getattr, (L._qsize, '__defaults__'), {})", "",
     "[L._qsize, len]", None, (), ["corvessa.util.queue.__defaults__"]),
    ("__kwdefaults__, made on first use", True, QUEUE, "(getattr, (L._qsize, '__kwdefaults__'), {})", "",
     "[L._qsize, len]", None, (), ["corvessa.util.queue.__defaults__"]),
    ("__dict__, made on first use", True, QUEUE, "(getattr, (L._put, '__dict__'), {})", "", "[L._put]", None,
     (), []),
    ("__name__, made on first use", True, QUEUE, "(getattr, (L._put, '__name__'), {})", "", "[L._put]", None,
     (), []),
    ("__annotations__, made on first use", True, QUEUE, "(getattr, (L._put, '__annotations__'), {})", "",
     "[L._put]", None, (), []),
    # (through the methods themselves: pickle's own failure paths keep blocks of their own)
    ("__reduce__ and repr", False, QUEUE, "(lambda f: (f.__reduce__(), repr(f)), (L._get,), {})", "",
     "[L._get]", "", (), []),
]


class SanitizerReports:
    """Under the sanitizer build, the reports of a scenario's processes written apart (into
    env's ASAN_OPTIONS), then handed over to the run's own reports, which fail it, all but
    those of the processes spared: children that crashed in the interpreter's own fault."""

    def __init__(self, env):
        options = os.environ.get("ASAN_OPTIONS", "")
        self.run_path = dict(o.split("=", 1) for o in options.split(":") if "=" in o).get("log_path")
        if not self.run_path:
            return
        self.apart = tempfile.mkdtemp(prefix="tarn-reports-")
        options = env.get("ASAN_OPTIONS", options)
        env["ASAN_OPTIONS"] = options.replace("log_path=" + self.run_path, "log_path=%s/asan" % self.apart)

    def hand_over(self, spare):
        if not self.run_path:
            return
        for name in os.listdir(self.apart):
            pid = int(name.rsplit(".", 1)[1])
            if pid not in spare:
                shutil.move(os.path.join(self.apart, name), "%s.%d" % (self.run_path, pid))
        shutil.rmtree(self.apart)


def fill(template, **parts):
    """The template with each line that is just a part's name replaced by that code, indented
    as the line was."""
    out = []
    for line in template.splitlines():
        name = line.strip()
        if name in parts:
            indent = line[:len(line) - len(line.lstrip())]
            out += [indent + code_line for code_line in (parts[name] or "pass").splitlines()]
        else:
            out.append(line)
    return "\n".join(out) + "\n"


def child_code(template, setup, target, check, watched, reset):
    code = fill(template, SETUP=setup, CHECK=check, CHECK_RESET=reset)
    code = code.replace("TARGET", target).replace("WATCHED", watched or "[]").replace("STRIDE", str(STRIDE))
    return textwrap.dedent(PRELUDE % FAULTS_DIR) + code


@unittest.skipUnless(FAULTS_DIR, "tarn_faults is built with the tests: run through CTest (TARN_FAULTS_DIR)")
class FaultInjectionTest(unittest.TestCase):
    def check_outcome(self, name, n, outcome, allowed, names):
        """An error with the module's entry where one can be made, or a tolerated failure. A
        failure outside the module's own code (in the interpreter's Python code around it, the
        import machinery's) is the interpreter's to report."""
        kind, entries, in_module = outcome
        if kind != "ok" and in_module:
            self.assertIn(kind, ("MemoryError",) + allowed, (name, n, outcome))
        for entry in entries:
            self.assertIn(entry[0], names, (name, n, outcome))

    def run_fresh(self, name, setup, target, check, watched, allowed, names):
        code = child_code(FRESH, setup, target, check, watched, None)
        # A failed exec step leaves what it made unreachable by design: the leak check is for
        # the other scenarios.
        env = harness.without_leak_check() if INIT in names else {}
        crashes_interpreter = IMPORT_CRASHES_INTERPRETER and INIT in names
        reports = SanitizerReports(env) if crashes_interpreter else None
        try:
            result = harness.run_scenario(code, env=env, timeout=600)
            self.assertEqual(result.returncode, 0, "%s: %r" % (name, result))
            runs = json.loads(result.stdout)
            self.interpreter_crashes = [(n, pid) for n, pid, (outcome, *_) in runs
                                        if crashes_interpreter and outcome[0].startswith("died")]
        finally:
            if reports:
                reports.hand_over(spare=[pid for _, pid in getattr(self, "interpreter_crashes", [])])
        kept = KEPT_BY_A_FAILED_IMPORT if INIT in names else ()
        refs, objects = runs[0][2][4:]
        for n, pid, (outcome, _, _, problems, now_refs, now) in runs:
            if (n, pid) in self.interpreter_crashes:
                continue
            self.assertEqual(problems, [], (name, n, outcome))
            self.check_outcome(name, n, outcome, allowed, names)
            self.assertEqual(now_refs, refs, ("reference counts", name, n, outcome))
            grown = {kind: now.get(kind, 0) - objects.get(kind, 0) for kind in set(now) | set(objects)
                     if kind not in kept and now.get(kind, 0) != objects.get(kind, 0)}
            self.assertEqual(grown, {}, (name, n, outcome))
        return runs[0][2][1], sum(report[2] for _, _, report in runs[1:])

    def run_in_process(self, name, setup, target, check, watched, reset, allowed, names):
        code = child_code(IN_PROCESS, setup, target, check, watched, reset)
        result = harness.run_scenario(code, env=harness.without_leak_check())
        self.assertEqual(result.returncode, 0, "%s: %r" % (name, result))
        runs, blocks = json.loads(result.stdout)
        for n, outcome, problems in runs:
            self.assertEqual(problems, [], (name, n, outcome))
            self.check_outcome(name, n, outcome, allowed, names)
        self.assertLess(blocks, 10, (name, runs[-3:]))
        return len(runs) - 1, len(runs) - 1

    def test_every_allocation_failed_in_turn(self):
        report = []
        for name, fresh, setup, target, check, watched, reset, allowed, names in SCENARIOS:
            if ONLY not in name:
                continue
            with self.subTest(name):
                if fresh:
                    total, failed = self.run_fresh(name, setup, target, check, watched, allowed, names)
                else:
                    total, failed = self.run_in_process(name, setup, target, check, watched, reset, allowed,
                                                        names)
                report.append("%s: %d allocations, %d failed" % (name, total, failed))
                if getattr(self, "interpreter_crashes", None):
                    report[-1] += " (the interpreter crashed after %r)" % [n for n, _ in self.interpreter_crashes]
                    self.interpreter_crashes = []
        print("\n" + "\n".join(report), file=sys.stderr)


if __name__ == "__main__":
    unittest.main()
