"""What the side-by-side benchmark compares: the competitors, the workloads and the targets.

Shared by bench_time.py (wall-clock time) and bench_instructions.py / cg_driver.py
(instructions under callgrind), so that both measure exactly the same statements. All four
competitors run in the interpreter that imports this module: ours is the extension built
for that interpreter's version (checked by check_competitors), the others are its own.

Competitors
  ours    corvessa.util.queue.LifoQueue, the compiled module
  twin    corvessa_twin.util.queue.LifoQueue, the module's Python source line for line,
          importing the very same six and queue (checked by check_competitors)
  stdlib  queue.LifoQueue of the standard library (a list with append and pop)
  floor   a bare collections.deque through cached bound methods

Every timed statement runs inside a generated function whose names are all locals, in a
loop unrolled UNROLL times; the same loop with an empty body is the baseline.
"""
import collections
import os
import queue as stdlib_queue
import sys
import sysconfig
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
if HERE not in sys.path:
    sys.path.insert(0, HERE)
from report import OURS_ROOT, STABLE_ABI  # noqa: E402
for _path in (os.path.join(HERE, "twin"), OURS_ROOT):
    if _path not in sys.path:
        sys.path.insert(0, _path)

import corvessa.util.queue as ours_module  # noqa: E402
import corvessa_twin.util.queue as twin_module  # noqa: E402

COMPETITORS = ("ours", "twin", "stdlib", "floor")
OTHERS = COMPETITORS[1:]
UNROLL = 10
ITEM = "item"

CLASSES = {
    "ours": ours_module.LifoQueue,
    "twin": twin_module.LifoQueue,
    "stdlib": stdlib_queue.LifoQueue,
}


def check_competitors():
    """Fails unless the competitors are what they claim to be and share six and queue."""
    suffix = ".abi3.so" if STABLE_ABI else sysconfig.get_config_var("EXT_SUFFIX")
    assert ours_module.__file__.endswith(suffix), ours_module.__file__
    assert os.path.dirname(ours_module.__file__) == os.path.join(OURS_ROOT, "corvessa", "util"), ours_module.__file__
    assert type(ours_module.LifoQueue._put).__name__ == "tarn_function_or_method"
    assert twin_module.__file__.endswith(os.path.join("corvessa_twin", "util", "queue.py"))
    assert twin_module.six is ours_module.six is sys.modules["corvessa.packages.six"]
    assert twin_module.queue is ours_module.queue is stdlib_queue
    assert twin_module.LifoQueue.__bases__ == ours_module.LifoQueue.__bases__ == (stdlib_queue.Queue,)
    for name, cls in CLASSES.items():
        q = cls()
        for i in (1, 2, 3):
            q.put(i)
        got = [q.get() for _ in range(3)]
        assert got == [3, 2, 1], (name, got)


def prefilled_list():
    """An exact list of 5 items with room for 8: append and pop both stay in place."""
    items = []
    for i in range(5):
        items.append(i)
    assert sys.getsizeof(items) - sys.getsizeof([]) == 8 * 8, "expected a capacity of 8"
    return items


# --- setups: each returns the locals of the timed function --------------------------

def _queue(competitor):
    return {"q": CLASSES[competitor](), "x": ITEM}


def _floor(competitor):
    d = collections.deque()
    return {"append": d.append, "pop": d.pop, "x": ITEM}


def _with_list(competitor):
    loc = _queue(competitor)
    loc["q"].queue = prefilled_list()
    return loc


def _with_set(competitor):
    loc = _queue(competitor)
    loc["q"].queue = s = set()
    loc["add"] = s.add
    return loc


def _with_len(competitor):
    loc = _queue(competitor)
    loc["len"] = len
    return loc


def _with_class(competitor):
    loc = _queue(competitor)
    loc["C"] = CLASSES[competitor]
    return loc


class Workload:
    """One timed statement per competitor (None: does not apply)."""

    def __init__(self, key, title, unit, statements, setup, gate=None):
        self.key, self.title, self.unit = key, title, unit
        self.statements = statements
        self.setup = setup
        self.gate = gate  # optional check of the competitor's state after a run

    def applies(self, competitor):
        return self.statements.get(competitor) is not None


PAIR = "q._put(x); q._get()"
WORKLOADS = [
    Workload("hooks", "1. hook pair `q._put(x); q._get()` (floor: `append(x); pop()`)", "pair",
             {"ours": PAIR, "twin": PAIR, "stdlib": PAIR, "floor": "append(x); pop()"},
             lambda c: _floor(c) if c == "floor" else _queue(c)),
    Workload("qsize", "2. `q.qsize()`", "call",
             {c: "q.qsize()" for c in CLASSES}, _queue),
    Workload("hook_qsize", "2b. the hook `q._qsize()`", "call", {c: "q._qsize()" for c in CLASSES}, _queue),
    Workload("cycle", "3. public cycle `q.put_nowait(x); q.get_nowait()`", "pair",
             {c: "q.put_nowait(x); q.get_nowait()" for c in CLASSES}, _queue),
    Workload("list", "5a. hook pair with an exact list of 5 items (capacity 8) as `q.queue`", "pair",
             {c: PAIR for c in CLASSES}, _with_list),
    Workload("set", "5b. `add(x); q._get()` with a set as `q.queue` (`add` is the set's bound `add`)", "pair",
             {c: "add(x); q._get()" for c in CLASSES}, _with_set),
    Workload("kw_qsize", "6a. keyword call `q._qsize(len=len)`", "call",
             {"ours": "q._qsize(len=len)", "twin": "q._qsize(len=len)"}, _with_len),
    Workload("kw_put", "6b. keyword call `C._put(self=q, item=x); q._get()` (C the class)", "pair",
             {c: "C._put(self=q, item=x); q._get()" for c in CLASSES}, _with_class),
]
THREADED = Workload("threads", "4. blocking `put`/`get`, 4 producer and 4 consumer threads, 200,000 items "
                    "(bounded queue, maxsize 1000)", "item", {c: "threads" for c in CLASSES}, None)
