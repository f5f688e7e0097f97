#!/usr/bin/env python3
"""Retrieves message 1 with poplib and checks it against the stored file:
the same lines (a line ends at CR LF, LF or CR) and the octet count of the
file. Arguments: POP3 # Lines longer than poplib's default limit are part of the test.
poplib._MAXLINE = 1 << 20
port, user, password, the stored file."""
import poplib
import re
import sys

# Lines longer than poplib's default limit are part of the test.
poplib._MAXLINE = 1 << 20
port, user, password, path = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
stored = open(path, "rb").read()
want = re.split(rb"\r\n|\r|\n", stored)
if want and want[-1] == b"":
    want.pop()

p = poplib.POP3("127.0.0.1", port, timeout=60)
p.user(user)
p.pass_(password)
resp, lines, _ = p.retr(1)
p.quit()
if resp != b"+OK %d octets" % len(stored):
    sys.exit("reply %r for a file of %d bytes" % (resp, len(stored)))
if lines != want:
    at = next((i for i, (a, b) in enumerate(zip(lines, want)) if a != b), min(len(lines), len(want)))
    sys.exit("line %d differs: got %r, stored %r (%d lines, %d stored)"
             % (at, lines[at:at + 1], want[at:at + 1], len(lines), len(want)))
print("retrieved whole")
