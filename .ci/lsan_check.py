"""Fail on LeakSanitizer reports that involve drisk's own code.

The interpreter leaves objects alive at exit by design, so LeakSanitizer
always reports some allocations made by CPython alone. Those are not ours and
are ignored: a report counts only when one of its stack frames lies in
drisk's sources (src/core, src/binding, src/modules) or extension modules. Objects drisk keeps for the
life of the process (its type, the PanicException type, interned names) stay
reachable from static storage, so LeakSanitizer does not report them.

The pass runs with ASAN_OPTIONS exitcode=0, so that CPython's own exit-time
reports do not fail it by themselves; this script therefore also fails on any
AddressSanitizer error and on LeakSanitizer's own fatal errors in the logs.

Usage: python .ci/lsan_check.py LOG_PREFIX   (the log_path given to ASan)
"""

import glob
import re
import sys

OURS = re.compile(r"/src/(core|binding|modules)/\w+\.(cpp|hpp)|_drisk\.abi3\.so|/drisk/_\w+\.abi3\.so")


def records(text):
    for block in re.split(r"\n(?=(?:Direct|Indirect) leak of )", text):
        if re.match(r"(Direct|Indirect) leak of ", block):
            yield block.split("\n\n")[0]


def main(prefix):
    paths = glob.glob(prefix + ".*")
    total = ours = fatal = 0
    for path in paths:
        with open(path, encoding="utf-8", errors="replace") as f:
            text = f.read()
        for line in text.splitlines():
            if "ERROR: AddressSanitizer" in line or "has encountered a fatal error" in line:
                fatal += 1
                print(f"{path}: {line}")
        for record in records(text):
            total += 1
            if OURS.search(record):
                ours += 1
                print(record, end="\n\n")
    print(f"lsan: {total} leak report(s), {ours} involving drisk, {fatal} sanitizer error(s)")
    return 1 if ours or fatal else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
