"""Instructions per operation under callgrind: workloads 1, 2, 3, 5 and 6 for every competitor.

Usage: python3.X bench/bench_instructions.py     (make bench-instructions PYTHON=python3.X;
       make bench-instructions runs it on every version built)
       python3.X bench/bench_instructions.py WORKLOAD:COMPETITOR ...
The first form writes bench/results-instructions-3.X.md and its section of bench/README.md.
The second measures only the cases named (for example hooks:ours hooks:floor), prints each
one's per-function breakdown and writes no results file.
Environment: BENCH_CG_ITERATIONS (loop iterations N, default 1000; each iteration runs
suite.UNROLL operations), BENCH_CG_JOBS (parallel callgrind runs, default 2),
BENCH_CG_TOP (functions listed per breakdown besides the module's own, default 15).

Method: every (competitor, workload) runs as its own process, bench/cg_driver.py, under
valgrind --tool=callgrind, once with N and once with 2N loop iterations; the difference of
the two whole-process totals is what N iterations cost, with start-up, imports, setup and
warm-up cancelled out. The empty loop of the same shape is measured the same way and
subtracted, and the rest is divided by N * UNROLL. The same difference taken function by
function (callgrind_annotate, self cost) shows where the instructions of one operation go,
and runs with --collect-atstart=no --toggle-collect=FUNCTION count only what runs inside
the functions that mark the parts of a hook pair and of qsize() (their inclusive cost). A
part whose marker functions do not all run in the loop on this interpreter (inlined, or
called past by the interpreter itself) is not counted apart; its table says so. Where the
interpreter is stripped (Debian's), callgrind names its functions by address: a first run
of `cg_driver.py --addresses` finds the marker functions' addresses, and they stand for
the names in the toggles and the tables.
"""
import collections
import concurrent.futures
import fnmatch
import itertools
import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import report  # noqa: E402
import suite  # noqa: E402

N = int(os.environ.get("BENCH_CG_ITERATIONS", "1000"))
JOBS = int(os.environ.get("BENCH_CG_JOBS", "2"))
TOP = int(os.environ.get("BENCH_CG_TOP", "15"))
KEYS = ("hooks", "qsize", "hook_qsize", "cycle", "list", "set", "kw_qsize", "kw_put")
DRIVER = os.path.join(report.HERE, "cg_driver.py")
EMPTY = ("hooks", "empty")
# Cases whose per-function breakdown goes into the results.
PROFILED = [("hooks", "ours"), ("hooks", "twin"), ("hooks", "floor"), ("qsize", "ours"), ("list", "ours")]

# Beside the stable ABI's binary, the version build of the checkout ("fast", the fast roads),
# counted in processes of its own, which import it instead (one process cannot import both).
FAST = "fast"
COMPETITORS = suite.COMPETITORS[:1] + ((FAST,) if report.FAST_BESIDE else ()) + suite.OTHERS


def applies(workload, competitor):
    return workload.applies("ours" if competitor == FAST else competitor)


_RUN_IDS = itertools.count()
# callgrind's name of an interpreter function that has no symbol -> the function's own name
# (set by resolve_markers before any case runs).
RENAMED, RENAMED_BACK = {}, {}
_LINE = re.compile(r"^\s*([\d,]+)\s+(?:\([^)]*\)\s+)?(\S.*?)\s*$")


def function_name(what):
    """'/path/file.c:ns::func(args)'2 [/lib/libx.so]' -> 'ns::func'. Entries of one function
    that callgrind_annotate lists per source file (code inlined from headers) are merged."""
    what = re.sub(r"\s+\[[^\[\]]*\]$", "", what)
    if not what.startswith("0x") and ":" in what:
        what = what.split(":", 1)[1]  # drop the source file
    what = re.sub(r"'\d+$", "", what)  # recursion depth
    what = re.sub(r"\((?:[^()]|\([^()]*\))*\)$", "", what)  # a C++ parameter list
    return what.replace("(anonymous namespace)::", "")


def annotate(out):
    """(program total, self Ir by function) from a callgrind output file."""
    text = subprocess.run(["callgrind_annotate", "--auto=no", "--threshold=100", "--inclusive=no", out],
                          check=True, capture_output=True, text=True).stdout
    total, functions = None, collections.Counter()
    for line in text.splitlines():
        m = _LINE.match(line)
        if not m:
            continue
        count, what = int(m.group(1).replace(",", "")), m.group(2)
        if what.startswith("PROGRAM TOTALS"):
            total = count
        else:
            name = function_name(what)
            functions[RENAMED.get(name, name)] += count
    if total is None:
        raise RuntimeError("no program totals in " + out)
    return total, functions


