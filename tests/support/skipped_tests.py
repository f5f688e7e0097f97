#!/usr/bin/env python3
"""Says why each skipped test skipped, from ctest's JUnit result files.

    skipped_tests.py RESULTS.xml...

One line per skip, "skipped: TEST: REASON"; an entry that runs a whole test
program gives one line for each test inside it that skipped ("skipped:
ENTRY: TEST: REASON"). A file that is not there (its stage never ran) is
passed over.
"""
import os
import re
import sys
import xml.etree.ElementTree as ET

RUN = "[ RUN      ] "
SKIPPED = "[  SKIPPED ] "
# GoogleTest's own lines: "[  SKIPPED ] ...", "[----------] ...".
MARK = re.compile(r"\[[ A-Z-]{10}\] ")


def skips(output):
    """The skips in one test's output: (test inside it or None, reason)."""
    lines = output.splitlines()
    found = []
    if any(line.startswith(RUN) for line in lines):
        # GoogleTest: "FILE:LINE: Skipped", then the message up to an empty
        # line or a line of its own, inside the test's RUN line.
        test = None
        i = 0
        while i < len(lines):
            if lines[i].startswith(RUN):
                test = lines[i][len(RUN):].strip()
            elif lines[i].endswith(": Skipped"):
                message = []
                while (i + 1 < len(lines) and lines[i + 1].strip()
                       and not MARK.match(lines[i + 1])):
                    i += 1
                    message.append(lines[i].strip())
                found.append((test, " ".join(message)))
            i += 1
    else:
        # The test scripts: "[  SKIPPED ] REASON".
        found = [(None, line[len(SKIPPED):].strip()) for line in lines
                 if line.startswith(SKIPPED)]
    return found


def main():
    for path in sys.argv[1:]:
        if not os.path.exists(path):
            continue
        for case in ET.parse(path).getroot().iter("testcase"):
            if case.get("status") != "notrun":
                continue
            name = case.get("name")
            found = skips(case.findtext("system-out") or "")
            if not found:
                # Skipped without a word of its own: ctest's reason.
                skipped = case.find("skipped")
                found = [(None, skipped.get("message", "") if skipped is not None else "")]
            for test, reason in found:
                where = name if test in (None, name) else f"{name}: {test}"
                print(f"skipped: {where}: {reason or '(no reason given)'}")


if __name__ == "__main__":
    main()
