"""What the Python test scripts need of the machine they run on: a wait on a
condition and free loopback ports. Scripts outside this folder put it on
their path first:

    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[N] / "support"))
"""
import os
import socket
import time


def wait_for(predicate, seconds, what):
    """The predicate's first true result; ends the script naming `what` when
    `seconds` pass without one."""
    deadline = time.monotonic() + seconds
    while True:
        result = predicate()
        if result:
            return result
        if time.monotonic() > deadline:
            raise SystemExit(f"timed out waiting for {what}")
        time.sleep(0.05)


def free_ports(count):
    """`count` loopback ports free at the time of asking. They come from below
    the kernel's ephemeral range (32768 up), from which the connections of
    tests running in parallel draw; each process starts at its own place."""
    found = []
    start = os.getpid() * 151
    for i in range(4000):
        port = 20000 + (start + i) % 12000
        with socket.socket() as s:
            try:
                s.bind(("127.0.0.1", port))
            except OSError:
                continue
        found.append(port)
        if len(found) == count:
            return found
    raise SystemExit("no free ports below the ephemeral range")
