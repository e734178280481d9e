"""A first look at corvessa.util.queue: a compiled last-in, first-out queue.Queue.

Run it with `make demo` (which builds the extension first).
"""
import sys
import threading
import traceback

import corvessa.util.queue as cq
from corvessa.util.queue import LifoQueue


def show_startup():
    print("module:", cq.__name__, "from", cq.__file__)
    print("LifoQueue is a subclass of", LifoQueue.__mro__[1].__module__ + "." + LifoQueue.__mro__[1].__name__)
    for name in ("_init", "_qsize", "_put", "_get"):
        hook = LifoQueue.__dict__[name]
        print("  %-7s %s  (%s, line %d)" % (name, hook, type(hook).__name__, hook.__code__.co_firstlineno))


def show_lifo_order():
    q = LifoQueue()
    for item in ("first", "second", "third"):
        q.put(item)
    print("put first, second, third; get gives:", [q.get() for _ in range(3)])


def producers_and_consumers(producers=4, consumers=4, per_producer=2500):
    q = LifoQueue(maxsize=64)
    taken = []
    lock = threading.Lock()

    def produce(base):
        for i in range(per_producer):
            q.put(base + i)

    def consume():
        while True:
            item = q.get()
            if item is None:
                q.task_done()
                return
            with lock:
                taken.append(item)
            q.task_done()

    workers = [threading.Thread(target=consume) for _ in range(consumers)]
    workers += [threading.Thread(target=produce, args=(p * per_producer,)) for p in range(producers)]
    for w in workers:
        w.start()
    for w in workers[consumers:]:
        w.join()
    q.join()  # every item put so far has been taken and marked done
    for _ in range(consumers):
        q.put(None)
    for w in workers[:consumers]:
        w.join()
    expected = producers * per_producer
    print("%d producers and %d consumers moved %d items; each exactly once: %s"
          % (producers, consumers, len(taken), sorted(taken) == list(range(expected))))


def show_failure():
    q = LifoQueue()
    print("calling the _get hook on an empty queue; the traceback names the module's source lines:")
    try:
        q._get()
    except IndexError:
        traceback.print_exc(file=sys.stdout)


if __name__ == "__main__":
    show_startup()
    show_lifo_order()
    producers_and_consumers()
    show_failure()
