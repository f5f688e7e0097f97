#!/usr/bin/env python3
"""The installer's two lists, read off what it asks apt-get for: the build
and run path asks for no test peer (they start system services: dovecot
takes port 110), the test path for the peers, iproute2 and bindfs among
them; make's commands and CI call it that way.

    install_deps_check.py SOURCE_DIR
"""
import os
import subprocess
import sys
import tempfile

PEERS = {"dovecot-pop3d", "dante-server", "microsocks", "fetchmail", "swaks", "efax",
         "vttest", "busybox-static", "cups-daemon", "cups", "cups-filters"}


def stub(folder, name, body):
    path = os.path.join(folder, name)
    with open(path, "w") as f:
        f.write("#!/bin/sh\n" + body)
    os.chmod(path, 0o755)


def asked(top, args):
    """The packages the installer asks apt-get for on a machine with none."""
    with tempfile.TemporaryDirectory() as bin_dir:
        record = os.path.join(bin_dir, "asked")
        stub(bin_dir, "dpkg-query", "exit 1\n")
        stub(bin_dir, "apt-get", 'case "$*" in *install*) echo "$@" >> %s ;; esac\n' % record)
        stub(bin_dir, "sudo", 'exec "$@"\n')
        env = dict(os.environ, PATH=bin_dir + ":" + os.environ["PATH"])
        subprocess.run([os.path.join(top, "scripts", "install-deps")] + args, env=env,
                       check=True, stdout=subprocess.DEVNULL)
        with open(record) as f:
            words = f.read().split()
    return set(w for w in words if not w.startswith("-") and w != "install")


def make_lines(top, target):
    out = subprocess.run(["make", "-n", "-C", top, target, "BUILD=/nonexistent-build"],
                         capture_output=True, text=True).stdout
    return [line for line in out.splitlines() if "install-deps" in line]


def main():
    top = sys.argv[1]
    base, tests = asked(top, []), asked(top, ["--tests"])
    failures = []
    if base & PEERS:
        failures.append("the build and run path installs test peers: %s" % sorted(base & PEERS))
    needed = PEERS | {"iproute2", "bindfs"}
    if not needed <= tests:
        failures.append("the test path lacks: %s" % sorted(needed - tests))
    if not base <= tests:
        failures.append("the test path lacks the build's own: %s" % sorted(base - tests))
    for target in ("run", "build"):
        lines = make_lines(top, target)
        if not lines or any("--tests" in line for line in lines):
            failures.append("make %s calls the installer as %s" % (target, lines))
    if not any("--tests" in line for line in make_lines(top, "test")):
        failures.append("make test does not install the test peers")
    with open(os.path.join(top, ".ci", "run")) as f:
        if "install-deps --tests" not in f.read():
            failures.append(".ci/run does not install the test peers")
    for failure in failures:
        print(failure)
    print("ok" if not failures else "FAILED")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
