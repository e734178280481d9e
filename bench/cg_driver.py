"""Runs one workload loop for one competitor, for use under callgrind.

Usage: python3.X bench/cg_driver.py WORKLOAD COMPETITOR ITERATIONS
COMPETITOR "empty" runs the empty loop of the same shape (with ours' setup). Each
iteration runs suite.UNROLL copies of the workload's statement. A short warm-up run comes
first, so first-call work (caches being filled) falls into the fixed part of the count.
"""
import gc
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import suite  # noqa: E402


def main():
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
