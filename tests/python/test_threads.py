"""LifoQueue under threads: producers and consumers moving many items through put, get,
task_done and join, bounded queues, and time-outs."""
import queue
import sys
import threading
import time
import unittest

from corvessa.util.queue import LifoQueue

PRODUCERS = CONSUMERS = 6
ITEMS = 200000


class Token:
    __slots__ = ("n",)

    def __init__(self, n):
        self.n = n


class ManyThreadsTest(unittest.TestCase):
    def run_traffic(self, q, tokens):
        taken = [[] for _ in range(CONSUMERS)]
        errors = []

        def produce(part):
            try:
                for token in part:
                    q.put(token)
            except BaseException as exc:  # pragma: no cover - reported below
                errors.append(exc)

        def consume(out):
            try:
                while True:
                    token = q.get()
                    if token is None:
                        q.task_done()
                        return
                    out.append(token)
                    q.task_done()
            except BaseException as exc:  # pragma: no cover
                errors.append(exc)

        consumers = [threading.Thread(target=consume, args=(out,)) for out in taken]
        producers = [threading.Thread(target=produce, args=(tokens[i::PRODUCERS],))
                     for i in range(PRODUCERS)]
        for t in consumers + producers:
            t.start()
        for t in producers:
            t.join()
        q.join()  # every item taken and marked done
        self.assertEqual(q.qsize(), 0)
        for _ in consumers:
            q.put(None)
        for t in consumers:
            t.join(30)
            self.assertFalse(t.is_alive())
        self.assertEqual(errors, [])
        return taken

    def check_traffic(self, q, items=ITEMS):
        tokens = [Token(n) for n in range(items)]
        base = {sys.getrefcount(token) for token in tokens}
        old_interval = sys.getswitchinterval()
        sys.setswitchinterval(1e-3)  # switch threads often, inside put and get
        try:
            taken = self.run_traffic(q, tokens)
        finally:
            sys.setswitchinterval(old_interval)
        got = sorted(token.n for out in taken for token in out)
        self.assertEqual(got, list(range(items)))  # nothing lost, nothing twice
        self.assertTrue(all(out for out in taken), [len(out) for out in taken])
        del taken
        self.assertEqual(len(q.queue), 0)
        self.assertEqual({sys.getrefcount(token) for token in tokens}, base)

    def test_unbounded(self):
        self.check_traffic(LifoQueue())

    def test_bounded(self):
        self.check_traffic(LifoQueue(maxsize=8), ITEMS // 4)

    def test_list_storage(self):
        q = LifoQueue()
        q.queue = []  # the in-place list paths, under the same traffic
        self.check_traffic(q, ITEMS // 4)


class BlockingTest(unittest.TestCase):
    def test_get_timeout_and_wakeup(self):
        q = LifoQueue()
        start = time.monotonic()
        with self.assertRaises(queue.Empty):
            q.get(timeout=0.05)
        self.assertGreaterEqual(time.monotonic() - start, 0.04)
        timer = threading.Timer(0.05, q.put, args=("late",))
        timer.start()
        self.assertEqual(q.get(timeout=10), "late")
        timer.join()

    def test_put_blocks_while_full(self):
        q = LifoQueue(maxsize=2)
        q.put(1)
        q.put(2)
        with self.assertRaises(queue.Full):
            q.put(3, timeout=0.05)
        with self.assertRaises(queue.Full):
            q.put_nowait(3)
        self.assertEqual(list(q.queue), [1, 2])
        done = threading.Event()

        def put_late():
            q.put(3)  # blocks until a get makes room
            done.set()
        t = threading.Thread(target=put_late)
        t.start()
        self.assertFalse(done.wait(0.05))
        self.assertEqual(q.get(), 2)
        t.join(10)
        self.assertTrue(done.is_set())
        self.assertEqual([q.get(), q.get()], [3, 1])
        with self.assertRaises(queue.Empty):
            q.get_nowait()


if __name__ == "__main__":
    unittest.main()
