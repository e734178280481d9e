"""Side-by-side wall-clock benchmark: ours against the Python twin, the standard library's
queue.LifoQueue and a bare deque, in interleaved rounds.

Usage: python3.8 bench/bench_time.py     (make bench)
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

# (workload, other competitor, limit, description); met when the median ratio ours/other
# is at most the limit (limit 1.0 with strict: faster).
TARGETS = [
    ("hooks", "twin", 0.45, False, "hook pair at most 0.45x the twin"),
    ("hooks", "floor", 2.5, False, "hook pair at most 2.5x the floor"),
    ("qsize", "twin", 0.8, False, "qsize() at most 0.8x the twin"),
    ("cycle", "twin", 1.0, True, "public cycle faster than the twin"),
    ("cycle", "stdlib", 1.0, True, "public cycle faster than stdlib"),
    ("threads", "twin", 1.0, True, "threaded put/get faster than the twin"),
    ("threads", "stdlib", 1.0, True, "threaded put/get faster than stdlib"),
    ("kw_qsize", "twin", 0.6, False, "keyword `_qsize(len=len)` at most 0.6x the twin"),
    ("kw_put", "twin", 0.6, False, "keyword `_put(self=, item=)` + `_get()` at most 0.6x the twin"),
]


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

    lines = ["### Wall-clock time per operation", ""]
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
            rel = "" if c == "ours" else report.ratio_cell(*report.summary(ratios(w.key, c)))
            rows.append([w.title if c == "ours" else "", c, "%.1f" % med, "%.1f" % lo, "%.1f" % hi, rel])
    lines += report.table(header, rows)
    lines += ["", "Targets (median of the per-round ratios ours/other):", ""]
    trows = []
    for key, other, limit, strict, text in TARGETS:
        med, lo, hi = report.summary(ratios(key, other))
        met = med < limit if strict else med <= limit
        trows.append([text, report.ratio_cell(med, lo, hi), ("< %g" if strict else "≤ %g") % limit,
                      "met" if met else "MISSED"])
    lines += report.table(["target", "ours/other", "limit", "result"], trows)
    print("\n".join(lines))
    report.write_results("results-time.md", lines)


if __name__ == "__main__":
    main()
