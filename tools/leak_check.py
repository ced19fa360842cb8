"""Fails when a LeakSanitizer report in the given directory holds an allocation of the module's own.

The interpreter is not built for the sanitizer and keeps some objects alive at exit (numpy's
imports do, too); those leaks are not ours to fix. An allocation is ours when its stack passes
through our code, which is built with frame pointers and symbols.
"""

import glob
import os
import re
import sys

OURS = re.compile(r" in tarnwick::|/src/(?:lib|python)/|_logger\.cpython")
LEAK = re.compile(r"^(?:Direct|Indirect) leak of .*?(?=^\S|\Z)", re.M | re.S)


def main(directory):
    reports = sorted(glob.glob(os.path.join(directory, "*")))
    ours, others = [], 0
    for path in reports:
        with open(path, errors="replace") as f:
            text = f.read()
        for leak in LEAK.findall(text):
            if OURS.search(leak):
                ours.append(leak)
            else:
                others += 1
    print(f"leak check: {len(reports)} reports, {len(ours)} leaks of ours, {others} of the interpreter's")
    for leak in ours:
        print(leak)
    return 1 if ours else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
