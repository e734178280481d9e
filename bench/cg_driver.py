"""Runs one workload loop for one competitor, for use under callgrind.

Usage: python3.X bench/cg_driver.py WORKLOAD COMPETITOR ITERATIONS
       python3.X bench/cg_driver.py --addresses
COMPETITOR "empty" runs the empty loop of the same shape (with ours' setup). Each
iteration runs suite.UNROLL copies of the workload's statement. A short warm-up run comes
first, so first-call work (caches being filled) falls into the fixed part of the count.
--addresses prints the address of each interpreter function that marks a part of a hook
pair (deque_append and deque_pop, and the vectorcall functions of bound built-ins),
"name hex" per line, and calls each: callgrind names a function of a stripped interpreter
by its address, the same in every run.
"""
import collections
import ctypes
import gc
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import suite  # noqa: E402


def addresses():
    pointer = ctypes.sizeof(ctypes.c_void_p)
    head = object.__basicsize__

    def at(address):
        return ctypes.c_void_p.from_address(address).value

    def c_function(descriptor):  # ml_meth of the method definition after the descriptor's common part
        return at(at(id(descriptor) + head + 3 * pointer) + pointer)

    def vectorcall(bound):  # after the method definition, self, module and the weak reference list
        return at(id(bound) + head + 4 * pointer)

    d = collections.deque()
    marks = {"deque_append": c_function(collections.deque.append), "deque_pop": c_function(collections.deque.pop),
             "cfunction_vectorcall_O": vectorcall(d.append), "cfunction_vectorcall_NOARGS": vectorcall(d.pop)}
    for name, address in marks.items():
        print(name, "%x" % address)
    for _ in range(100):
        d.append(None)
        d.pop()


def main():
    if sys.argv[1:] == ["--addresses"]:
        return addresses()
    key, competitor, iterations = sys.argv[1], sys.argv[2], int(sys.argv[3])
    workload = suite.BY_KEY[key]
    empty = competitor == "empty"
    loop, _ = suite.timed_loop(workload, "ours" if empty else competitor, empty=empty)
    gc.collect()
    gc.disable()
    loop(50)
    loop(iterations)


if __name__ == "__main__":
    main()
