#!/usr/bin/env python3
"""Every program and script of the project, run as a newcomer runs it: in an
empty folder, without a display.

    program_options_check.py SOURCE_DIR BUILD_DIR

--help and -h print the usage on standard output and end 0; --bogus is named
on standard error with the usage line and ends 2. Neither makes anything in
the folder or elsewhere, leaves a process behind or runs a command of the
system's (apt-get, lpadmin, install, ... are stubs here that note each
call). A simulator given a radio name of two words unquoted, or another
argument it does not take, refuses it the same way; the terminal window
without a display says so in one line and ends 1.
"""
import os
import pathlib
import signal
import subprocess
import sys
import tempfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "support"))
from demo_scripts_check import session_members  # noqa: E402
from test_host import wait_for  # noqa: E402

# What the scripts call of the system; each stub notes its call.
STUBS = ("apt-get", "dpkg-query", "sudo", "lpadmin", "lpstat", "cancel", "cupsreject",
         "cupsdisable", "cupsenable", "cupsaccept", "cupsd", "install")


class Run:
    """`command` in the empty folder `cwd`, in a session of its own; what it
    leaves running there is killed, and it too after 20 seconds."""

    def __init__(self, command, cwd, env, aside):
        out, err = aside / f"{cwd.name}.out", aside / f"{cwd.name}.err"
        with open(out, "wb") as o, open(err, "wb") as e:
            proc = subprocess.Popen(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                                    stdout=o, stderr=e, start_new_session=True)
            try:
                self.status = proc.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.status = None
            self.left = session_members(proc.pid)
            if self.status is None or self.left:
                try:
                    os.killpg(proc.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                proc.wait()
                wait_for(lambda: not session_members(proc.pid), 30, f"{command} to end")
        self.out = out.read_text(errors="replace")
        self.err = err.read_text(errors="replace")
        self.made = sorted(str(p.relative_to(cwd)) for p in cwd.rglob("*"))

    def __str__(self):
        return (f"status {self.status}, made {self.made}, left {self.left}\n"
                f"stdout: {self.out!r}\nstderr: {self.err!r}")


def main():
    top, build = sys.argv[1:3]
    programs = {
        "skipmail": f"{build}/src/app/skipmail",
        "run-station": f"{top}/scripts/run-station",
        "run-pair": f"{top}/scripts/run-pair",
        "station-running": f"{top}/scripts/station-running",
        "fax-printer-install": f"{top}/scripts/fax-printer-install",
        "install-deps": f"{top}/scripts/install-deps",
        "embed-picture": f"{top}/scripts/embed-picture",
        "skip_term": f"{build}/tools/skip_term",
        "skip_echo": f"{build}/tools/skip_echo",
        "skip_faxcvt": f"{build}/tools/skip_faxcvt",
        "printfax_setup": f"{build}/tools/printfax_setup",
        "skip_modem_sim": f"{build}/tests/skip_modem_sim",
        "skip_fax_line": f"{build}/tests/skip_fax_line",
    }
    failures = []
    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp).resolve()
        aside, stubs, elsewhere = tmp / "aside", tmp / "bin", tmp / "elsewhere"
        for folder in (aside, stubs, elsewhere):
            folder.mkdir()
        calls = aside / "calls"
        for name in STUBS:
            (stubs / name).write_text(f'#!/bin/sh\necho "{name} $*" >> {calls}\n'
                                      f'exit {1 if name == "dpkg-query" else 0}\n')
            (stubs / name).chmod(0o755)
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
        # Whatever an old program would reach for, out of the way: the
        # station's serial ports, the fax printer folder, the scheduler.
        env.update({f"SKIPMAIL_COM{n}": str(elsewhere / "no-port") for n in range(1, 10)})
        env.update(PATH=f"{stubs}:{env['PATH']}", SKIPMAIL_PRINTFAX_DIR=str(elsewhere / "printfax"),
                   CUPS_SERVER=str(elsewhere / "no-scheduler.sock"),
                   CUPS_SERVERBIN=str(elsewhere / "serverbin"),
                   CUPS_SERVERROOT=str(elsewhere / "serverroot"))
        runs = 0

        def run(name, *args):
            nonlocal runs
            runs += 1
            cwd = tmp / f"{name}-{runs}"
            cwd.mkdir()
            r = Run([programs[name], *args], cwd, env, aside)
            touched = sorted(p.name for p in elsewhere.iterdir())
            if calls.exists():
                touched.append("calls: " + calls.read_text())
                calls.unlink()
            quiet = not r.made and not r.left and not touched and r.status is not None

            def check(ok, what):
                if not ok or not quiet:
                    failures.append(f"{name} {' '.join(args)}: {what}; {r}"
                                    + (f"\ntouched {touched}" if touched else ""))
            return r, check

        for name in programs:
            usage = {}
            for arg in ("--help", "-h"):
                r, check = run(name, arg)
                usage[arg] = r.out
                check(r.status == 0 and r.out.startswith("usage: ") and name in
                      r.out.splitlines()[0] and not r.err, "no usage on standard output")
            if usage["--help"] != usage["-h"]:
                failures.append(f"{name}: -h and --help differ")
            r, check = run(name, "--bogus")
            first = usage["--help"].splitlines()[0] if usage["--help"] else "usage: "
            check(r.status == 2 and "--bogus" in r.err and first in r.err and not r.out,
                  "--bogus not refused with the usage line")

        link = elsewhere / "modem.pty"
        r, check = run("skip_modem_sim", "--radio", "ICOM", "M710", "--link", str(link))
        check(r.status == 2 and "M710" in r.err, "the radio's second word not refused")
        r, check = run("skip_fax_line", "--link", str(elsewhere / "fax.pty"), "--bogus")
        check(r.status == 2 and "--bogus" in r.err, "--bogus after --link not refused")
        r, check = run("skip_term", "127.0.0.1:9")
        check(r.status == 1 and len(r.err.splitlines()) == 1 and "display" in r.err,
              "no display not said in a line")
    for failure in failures:
        print(failure, end="\n\n")
    if failures:
        raise SystemExit(f"{len(failures)} failed")
    print(f"program options check: {runs} runs passed")


if __name__ == "__main__":
    main()
