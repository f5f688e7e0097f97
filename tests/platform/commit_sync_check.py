#!/usr/bin/env python3
"""Every rename or link that commits a file (a temporary taking its final
name, or an item received over the link being filed) is followed by a sync
of the file's directory, so that a power cut after the commit cannot lose
the entry. strace watches the test programs
given, each as one argument: program and its arguments, split at blanks."""
import os
import re
import subprocess
import sys
import tempfile

CALL = re.compile(r'^(\d+) +(rename|renameat2?|link|linkat)\((.*)\) += 0$')
# Calls of several threads interleave: a call may be cut in two.
CUT = re.compile(r'^(\d+) +((?:rename|renameat2?|link|linkat)\(.*) <unfinished \.\.\.>$')
RESUMED = re.compile(r'^(\d+) +<\.\.\. (?:rename|renameat2?|link|linkat) resumed>(.*)$')
SYNC = re.compile(r'^(\d+) +f(?:data)?sync\(\d+<([^>]*)>')
# Crash tests kill writers on purpose between the commit and the sync.
KILLED = re.compile(r'^(\d+) +\+\+\+ killed by')
PATHS = re.compile(r'"([^"]*)"')


def check(command):
    with tempfile.NamedTemporaryFile("r", suffix=".strace") as log:
        subprocess.run(["strace", "-f", "-y", "-qq", "-o", log.name,
                        "-e", "trace=rename,renameat,renameat2,link,linkat,fsync,fdatasync"]
                       + command, check=True, stdout=subprocess.DEVNULL)
        lines = log.read().splitlines()
    commits = 0
    pending = {}  # pid -> [(directory, target)]
    cut = {}  # pid -> the first half of a call
    joined = []
    for line in lines:
        m = CUT.match(line)
        if m:
            cut[m.group(1)] = m.group(2)
            continue
        m = RESUMED.match(line)
        if m and m.group(1) in cut:
            line = m.group(1) + " " + cut.pop(m.group(1)) + m.group(2)
        joined.append(line)
    for line in joined:
        m = CALL.match(line)
        if m:
            paths = PATHS.findall(m.group(3))
            source = os.path.basename(paths[0]) if len(paths) == 2 else ""
            if "tmp" in source or source.endswith(".item"):
                commits += 1
                pending.setdefault(m.group(1), []).append(
                    (os.path.dirname(paths[1]), paths[1]))
            continue
        m = KILLED.match(line)
        if m:
            pending.pop(m.group(1), None)
            continue
        m = SYNC.match(line)
        if m:
            pending[m.group(1)] = [(d, t) for d, t in pending.get(m.group(1), [])
                                   if d != m.group(2)]
    unsynced = [t for left in pending.values() for _, t in left]
    assert commits > 0, f"{command}: no commit seen"
    assert not unsynced, f"{command}: directory not synced after committing {unsynced}"
    return commits


def main():
    total = 0
    for arg in sys.argv[1:]:
        total += check(arg.split(" "))
    print(f"{total} commits, each followed by a sync of its directory")


if __name__ == "__main__":
    main()