_AFTER_CYCLE = [w.key for w in WORKLOADS].index("cycle") + 1
ALL_WORKLOADS = WORKLOADS[:_AFTER_CYCLE] + [THREADED] + WORKLOADS[_AFTER_CYCLE:]
BY_KEY = {w.key: w for w in ALL_WORKLOADS}

# (workload, other competitor, limit, strict, description, kind): met when the ratio
# ours/other is below the limit (strict) or at most the limit. Every version is judged on
# all of them; the stretch targets were set for CPython 3.8. The stable ABI's binary has
# targets of its own: the hook pair at most 0.85x the twin, and neither the 0.8x of qsize()
# nor the stretch targets.
TARGET = "target"
# The hook pair's limit against the twin on this version: what calling a compiled method
# leaves room for (the interpreter's own share of the call grew from 3.10 to 3.11).
HOOKS_LIMIT = 0.85 if STABLE_ABI else 0.45 if sys.version_info < (3, 10) else 0.48 if sys.version_info < (3, 11) \
    else 0.65
STRETCH = "stretch (set for 3.8)"
TARGETS = [
    ("hooks", "twin", 1.0, True, "hook pair below the twin", TARGET),
    ("hooks", "twin", HOOKS_LIMIT, False, "hook pair at most %gx the twin (this version's)" % HOOKS_LIMIT, TARGET),
    ("hook_qsize", "twin", 1.0, True, "the hook `_qsize()` below the twin", TARGET),
    ("qsize", "twin", 1.0, True, "qsize() below the twin", TARGET),
] + ([] if STABLE_ABI else [("qsize", "twin", 0.8, False, "qsize() at most 0.8x the twin", TARGET)]) + [
    ("cycle", "twin", 1.0, True, "public cycle below the twin", TARGET),
    ("cycle", "stdlib", 1.0, True, "public cycle below stdlib", TARGET),
    ("threads", "twin", 1.0, True, "threaded put/get below the twin", TARGET),
    ("threads", "stdlib", 1.0, True, "threaded put/get below stdlib", TARGET),
    ("kw_qsize", "twin", 1.0, True, "keyword `_qsize(len=len)` below the twin", TARGET),
    ("kw_put", "twin", 1.0, True, "keyword `_put(self=, item=)` + `_get()` below the twin", TARGET),
    ("kw_put", "stdlib", 1.0, True, "keyword `_put(self=, item=)` + `_get()` below stdlib", TARGET),
] + ([] if STABLE_ABI else [
    ("kw_qsize", "twin", 0.6, False, "keyword `_qsize(len=len)` at most 0.6x the twin", STRETCH),
    ("kw_put", "twin", 0.6, False, "keyword `_put(self=, item=)` + `_get()` at most 0.6x the twin", STRETCH),
    ("hooks", "twin", 0.45, False, "hook pair at most 0.45x the twin", STRETCH),
    ("hooks", "floor", 2.5, False, "hook pair at most 2.5x the floor", STRETCH),
])


def make_loop(statement, names):
    """Returns make(clock, **locals) -> timed(n): elapsed ns for n iterations of UNROLL
    copies of statement, every name a local (statement None: the empty loop)."""
    body = ["pass"] if statement is None else [statement] * UNROLL
    names = sorted(names)
    lines = ["def make(clock%s):" % "".join(", " + n for n in names),
             "    def timed(n, clock=clock%s):" % "".join(", %s=%s" % (n, n) for n in names),
             "        r = range(n)",
             "        t0 = clock()",
             "        for _ in r:"]
    lines += ["            " + s for s in body]
    lines += ["        return clock() - t0",
              "    return timed"]
    namespace = {}
    exec(compile("\n".join(lines) + "\n", "<bench: %s>" % (statement or "empty loop"), "exec"), namespace)
    return namespace["make"]


def timed_loop(workload, competitor, empty=False):
    """Returns (f, locals) where f(n) times n iterations of the workload's statement."""
    loc = workload.setup(competitor)
    make = make_loop(None if empty else workload.statements[competitor], loc)
    return make(time.perf_counter_ns, **loc), loc


def run_threaded(cls, items=200000, producers=4, consumers=4, maxsize=1000):
    """Moves items through cls(maxsize) with blocking put and get; returns ns per item."""
    q = cls(maxsize)
    start = threading.Barrier(producers + consumers + 1)

    def produce(count):
        put = q.put
        start.wait()
        for i in range(count):
            put(i)

    def consume(count):
        get = q.get
        start.wait()
        for _ in range(count):
            get()

    threads = [threading.Thread(target=produce, args=(items // producers,)) for _ in range(producers)]
    threads += [threading.Thread(target=consume, args=(items // consumers,)) for _ in range(consumers)]
    for t in threads:
        t.start()
    start.wait()
    t0 = time.perf_counter_ns()
    for t in threads:
        t.join()
    elapsed = time.perf_counter_ns() - t0
    assert q.qsize() == 0
    return elapsed / items
