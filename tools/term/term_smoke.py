#!/usr/bin/env python3
"""Runs the terminal demo against a host on loopback: the host draws, asks
where the cursor is and what the terminal is, negotiates the telnet window
size and terminal type, and closes; the demo must answer each, capture what
the host sent and end."""
import os
import socket
import subprocess
import sys
import tempfile

demo = sys.argv[1]
IAC, DO, WILL, SB, SE = 255, 253, 251, 250, 240
NAWS, TTYPE = 31, 24

listener = socket.socket()
listener.bind(("127.0.0.1", 0))
listener.listen(1)
port = listener.getsockname()[1]
capture = os.path.join(tempfile.mkdtemp(), "term.cap")
proc = subprocess.Popen([demo, "127.0.0.1:%d" % port, "--telnet", "--capture", capture],
                        stdout=subprocess.PIPE, text=True)
try:
    listener.settimeout(20)
    conn, _ = listener.accept()
    conn.settimeout(20)

    def expect(wanted):
        got = b""
        while wanted not in got:
            chunk = conn.recv(4096)
            assert chunk, "closed while waiting for %r (got %r)" % (wanted, got)
            got += chunk
        return got

    conn.sendall(bytes([IAC, DO, NAWS, IAC, DO, TTYPE]))
    expect(bytes([IAC, SB, NAWS, 0, 80, 0, 24, IAC, SE]))
    conn.sendall(bytes([IAC, SB, TTYPE, 1, IAC, SE]))
    expect(bytes([IAC, SB, TTYPE, 0]) + b"vt100")
    conn.sendall(b"\x1b[2J\x1b[5;10Hhello\x1b[6n")
    expect(b"\x1b[5;15R")
    conn.sendall(b"\x1b[c")
    expect(b"\x1b[?1;0c")
    conn.close()
    out, _ = proc.communicate(timeout=20)
    assert proc.returncode == 0, (proc.returncode, out)
    assert "closed by the host" in out, out
    with open(capture, "rb") as f:
        captured = f.read()
    assert captured == b"\x1b[2J\x1b[5;10Hhello\x1b[6n\x1b[c", captured
    print("1 passed, 0 failed")
finally:
    if proc.poll() is None:
        proc.kill()
        proc.wait()
