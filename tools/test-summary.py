"""Summarises a CTest run of several interpreter versions (tools/run-tests.sh).

Reads BUILD/Testing/Temporary/LastTest.log, where CTest keeps every test's output, and
prints one line per version: test programs passed, the cases they ran (unittest's and
GoogleTest's own counts), and how many were skipped, followed by each skip reason with
the tests it skipped. Ends with CTest's own total line, taken from BUILD/ctest.out, and
the versions this machine could not test (TARN_MISSING_VERSIONS) with the command that
brings them.

Usage: python test-summary.py BUILD
"""
import collections
import os
import re
import sys

TEST = re.compile(r'^\d+/\d+ Test: (?P<version>[^:]+):(?P<name>.+)$')
RAN = re.compile(r'^Ran (\d+) tests? in ')
UNITTEST_END = re.compile(r'^(OK|FAILED|NO TESTS RAN)(?: \((.*)\))?$')
SKIP = re.compile(r'^(\S+) \(([^)]*)\) \.\.\. skipped (["\'])(.*)\3$')
GTEST_RAN = re.compile(r'^\[==========\] (\d+) tests? from .* ran\.')
GTEST_SKIPPED = re.compile(r'^\[  SKIPPED \] (\d+) tests?, listed below:')
GTEST_SKIP_REASON = re.compile(r'^.*: Skipped$')


def parse(log):
    """{version: [(name, passed, cases, skipped, {reason: [case]})]} in run order."""
    versions = collections.OrderedDict()
    with open(log, errors="replace") as f:
        lines = f.read().splitlines()
    i = 0
    while i < len(lines):
        m = TEST.match(lines[i])
        if not m:
            i += 1
            continue
        version, name = m.group("version"), m.group("name")
        out, i = [], i + 1
        while i < len(lines) and lines[i] != "<end of output>":
            out.append(lines[i])
            i += 1
        while i < len(lines) and lines[i] not in ("Test Passed.", "Test Failed.") and not TEST.match(lines[i]):
            i += 1
        passed = i < len(lines) and lines[i] == "Test Passed."
        cases, skipped, reasons = 0, 0, collections.OrderedDict()
        for j, line in enumerate(out):
            if RAN.match(line):
                cases += int(RAN.match(line).group(1))
            elif UNITTEST_END.match(line) and UNITTEST_END.match(line).group(2):
                for part in UNITTEST_END.match(line).group(2).split(", "):
                    key, _, count = part.partition("=")
                    if key == "skipped":
                        skipped += int(count)
            elif SKIP.match(line):
                s = SKIP.match(line)
                reasons.setdefault(s.group(4), []).append("%s %s" % (name, s.group(1)))
            elif GTEST_RAN.match(line):
                cases += int(GTEST_RAN.match(line).group(1))
            elif GTEST_SKIPPED.match(line):
                skipped += int(GTEST_SKIPPED.match(line).group(1))
            elif GTEST_SKIP_REASON.match(line) and j + 1 < len(out):
                reasons.setdefault(out[j + 1].strip(), []).append(name)
        versions.setdefault(version, []).append((name, passed, cases, skipped, reasons))
    return versions


def version_key(item):
    """3.8 before 3.10, 3.14 before its debug build, 3.14d, and this CPU's before another's,
    3.14-aarch64."""
    major, minor, debug, cpu = re.match(r"(\d+)\.(\d+)(d?)(?:-(.*))?$", item[0]).groups()
    return cpu or "", int(major), int(minor), debug


def ctest_total(path):
    try:
        with open(path, errors="replace") as f:
            totals = [line.strip() for line in f if re.match(r"^\d+% tests passed", line)]
    except OSError:
        return None
    return totals[-1] if totals else None


def main():
    build = sys.argv[1]
    versions = parse(os.path.join(build, "Testing", "Temporary", "LastTest.log"))
    lines = []
    for version, tests in sorted(versions.items(), key=version_key):
        reasons = collections.OrderedDict()
        for name, _, _, _, r in tests:
            for reason, where in r.items():
                reasons.setdefault(reason, collections.Counter())[name] += len(where)
        for reason, programs in reasons.items():
            lines.append("  %s: %s (%s)" % (version, reason, ", ".join(
                "%s: %d" % (name, count) for name, count in programs.items())))
    summary = []
    for version, tests in sorted(versions.items(), key=version_key):
        passed = sum(1 for t in tests if t[1])
        cases = sum(t[2] for t in tests)
        skipped = sum(t[3] for t in tests)
        failed = [t[0] for t in tests if not t[1]]
        text = "CPython %s: %d of %d test programs passed, %d cases run, %d skipped" % (
            version, passed, len(tests), cases, skipped)
        if failed:
            text += "; FAILED: " + ", ".join(failed)
        summary.append(text)
    print()
    if lines:
        print("Skipped, with reasons:")
        print("\n".join(lines))
    print("\n".join(summary))
    total = ctest_total(os.path.join(build, "ctest.out"))
    if total:
        print(total)
    missing = os.environ.get("TARN_MISSING_VERSIONS", "").split()
    if missing:
        print("Not tested on this machine: CPython %s; the Debian root brings them: make sid-root"
              % ", ".join(missing))


main()
