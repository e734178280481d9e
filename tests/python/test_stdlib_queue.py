"""CPython's own queue tests (Lib/test/test_queue.py) run against corvessa's LifoQueue:
the LIFO tests with LifoQueue taken from corvessa, and the failing-queue tests with a
FailingQueue derived from it."""
import sys
import types
import unittest

from corvessa.util.queue import LifoQueue
from test import test_queue

# The queue module LifoQueue's base class comes from: its Full and Empty are the ones
# raised.
BASE_MODULE = sys.modules[LifoQueue.__bases__[0].__module__]


def queue_module_with(**overrides):
    view = types.ModuleType("queue")
    view.__dict__.update(vars(BASE_MODULE))
    view.__dict__.update(overrides)
    return view


class CorvessaLifoQueueTest(test_queue.LifoQueueTest, unittest.TestCase):
    queue = queue_module_with(LifoQueue=LifoQueue)

    def test_runs_on_corvessa(self):
        self.assertIs(self.type2test, LifoQueue)
        self.assertEqual(self.type2test.__module__, "corvessa.util.queue")
        self.assertIs(self.queue.Full, BASE_MODULE.Full)


class CorvessaFailingQueueTest(test_queue.FailingQueueTest, unittest.TestCase):
    # FailingQueue derives from self.queue.Queue and calls Queue._put / Queue._get
    queue = queue_module_with(Queue=LifoQueue)

    def test_runs_on_corvessa(self):
        self.assertEqual(self.FailingQueue.__mro__[1:3], (LifoQueue, BASE_MODULE.Queue))
        q = self.FailingQueue(3)
        for i in (1, 2, 3):
            q.put(i)
        self.assertEqual([q.get() for _ in range(3)], [3, 2, 1])


if __name__ == "__main__":
    unittest.main()
