"""What the Python test scripts need of the machine they run on: a wait on a
condition, free loopback ports, the missing-tool rule, a file system that
passes locks on as a network one does and a read-only view of a folder.
Scripts outside this folder put it on their path first:

    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[N] / "support"))
"""
import contextlib
import os
import pathlib
import shutil
import socket
import subprocess
import sys
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


def skip_without_tool(reason):
    """Skips the calling test for a tool or facility this machine lacks: ctest
    reads the mark as a skip. Under CI, which installs every tool the tests
    use, the test fails instead, so that a test which never ran cannot pass
    as green."""
    if os.environ.get("CI"):
        raise SystemExit(f"{reason} (CI installs it; not skipped)")
    print(f"[  SKIPPED ] {reason}", flush=True)
    sys.exit(0)


def _unmount(target):
    for command in (["fusermount", "-u"], ["fusermount3", "-u"], ["umount"]):
        if shutil.which(command[0]) and subprocess.run(
                command + [str(target)], stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL).returncode == 0:
            return True
    return False


@contextlib.contextmanager
def lock_forwarding_mount(source, target, read_only=False):
    """`source` seen at `target` through bindfs, which passes fcntl locks on to
    the files beneath it as NFS passes them to its server (and flock on a
    directory not at all); read-only with `read_only`. Unmounted however the
    block ends; skipped by the missing-tool rule where bindfs or FUSE is not
    there."""
    if not shutil.which("bindfs"):
        skip_without_tool("bindfs is not installed")
    if not os.path.exists("/dev/fuse"):
        skip_without_tool("this machine has no FUSE (/dev/fuse)")
    os.makedirs(target, exist_ok=True)
    mounted = subprocess.run(["bindfs", "--multithreaded", "--enable-lock-forwarding",
                              *(["-r"] if read_only else []), str(source), str(target)],
                             capture_output=True, text=True)
    if mounted.returncode != 0:
        skip_without_tool(f"bindfs cannot mount here: {mounted.stderr.strip()}")
    try:
        yield pathlib.Path(target)
    finally:
        _unmount_soon(target)


@contextlib.contextmanager
def read_only_bind_mount(source, target):
    """`source` seen read-only at `target` through a bind mount, which shares
    the files' locks. Unmounted however the block ends; it takes root, and
    skips by the missing-tool rule without."""
    if os.geteuid() != 0:
        skip_without_tool("a bind mount needs root")
    os.makedirs(target, exist_ok=True)
    mounted = subprocess.run(["mount", "--bind", "-o", "ro", str(source), str(target)],
                             capture_output=True, text=True)
    if mounted.returncode != 0:
        skip_without_tool(f"mount cannot bind-mount here: {mounted.stderr.strip()}")
    try:
        yield pathlib.Path(target)
    finally:
        _unmount_soon(target)


def _unmount_soon(target):
    # A process that has just ended may still hold the mount for a moment.
    deadline = time.monotonic() + 20
    while not _unmount(target):
        if time.monotonic() > deadline:
            subprocess.run(["umount", "-l", str(target)])
            break
        time.sleep(0.1)
