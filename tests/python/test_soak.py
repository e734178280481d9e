"""Thread soak: 8 producers and 8 consumers move TARN_SOAK_ITEMS items (default 200000;
`make soak` moves millions) through one bounded LifoQueue with blocking, timed and
non-blocking put and get, task_done and join, while other threads swap the module global
`collections`, change the classes of the queue and of its deque under the hooks' caches,
read the defaults of `_qsize`, toggle `tarn_runtime.cline_in_traceback` and provoke
failures on the same queue. Every item must come out exactly once."""
import collections
import itertools
import os
import queue
import random
import re
import sys
import threading
import time
import types
import unittest

import harness

import corvessa.util.queue as m
from corvessa.util.queue import LifoQueue

ITEMS = int(os.environ.get("TARN_SOAK_ITEMS", "200000"))
PRODUCERS = CONSUMERS = 8
TB_FILE = harness.TB_FILE
P = "corvessa.util.queue.LifoQueue."
WITH_LINE = re.compile(r"^(\S+) \(build\\corvessa/util\\queue\.\w+:\d+\)$")


module_entries = harness.module_entries


class AltDeque(collections.deque):
    pass


class Storage(collections.deque):
    """The soak queue's deque: without a dictionary, so its methods are called directly
    while they are deque's own, and the chaos below overrides them now and then."""
    __slots__ = ()


class Viewed(LifoQueue):
    """The soak queue's class now and then: `queue` behind a property, over the same deque."""
    queue = property(lambda self: self.__dict__["queue"])