def callgrind(tmp, arguments, toggles=()):
    """Runs the driver with arguments under callgrind; returns (total Ir, self Ir by function,
    the driver's output). With toggles (function name patterns), only what runs inside those
    functions is counted. The competitor FAST is ours of the checkout's version build."""
    out = os.path.join(tmp, "cg.%s.%d" % (".".join(arguments).strip("-"), next(_RUN_IDS)))
    env = dict(os.environ, PYTHONHASHSEED="0", PYTHONDONTWRITEBYTECODE="1")
    if FAST in arguments:
        arguments = ["ours" if a == FAST else a for a in arguments]
        env.pop("BENCH_OURS", None)
    options = ["--collect-atstart=no"] + ["--toggle-collect=" + RENAMED_BACK.get(t, t) for t in toggles] if toggles else []
    printed = subprocess.run(["valgrind", "--tool=callgrind", "--dump-instr=no", "--callgrind-out-file=" + out] +
                             options + [sys.executable, DRIVER] + arguments, check=True, env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout
    total, functions = annotate(out)
    os.unlink(out)
    return total, functions, printed


def resolve_markers(tmp):
    """Names the interpreter's marker functions as callgrind does: by their own names where the
    interpreter has its symbols, by the name of the compiler's copy where it has those
    (deque_append.lto_priv.0), else by address (fills RENAMED and RENAMED_BACK)."""
    _, functions, printed = callgrind(tmp, ["--addresses"])
    for line in printed.split("\n"):
        if line.strip():
            name, address = line.split()
            if name not in functions:
                copies = sorted(f for f in functions if f.startswith(name + "."))
                RENAMED_BACK[name] = copies[0] if copies else "0x%016x" % int(address, 16)
                RENAMED[RENAMED_BACK[name]] = name


class Case:
    """Per loop iteration: total Ir and self Ir by function; with toggles, only the Ir
    spent inside the functions they name (their inclusive cost)."""

    def __init__(self, tmp, key, competitor, toggles=()):
        t1, s1, _ = callgrind(tmp, [key, competitor, str(N)], toggles)
        t2, s2, _ = callgrind(tmp, [key, competitor, str(2 * N)], toggles)
        self.total = (t2 - t1) / N
        self.own = {name: (s2[name] - s1.get(name, 0)) / N for name in s2}

    @property
    def per_op(self):
        return self.total / suite.UNROLL


# Functions whose inclusive cost marks a part of an operation: (workload, competitor,
# patterns). The patterns of one entry never call each other. CPython 3.8 to 3.15 all have
# them under these names (or at the addresses resolve_markers finds); from 3.11 on the
# interpreter's specialized call of a built-in with one argument calls its C function
# itself, so that cfunction_vectorcall_O does not run for the floor's append (idle_markers
# finds this out, on every version). The hooks' entries are their own vectorcall functions.
ENTRY = ("tarn::put_entry*", "tarn::get_entry*")
QSIZE_ENTRY = ("tarn::qsize_entry*",)
BOUND = ("cfunction_vectorcall_O", "cfunction_vectorcall_NOARGS")
DEQUE = ("deque_append", "deque_pop")
PARTS = [("hooks", "ours", p) for p in (ENTRY, DEQUE)] + \
        [("hooks", "floor", p) for p in (BOUND, DEQUE)] + [("qsize", "ours", QSIZE_ENTRY)]


def idle_markers(case, patterns):
    """The marker functions (patterns) that do not run in every iteration of the loop of case,
    an untoggled run, on this interpreter: inlined into their callers, or called past."""
    ran = [name for name, v in case.own.items() if v >= 1]
    return [p for p in patterns if not fnmatch.filter(ran, p)]


def own_share(case):
    """Self cost per operation of the module's own functions (`tarn::`)."""
    return sum(v for name, v in case.own.items() if name.startswith("tarn::")) / suite.UNROLL


def breakdown(title, case):
    ranked = sorted(((v / suite.UNROLL, name) for name, v in case.own.items()), reverse=True)
    shown = [(v, name) for i, (v, name) in enumerate(ranked) if v >= 0.5 and (i < TOP or name.startswith("tarn::"))]
    rest = sum(v for v, _ in ranked) - sum(v for v, _ in shown)
    total = case.total / suite.UNROLL
    own = own_share(case)
    split = ""
    if own >= 0.5:  # ours: the split of its cost between the module and the interpreter
        split = ("; the module's own functions (`tarn::`) %.0f Ir/op (%.0f%%), the interpreter's (everything else, "
                 "the loop included) %.0f Ir/op (%.0f%%)" % (own, 100 * own / total, total - own,
                                                             100 * (total - own) / total))
    lines = ["", "**%s**: %.0f Ir/op, the loop included%s" % (title, total, split), ""]
    return lines + report.table(["self Ir/op", "function"], [["%.1f" % v, "`%s`" % n] for v, n in shown] +
                                [["%.1f" % rest, "everything else"]])


def part(cases, key, competitor, markers):
    """(Ir per operation inside the marker functions, the markers that do not run): the cost
    is None when a marker does not run, for then the part cannot be counted apart."""
    idle = idle_markers(cases[(key, competitor)], markers)
    return (None if idle else cases[(key, competitor) + markers].per_op), idle


def within(measured, *inner):
    """The inclusive cost of a part; for one not counted apart, that of the parts inside it."""
    return sum(inner) if measured[0] is None else measured[0]


def never_runs(idle):
    return "%s %s not run in this loop on CPython %s" % (" and ".join("`%s`" % p for p in idle),
                                                         "does" if len(idle) == 1 else "do", report.VERSION)


def own_cell(measured, share, row):
    """The cell of a part's own share: share, or why the part is not counted apart."""
    if measured[0] is None:
        return "not counted apart: %s (its share is in row %d)" % (never_runs(measured[1]), row)
    return "%.0f" % share


def hook_pair_budget(cases, loop):
    """Splits one hook pair of ours and one append/pop pair of the floor into its parts. A part
    not counted apart leaves its share in the row of the part around it."""
    ours, floor = cases[("hooks", "ours")].per_op, cases[("hooks", "floor")].per_op
    entry, deque_ours = (part(cases, "hooks", "ours", p) for p in (ENTRY, DEQUE))
    bound, deque_floor = (part(cases, "hooks", "floor", p) for p in (BOUND, DEQUE))
    deque_ours_in, deque_floor_in = map(within, (deque_ours, deque_floor))
    own = own_share(cases[("hooks", "ours")])
    entry_in = within(entry, own, deque_ours_in)
    bound_in = within(bound, deque_floor_in)
    rows = [
        ["the loop itself (the empty loop)", "%.0f" % loop, "%.0f" % loop],
        ["the interpreter calling the two callables (loading the method or the local, the call instruction, "
         "the result check)", "%.0f" % (ours - loop - entry_in), "%.0f" % (floor - loop - bound_in)],
        ["the module's own code from its call entry on: entry, binders, bodies, caches, call helpers",
         own_cell(entry, own, 2), ""],
        ["the interpreter's functions the module calls but the deque's (dictionary lookups, the recursion guard, "
         "...); floor: calling its bound built-ins", own_cell(entry, entry_in - own - deque_ours_in, 2),
         own_cell(bound, bound_in - deque_floor_in, 2)],
        ["`deque_append` and `deque_pop` themselves", own_cell(deque_ours, deque_ours_in, 4),
         own_cell(deque_floor, deque_floor_in, 4)],
        ["total", "%.0f" % ours, "%.0f" % floor],
    ]
    lines = report.table(["part of one pair", "ours Ir", "floor Ir"], rows)
    twin = cases[("hooks", "twin")].per_op
    text = ("In instructions (the loop included on both sides), ours/twin at most %g (this version's target) needs a "
            "pair of at most %.0f Ir. " % (suite.HOOKS_LIMIT, suite.HOOKS_LIMIT * twin))
    text += ("Without any of the module's own code (row 3) a pair would still cost %.0f Ir, %.2fx the twin and %.2fx "
             "the floor. " % (ours - own, (ours - own) / twin, (ours - own) / floor))
    text += "The interpreter's part (rows 1 and 2) alone is %.2fx the twin's whole pair." % ((ours - entry_in) / twin)
    return lines + ["", text]


def qsize_budget(cases):
    """Splits q.qsize() into what Queue.qsize does around the hook and the hook itself."""
    ours, twin = cases[("qsize", "ours")].per_op, cases[("qsize", "twin")].per_op
    hook, idle = part(cases, "qsize", "ours", QSIZE_ENTRY)
    if hook is None:
        return ["Not split: %s." % never_runs(idle)]
    around = ours - hook
    rows = [["`Queue.qsize` around the hook: its frame, `with self.mutex`, the call up to the hook's entry; "
             "the loop included (the twin's taken to be the same)", around, around],
            ["the hook `_qsize` from its entry on (ours: inside `qsize_entry`; twin: the rest)",
             hook, twin - around],
            ["total", ours, twin]]
    lines = report.table(["part of one call", "ours Ir", "twin Ir"],
                         [[r[0], "%.0f" % r[1], "%.0f" % r[2]] for r in rows])

    def needs(limit):
        left = limit * twin - around
        return "needs a hook of at most %.0f Ir" % left if left > 0 else "cannot be met by any hook"
    return lines + ["", "With these shares, ours/twin below 1 %s, and ours/twin at most 0.8 %s; a "
                        "hook that cost nothing would give %.2fx." % (needs(1), needs(0.8), around / twin)]


def main():
    suite.check_competitors()
    only = [tuple(a.split(":", 1)) for a in sys.argv[1:]]
    jobs = only or [(k, c) for k in KEYS for c in COMPETITORS if applies(suite.BY_KEY[k], c)]
    jobs.append(EMPTY)
    if not only:
        jobs += [(k, c) + tuple(p) for k, c, p in PARTS]
    with tempfile.TemporaryDirectory(prefix="bench-cg-") as tmp:
        resolve_markers(tmp)
        with concurrent.futures.ThreadPoolExecutor(max_workers=JOBS) as pool:
            futures = {job: pool.submit(Case, tmp, job[0], job[1], job[2:]) for job in jobs}
            cases = {job: f.result() for job, f in futures.items()}
    loop = cases[EMPTY].total / suite.UNROLL
    per_op = {job: case.per_op - loop for job, case in cases.items() if job != EMPTY and len(job) == 2}

    def ratio(key, other):
        """The ratio ours/other (what the targets judge) and its cell; None for a workload not counted."""
        if key not in KEYS:
            return None
        value = per_op[(key, "ours")] / per_op[(key, other)]
        return value, "%.2fx" % value

    lines = ["#### Instructions per operation (callgrind), CPython %s" % report.VERSION, ""]
    lines += report.machine_lines()
    lines += ["- method: whole-process Ir totals of runs with %d and %d loop iterations, differenced; minus the "
              "empty loop (%.1f Ir per iteration) measured the same way; divided by the %d operations of one "
              "iteration; PYTHONHASHSEED=0" % (N, 2 * N, loop * suite.UNROLL, suite.UNROLL), ""]
    if only:
        lines += ["Ir/op less the empty loop: " + ", ".join("%s:%s %.1f" % (j + (v,)) for j, v in per_op.items())]
        for job in only:
            lines += breakdown("%s, %s" % (suite.BY_KEY[job[0]].title, job[1]), cases[job])
        print("\n".join(lines))
        return

    rows = []
    for key in KEYS:
        w = suite.BY_KEY[key]
        for c in COMPETITORS:
            first = w.title if c == "ours" else ""
            if not applies(w, c):
                rows.append([first, c, "n/a", ""])
                continue
            rows.append([first, c, "%.0f" % per_op[(key, c)], "" if c == "ours" else ratio(key, c)[1]])
    lines += report.table(["workload", "competitor", "Ir/op", "ours/this"], rows)
    lines += ["", "Targets (ratios ours/other of the Ir/op above):", ""]
    lines += report.targets_table(suite.TARGETS, ratio)

    lines += ["", "##### One hook pair, part by part", "",
              "Each part is the inclusive cost of the functions that mark it, counted with callgrind's "
              "`--toggle-collect` (only what runs inside them) and differenced the same way. A part whose marker "
              "functions do not all run on this version is not counted apart; its row says so.", ""]
    lines += hook_pair_budget(cases, loop)
    lines += ["", "##### One `q.qsize()`, part by part", ""]
    lines += qsize_budget(cases)
    lines += ["", "##### Self cost by function", "",
              "Self cost per operation (the difference of the %d- and %d-iteration runs divided by %d; the loop "
              "included, under the interpreter's functions); the %d largest per case and every function of the module "
              "(`tarn::`)."
              % (N, 2 * N, suite.UNROLL, TOP)]
    for key, c in PROFILED:
        lines += breakdown("%s, %s" % (suite.BY_KEY[key].title, c), cases[(key, c)])
    print("\n".join(lines))
    report.write_results("instructions", lines)


if __name__ == "__main__":
    main()
