"""Reads the Memcheck logs of make check-valgrind: counts the errors of every process,
prints each error whose stack passes through the module, and fails on any error at all
(the interpreter's own noise belongs in valgrind-python.supp)."""
import glob
import os
import re
import sys

MODULE = re.compile(r"queue\.cpython-\d+[^ ]*\.so|tarn::|/src/(module|runtime|function|lifoqueue)/")


def errors_of(path):
    """The error records of one log: lists of lines, the message first."""
    records, current = [], None
    for line in open(path, errors="replace"):
        body = re.sub(r"^==\d+== ?", "", line.rstrip("\n"))
        if current is None:
            if re.match(r"(Invalid|Conditional|Use of uninitialised|Syscall param|Mismatched|"
                        r"Source and destination|Argument|.*free\(\)|Jump to)", body):
                current = [body]
        elif body.strip():
            current.append(body)
        else:
            records.append(current)
            current = None
    if current:
        records.append(current)
    return records


def main(logdir):
    total, through_module, processes = 0, [], 0
    for path in sorted(glob.glob(os.path.join(logdir, "memcheck.*.log"))):
        text = open(path, errors="replace").read()
        summary = re.search(r"ERROR SUMMARY: (\d+) errors", text)
        if summary is None:
            continue  # a process that valgrind did not follow to its end (exec'd away)
        processes += 1
        count = int(summary.group(1))
        total += count
        for record in errors_of(path):
            if any(MODULE.search(line) for line in record):
                through_module.append((path, record))
        if count:
            print("%s: %d error(s)" % (os.path.basename(path), count))
    for path, record in through_module:
        print("=== through the module, %s" % path)
        print("\n".join(record))
    print("memcheck: %d processes, %d errors, %d through the module" % (processes, total, len(through_module)))
    return 1 if total else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