class SoakTest(unittest.TestCase):
    def test_soak(self):
        import tarn_runtime
        q = LifoQueue(maxsize=32)
        q.queue = Storage()
        item_ids, tickets = itertools.count(), itertools.count()
        got = [[] for _ in range(CONSUMERS)]
        errors = []
        stop = threading.Event()
        counts = collections.Counter()

        def guarded(fn):
            def run(*args):
                try:
                    fn(*args)
                except BaseException as e:  # reported by the main thread
                    errors.append("%s in %s: %r" % (type(e).__name__, fn.__name__, e))
                    stop.set()
            return run

        @guarded
        def producer(n):
            rng = random.Random(n)
            while True:
                item = next(item_ids)
                if item >= ITEMS or stop.is_set():
                    return
                mode = rng.random()
                if mode < 0.4:
                    q.put(item)
                elif mode < 0.7:
                    while True:
                        try:
                            q.put(item, timeout=0.001)
                            break
                        except queue.Full:
                            counts["put timed out"] += 1
                else:
                    while True:
                        try:
                            q.put_nowait(item)
                            break
                        except queue.Full:
                            counts["put refused"] += 1
                            time.sleep(0)

        @guarded
        def consumer(n):
            rng, mine = random.Random(100 + n), got[n]
            # a ticket below ITEMS guarantees an item, so a blocking get cannot hang
            while next(tickets) < ITEMS and not stop.is_set():
                mode = rng.random()
                if mode < 0.4:
                    mine.append(q.get())
                elif mode < 0.7:
                    while True:
                        try:
                            mine.append(q.get(timeout=0.001))
                            break
                        except queue.Empty:
                            counts["get timed out"] += 1
                else:
                    while True:
                        try:
                            mine.append(q.get_nowait())
                            break
                        except queue.Empty:
                            counts["get refused"] += 1
                            time.sleep(0)
                q.task_done()

        @guarded
        def swap_collections():
            alt = types.ModuleType("alt_collections")
            alt.deque = AltDeque
            broken = types.ModuleType("broken_collections")
            saved = m.collections
            try:
                while not stop.is_set():
                    m.collections = alt
                    assert type(LifoQueue().queue) is AltDeque
                    m.collections = broken
                    try:
                        LifoQueue()
                    except AttributeError as e:
                        assert str(e) == "module 'broken_collections' has no attribute 'deque'", e
                        assert [(WITH_LINE.sub(r"\1", n), line) for n, line in module_entries(e)] == \
                            [(P + "_init", 12)], module_entries(e)
                    else:
                        raise AssertionError("LifoQueue() with a broken collections")
                    m.collections = saved
                    assert type(LifoQueue().queue) is collections.deque
                    counts["collections swapped"] += 1
                    time.sleep(0.0005)
            finally:
                m.collections = saved

        @guarded
        def swap_types():
            def append(self, x):
                collections.deque.append(self, x)

            def pop(self):
                return collections.deque.pop(self)
            try:
                while not stop.is_set():
                    Storage.append, Storage.pop = append, pop
                    q.__class__ = Viewed
                    time.sleep(0.0003)
                    del Storage.append, Storage.pop
                    q.__class__ = LifoQueue
                    counts["types swapped"] += 1
                    time.sleep(0.0003)
            finally:
                q.__class__ = LifoQueue
                for name in ("append", "pop"):
                    if name in Storage.__dict__:
                        delattr(Storage, name)

        @guarded
        def read_defaults():
            f = LifoQueue._qsize
            while not stop.is_set():
                assert f.__defaults__ == (len,) and f.__kwdefaults__ is None
                assert q.qsize() >= 0 and q.full() in (True, False) and q.empty() in (True, False)
                counts["defaults read"] += 1
                time.sleep(0.0002)

        @guarded
        def toggle_and_fail():
            def refuse(x):
                raise ZeroDivisionError("len refused")
            failing = [(lambda: LifoQueue._get(), TypeError, P + "_get", 20),
                       (lambda: empty._get(), IndexError, P + "_get", 21),
                       (lambda: LifoQueue._put(q), TypeError, P + "_put", 17),   # the queue in use
                       (lambda: q._qsize(refuse), ZeroDivisionError, P + "_qsize", 15)]
            try:
                for flag in itertools.cycle([True, False]):
                    if stop.is_set():
                        return
                    tarn_runtime.cline_in_traceback = flag
                    for call, exc, name, line in failing:
                        try:
                            call()
                        except exc as e:
                            (got_name, got_line), = module_entries(e)
                        else:
                            raise AssertionError("no %s" % exc.__name__)
                        match = WITH_LINE.match(got_name)
                        assert got_line == line and (match.group(1) if flag else got_name) == name, \
                            (flag, got_name, got_line)
                    counts["failures provoked"] += len(failing)
                    time.sleep(0.0005)
            finally:
                tarn_runtime.cline_in_traceback = False

        empty = LifoQueue()  # made before swap_collections can break collections
        workers = [threading.Thread(target=producer, args=(i,)) for i in range(PRODUCERS)]
        workers += [threading.Thread(target=consumer, args=(i,)) for i in range(CONSUMERS)]
        chaos = [threading.Thread(target=f) for f in (swap_collections, swap_types, read_defaults, toggle_and_fail)]
        started = time.monotonic()
        for t in workers + chaos:
            t.daemon = True
            t.start()
        deadline = started + (120 + ITEMS / 2000) * harness.TIME_SCALE
        for t in workers:
            t.join(max(0.0, deadline - time.monotonic()))
        stuck = [t.name for t in workers if t.is_alive()]
        if not stuck:
            joiner = threading.Thread(target=q.join, daemon=True)
            joiner.start()
            joiner.join(max(5.0, deadline - time.monotonic()))
            if joiner.is_alive():
                stuck.append("join")
        stop.set()
        for t in chaos:
            t.join(30)
        elapsed = time.monotonic() - started
        self.assertEqual(errors, [])
        self.assertEqual(stuck, [], "threads still running after %.0f s" % elapsed)
        self.assertEqual([t.name for t in chaos if t.is_alive()], [])
        everything = sorted(itertools.chain.from_iterable(got))
        self.assertEqual(len(everything), ITEMS)
        self.assertEqual(everything, list(range(ITEMS)))  # each item exactly once
        self.assertEqual((q.qsize(), q.unfinished_tasks), (0, 0))
        self.assertIs(m.collections, collections)
        for what in ("collections swapped", "types swapped", "defaults read", "failures provoked"):
            self.assertGreater(counts[what], 0, counts)
        if "-v" in sys.argv or os.environ.get("TARN_SOAK_REPORT"):
            print("\n%d items, %d producers, %d consumers, %.1f s: %s"
                  % (ITEMS, PRODUCERS, CONSUMERS, elapsed, dict(counts)), file=sys.stderr)


if __name__ == "__main__":
    unittest.main()
