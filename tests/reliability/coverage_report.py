"""Line and branch coverage of src/ from a gcov-instrumented build: per file the lines run
and the branches taken, then the lines never run and the branches never taken, by line.
A header's figures merge every translation unit that includes it, the C++ tests' own
included: of an inline function of src/ that the module's code and a test both use, the
test binary keeps one copy, the test's, and the module's calls in that binary run it too.

Usage: coverage_report.py ROOT OBJECT_DIR...   (the module's objects, then the tests')"""
import collections
import json
import os
import subprocess
import sys


def gcov_files(object_dir):
    """Yields the (path, file record) of every source file in gcov's JSON for each .gcda."""
    for directory, _, names in os.walk(object_dir):
        for name in sorted(n for n in names if n.endswith(".gcda")):
            out = subprocess.run(["gcov", "--json-format", "--stdout", "--branch-probabilities", name],
                                 cwd=directory, capture_output=True, text=True, check=True).stdout
            for text in out.splitlines():
                if not text.strip():
                    continue
                record = json.loads(text)
                for entry in record["files"]:
                    yield os.path.normpath(os.path.join(record["current_working_directory"], entry["file"])), entry


def merge(root, object_dirs):
    """{relative path: (line counts {line: count}, branch counts {(line, index): count})}."""
    src = os.path.join(root, "src") + os.sep
    files = collections.defaultdict(lambda: (collections.Counter(), collections.Counter()))
    for path, entry in (found for object_dir in object_dirs for found in gcov_files(object_dir)):
        if not path.startswith(src):
            continue
        lines, branches = files[os.path.relpath(path, root)]
        for line in entry["lines"]:
            number = line["line_number"]
            lines[number] += line["count"]
            for index, branch in enumerate(line["branches"]):
                branches[(number, index)] += branch["count"]
    return files


def ranges(numbers):
    """'3, 7-9, 12' for [3, 7, 8, 9, 12]."""
    out, start, prev = [], None, None
    for n in sorted(numbers) + [None]:
        if start is not None and n != prev + 1:
            out.append(str(start) if start == prev else "%d-%d" % (start, prev))
            start = None
        if start is None:
            start = n
        prev = n
    return ", ".join(out)


def percent(done, total):
    return "%6.2f %%" % (100.0 * done / total) if total else "     - "


def main(root, *object_dirs):
    files = merge(root, object_dirs)
    width = max(len(name) for name in files) if files else 10
    print("%-*s %15s %9s %15s %9s" % (width, "file", "lines", "", "branches", ""))
    totals = [0, 0, 0, 0]
    gaps = []
    for name in sorted(files):
        lines, branches = files[name]
        run = sum(1 for c in lines.values() if c)
        taken = sum(1 for c in branches.values() if c)
        totals = [a + b for a, b in zip(totals, (run, len(lines), taken, len(branches)))]
        print("%-*s %7d / %5d %s %7d / %5d %s" % (width, name, run, len(lines), percent(run, len(lines)),
                                                 taken, len(branches), percent(taken, len(branches))))
        never_run = [n for n, c in lines.items() if not c]
        per_line = collections.defaultdict(list)
        for (number, index), count in branches.items():
            per_line[number].append(count)
        never_taken = ["%d (%d of %d)" % (n, sum(1 for c in counts if not c), len(counts))
                       for n, counts in sorted(per_line.items()) if not all(counts)]
        if never_run or never_taken:
            gaps.append((name, never_run, never_taken))
    print("%-*s %7d / %5d %s %7d / %5d %s" % (width, "total", totals[0], totals[1], percent(totals[0], totals[1]),
                                             totals[2], totals[3], percent(totals[2], totals[3])))
    for name, never_run, never_taken in gaps:
        print("\n%s" % name)
        if never_run:
            print("  lines never run: %s" % ranges(never_run))
        if never_taken:
            print("  branches never taken, by line (untaken of all): %s" % ", ".join(never_taken))


if __name__ == "__main__":
    main(*sys.argv[1:])
