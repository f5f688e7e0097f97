#!/usr/bin/env python3
"""Runs the echo demo's server and client against each other on loopback."""
import subprocess
import sys

demo = sys.argv[1]
server = subprocess.Popen([demo, "server"], stdout=subprocess.PIPE, text=True)
try:
    first = server.stdout.readline().split()
    assert first[:2] == ["listening", "on"], first
    port = first[2]
    out = subprocess.run([demo, "client", "127.0.0.1:" + port, "hello", "world"],
                         capture_output=True, text=True, timeout=20)
    assert out.returncode == 0, out
    assert out.stdout.splitlines() == ["hello", "world"], out.stdout
    assert server.stdout.readline().startswith("connect "), "no connect reported"
    refused = subprocess.run([demo, "client", "127.0.0.1:1", "x"], capture_output=True,
                             text=True, timeout=20)
    assert refused.returncode == 1 and "10061" in refused.stdout, refused
    print("1 passed, 0 failed")
finally:
    server.kill()
    server.wait()
