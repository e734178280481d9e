"""Helpers the bench scripts share: statistics, the machine's description, Markdown tables,
the targets table, and writing a generated results file of the running interpreter's
version into its place in bench/README.md."""
import os
import platform
import statistics
import subprocess
import sys
import sysconfig
import time

HERE = os.path.dirname(os.path.abspath(__file__))
README = os.path.join(HERE, "README.md")
# The tree whose corvessa package is ours: the checkout, or one that BENCH_OURS names, such
# as make check-abi3's build-abi3/pkg with the one binary of the stable ABI, which the
# import takes where no build of the version's own suffix stands beside it.
OURS_ROOT = os.environ.get("BENCH_OURS") or os.path.dirname(HERE)
_OURS = os.path.join(OURS_ROOT, "corvessa", "util")
STABLE_ABI = os.path.isfile(os.path.join(_OURS, "queue.abi3.so")) and not os.path.isfile(
    os.path.join(_OURS, "queue" + sysconfig.get_config_var("EXT_SUFFIX")))
# Beside the stable ABI's binary, the version build of the checkout, when there is one.
FAST_BESIDE = STABLE_ABI and os.path.isfile(
    os.path.join(os.path.dirname(HERE), "corvessa", "util", "queue" + sysconfig.get_config_var("EXT_SUFFIX")))
# The version measured, marked for the stable ABI's binary: results-instructions-3.12-abi3.md.
VERSION = "%d.%d" % sys.version_info[:2] + ("-abi3" if STABLE_ABI else "")


def summary(values):
    """(median, min, max) of a non-empty list."""
    return statistics.median(values), min(values), max(values)


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def git_revision():
    """The commit measured; inside the Debian root, which has no git, what make found
    (BENCH_SOURCE)."""
    if os.environ.get("BENCH_SOURCE"):
        return os.environ["BENCH_SOURCE"]
    try:
        rev = subprocess.run(["git", "-C", HERE, "rev-parse", "--short", "HEAD"], capture_output=True,
                             text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", HERE, "status", "--porcelain", "--untracked-files=no", "--", "../src"],
                               capture_output=True, text=True, check=True).stdout.strip()
        return rev + (" (src/ modified)" if dirty else "")
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def machine_lines():
    return [
        "- machine: %d cores (`nproc`), %s, %s" % (os.cpu_count() or 0, cpu_model(), platform.platform()),
        "- interpreter: CPython %s (%s)" % (sys.version.split()[0], sys.executable),
        "- source: commit %s; run at %s" % (git_revision(), time.strftime("%Y-%m-%d %H:%M:%S %Z")),
    ]


def table(header, rows):
    out = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    out += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return out


def targets_table(targets, ratio):
    """The targets as a table. ratio(workload, other) gives (the ratio ours/other judged, its
    cell), or None for a workload the script does not measure (its targets are left out)."""
    rows = []
    for key, other, limit, strict, text, kind in targets:
        measured = ratio(key, other)
        if measured is None:
            continue
        value, cell = measured
        met = value < limit if strict else value <= limit
        rows.append([text, kind, cell, ("< %g" if strict else "≤ %g") % limit, "met" if met else "MISSED"])
    return table(["target", "kind", "ours/other", "limit", "result"], rows)


def write_results(kind, lines):
    """Writes bench/results-<kind>-<version>.md and copies it into bench/README.md between
    that file's markers."""
    filename = "results-%s-%s.md" % (kind, VERSION)
    text = "\n".join(lines).rstrip("\n") + "\n"
    with open(os.path.join(HERE, filename), "w") as f:
        f.write(text)
    begin = "<!-- begin %s (generated; do not edit) -->" % filename
    end = "<!-- end %s -->" % filename
    with open(README) as f:
        readme = f.read()
    i, j = readme.find(begin), readme.find(end)
    if i < 0 or j < i:
        sys.exit("bench/README.md has no place for %s (its lines %r and %r); wrote the file only"
                 % (filename, begin, end))
    readme = readme[:i + len(begin)] + "\n" + text + readme[j:]
    with open(README, "w") as f:
        f.write(readme)


def ratio_cell(med, lo, hi):
    return "%.2fx (%.2f–%.2f)" % (med, lo, hi)
