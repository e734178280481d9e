"""Side-by-side wall-clock benchmark: ours against the Python twin, the standard library's
queue.LifoQueue and a bare deque, in interleaved rounds.

Usage: python3.X bench/bench_time.py     (make bench PYTHON=python3.X; make bench runs it on
       every version built). Writes bench/results-time-3.X.md and its section of bench/README.md.
Environment: BENCH_ROUNDS (default 11, at least 7), BENCH_MS (milliseconds per timed run,
default 15), BENCH_REPEAT (timed runs per measurement, the fastest counts; default 3).

Each round runs every workload for every competitor in turn (ours, twin, stdlib, floor).
A measurement is the fastest of BENCH_REPEAT runs of the unrolled loop minus the fastest of
as many runs of the empty loop of the same shape, made right beside it in the same round.
Ratios ours/other are taken round by round; their median, min and max are reported.
"""
import gc
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import report  # noqa: E402
import suite  # noqa: E402

ROUNDS = max(7, int(os.environ.get("BENCH_ROUNDS", "11")))
RUN_MS = float(os.environ.get("BENCH_MS", "15"))
REPEAT = max(1, int(os.environ.get("BENCH_REPEAT", "3")))

class Case:
    def __init__(self, workload, competitor):
        self.workload, self.competitor = workload, competitor
        if workload is suite.THREADED:
            return
        self.body, _ = suite.timed_loop(workload, competitor)
        self.empty, _ = suite.timed_loop(workload, competitor, empty=True)
        self.body(100)  # warm the caches the first calls fill
        n = 200
        while True:
            elapsed = self.body(n)
            if elapsed >= RUN_MS * 1e6 / 4 or n >= 1 << 24:
                break
            n *= 4
        self.n = max(100, int(n * RUN_MS * 1e6 / max(elapsed, 1)))

    def measure(self):
        """ns per operation."""
        if self.workload is suite.THREADED:
            return suite.run_threaded(suite.CLASSES[self.competitor])
        body = empty = None
        for _ in range(REPEAT):
            e = self.empty(self.n)
            b = self.body(self.n)
            empty = e if empty is None else min(empty, e)
            body = b if body is None else min(body, b)
        return (body - empty) / (self.n * suite.UNROLL)


def main():
    suite.check_competitors()
    gc.collect()
    gc.disable()
    cases = [Case(w, c) for w in suite.ALL_WORKLOADS for c in suite.COMPETITORS if w.applies(c)]
    times = {(c.workload.key, c.competitor): [] for c in cases}
    for r in range(ROUNDS):
        for case in cases:
            times[(case.workload.key, case.competitor)].append(case.measure())
        gc.collect()
        print("round %d/%d done" % (r + 1, ROUNDS), file=sys.stderr, flush=True)

    def ratios(key, other):
        ours, theirs = times[(key, "ours")], times[(key, other)]
        return [a / b for a, b in zip(ours, theirs)]

    def ratio(key, other):
        """The median of the per-round ratios ours/other (what the targets judge) and its cell."""
        med, lo, hi = report.summary(ratios(key, other))
        return med, report.ratio_cell(med, lo, hi)

    lines = ["#### Wall-clock time per operation, CPython %s" % report.VERSION, ""]
    lines += report.machine_lines()
    lines += ["- method: %d interleaved rounds; per measurement the fastest of %d runs of ~%g ms, minus the "
              "fastest of %d runs of the empty loop of the same shape; loops unrolled %d times; gc disabled"
              % (ROUNDS, REPEAT, RUN_MS, REPEAT, suite.UNROLL), ""]
    header = ["workload", "competitor", "ns/op median", "min", "max", "ours/this: median (min–max)"]
    rows = []
    for w in suite.ALL_WORKLOADS:
        for c in suite.COMPETITORS:
            if not w.applies(c):
                rows.append([w.title if c == "ours" else "", c, "n/a", "", "", ""])
                continue
            med, lo, hi = report.summary(times[(w.key, c)])
            rel = "" if c == "ours" else ratio(w.key, c)[1]
            rows.append([w.title if c == "ours" else "", c, "%.1f" % med, "%.1f" % lo, "%.1f" % hi, rel])
    lines += report.table(header, rows)
    lines += ["", "Targets (median of the per-round ratios ours/other):", ""]
    lines += report.targets_table(suite.TARGETS, ratio)
    print("\n".join(lines))
    report.write_results("time", lines)


if __name__ == "__main__":
    main()
