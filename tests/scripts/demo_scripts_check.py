#!/usr/bin/env python3
"""Runs the demo scripts headless in a fresh directory, as a user would.

    demo_scripts_check.py SOURCE_DIR BUILD_DIR CASE

station-sigterm, gateway-sigterm, pair-sigterm: SIGTERM to the script's own
  process alone (what kill, timeout or a process manager sends; no terminal
  signals the whole group), and again while a station is slow to stop,
  stops the station or stations as Ctrl+C does: every process of the demo ends within
  seconds, the script with status 0, and each link log ends with the
  operator's stop.
station-sighup, pair-sighup: SIGHUP to the script's own process alone stops
  the demo as SIGTERM does.
station-hangup, pair-hangup: SIGHUP to the whole process group (a closed
  terminal, a dropped ssh session) stops the demo as Ctrl+C does.
station-interrupt, gateway-interrupt, fax-interrupt, pair-interrupt: SIGINT
  to the whole process group, as a terminal's Ctrl+C sends it: the helpers
  leave the stop to the script, so each radio still gets the station's
  goodbye and the fax modem's line is there until the station has closed it.
station-terminate, gateway-terminate, fax-terminate, pair-terminate: SIGTERM
  to the whole process group, as a process manager stopping a group or a
  control group sends it, the same way.
station-timeout: the script run by timeout, which signals the whole group
  when its time is up (SIGALRM to timeout makes that now).
  Every stop above ends every process of the demo, the script with status 0,
  each link log with the operator's stop and each radio log with the
  station's REMOTE,OFF; the gateway leaves no FIFO or port file of its fake
  Internet behind. Every process of a demo is in the script's process group,
  so kill -9 to the group ends them all.
fax-killed, pair-killed: kill -9 to the script's own process alone (the
  fax gateway: the station, its modem, fax line and Internet servers; the
  pair: two stations and their sky): the stations stop as their operators
  would, each radio log ending with the station's REMOTE,OFF and each link
  log with the operator's stop, then the helpers; nothing of the demo is
  left running or behind (the fake Internet's port file), and a new script
  starts there whole at once. A station
  left running in the folder (started by hand, or by an older script) is
  named with its process, and how to stop it, by the script and by
  scripts/station-running.
station-race, pair-race: two scripts released at the same instant in one
  folder, fresh and kept: exactly one demo runs with its modem, the other
  says a station runs there and exits 1 leaving no process, each INI file
  is whole (no section twice, none set aside), and the demo that runs stops
  in order. Before that, where another program holds the folder's claim
  (exclusive or shared), scripts/station-running names that program and its
  process, and the script refuses in the same words; and a simulated modem
  or fax line that ends leaves a link another one has made at its place
  since.
station-mounted, pair-mounted: started through a lock-forwarding FUSE mount
  (as NFS passes locks to its server) of a directory whose demo runs, the
  script refuses at once, naming the directory, and leaves the running
  demo's modem link, files and stations alone.
station-unlockable, pair-unlockable: where a station directory's lock file
  is a symbolic link, which no station can lock or start beside, the script
  refuses at once, saying why, and makes nothing.
unbuilt: each script, before a build, says to build first and ends with
  status 1 before it makes anything.
"""
import fcntl
import os
import pathlib
import signal
import subprocess
import sys
import tempfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "support"))
from test_host import free_ports, lock_forwarding_mount, wait_for  # noqa: E402

OPERATOR_STOP = "  Station stopped by the operator"
STATION_RUNNING = pathlib.Path(__file__).resolve().parents[2] / "scripts" / "station-running"
RADIO_GOODBYE = "$PICOA,90,01,REMOTE,OFF"


def link_log(station):
    return "".join(p.read_text(encoding="cp1252")
                   for p in sorted((station / "LOGS").glob("LINKCTRL_*.TXT")))


def fax_log(station):
    return "".join(p.read_text(encoding="cp1252")
                   for p in sorted((station / "LOGS").glob("FAX_GATEWAY_*.TXT")))


def session_members(sid, pgid=None):
    """The processes still in session `sid`: the script started a session of
    its own, which every process of the demo inherits; with `pgid`, those
    outside that process group."""
    members = []
    for entry in pathlib.Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            stat = (entry / "stat").read_text()
            cmdline = (entry / "cmdline").read_bytes().replace(b"\0", b" ").decode(errors="replace")
        except OSError:
            continue
        # The fields after the command name, which may hold blanks itself.
        fields = stat[stat.rindex(")") + 2:].split()
        if fields[0] != "Z" and int(fields[3]) == sid and int(fields[2]) != pgid:
            members.append(f"{entry.name} {cmdline}")
    return members


class Demo:
    """A demo script started in `cwd` in a session of its own, with the
    demo's mail servers on free ports; its standard error goes to `err`."""

    def __init__(self, script, build, cwd, err, args=(), prefix=(), pass_fds=()):
        ports = free_ports(4)
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen",
                   SKIPMAIL_DEMO_SMTP_PORT=str(ports[0]), SKIPMAIL_DEMO_POP3_PORT=str(ports[1]),
                   SKIPMAIL_HOME_SMTP_PORT=str(ports[0]), SKIPMAIL_HOME_POP3_PORT=str(ports[1]),
                   SKIPMAIL_FIELD_SMTP_PORT=str(ports[2]),
                   SKIPMAIL_FIELD_POP3_PORT=str(ports[3]))
        self.err_path = err
        self.err = open(self.err_path, "wb")
        # SIGINT as a terminal leaves it, whatever this test was started with.
        self.proc = subprocess.Popen([*prefix, script, *args, build], cwd=cwd, env=env,
                                     stdout=subprocess.DEVNULL, stderr=self.err,
                                     start_new_session=True, pass_fds=pass_fds,
                                     preexec_fn=lambda: signal.signal(signal.SIGINT,
                                                                      signal.SIG_DFL))

    def stderr(self):
        return self.err_path.read_text(errors="replace")

    def close(self):
        """Ends whatever of the demo is left, as the terminal's Ctrl+C would,
        and at last by force."""
        for sig, seconds in ((signal.SIGINT, 30), (signal.SIGKILL, 10)):
            if not session_members(self.proc.pid) and self.proc.poll() is not None:
                break
            try:
                os.killpg(self.proc.pid, sig)
            except ProcessLookupError:
                pass
            try:
                wait_for(lambda: not session_members(self.proc.pid), seconds, "the demo to end")
            except SystemExit:
                pass
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        self.err.close()


def ups(tmp, stations):
    """How many times the stations' logs say their modems were configured,
    and the fax modem monitored: a new start counts one more."""
    return ([link_log(tmp / name).count("Modem configuration successful") for name in stations],
            fax_log(tmp / stations[0]).count("Monitoring for incoming faxes"))


def started(demo, tmp, stations, args, before=([0] * 2, 0)):
    """Waits until every station of `demo` has configured its modem (once
    more than `before`, as ups() gave it before the start)."""
    for name, seen in zip(stations, before[0]):
        wait_for(lambda: link_log(tmp / name).count("Modem configuration successful") > seen,
                 60, f"the modem of {name}:\n" + demo.stderr())
    if args in (("--gateway",), ("--fax-gateway",)):
        wait_for(lambda: (tmp / stations[0] / "internet.ports").read_text().strip(), 20,
                 "the fake Internet servers")
    if args == ("--fax-gateway",):
        wait_for(lambda: ups(tmp, stations)[1] > before[1], 60,
                 "the fax modem:\n" + demo.stderr())
    assert len(session_members(demo.proc.pid)) >= 2 + len(stations), \
        session_members(demo.proc.pid)
    # A kill -9 to the group reaches them all.
    outside = session_members(demo.proc.pid, pgid=demo.proc.pid)
    assert not outside, f"outside the script's process group: {outside}"


def ended_in_order(demo, tmp, stations, how):
    """Waits for the script stopped by `how` and checks the stop."""
    try:
        status = demo.proc.wait(timeout=30)
    except subprocess.TimeoutExpired:
        raise SystemExit(f"the script did not end on {how}; still running:\n"
                         + "\n".join(session_members(demo.proc.pid)))
    assert status == 0, f"a stop by {how} exits {status}:\n{demo.stderr()}"
    try:
        wait_for(lambda: not session_members(demo.proc.pid), 20, "the demo")
    except SystemExit:
        raise SystemExit("the script ended, leaving running:\n"
                         + "\n".join(session_members(demo.proc.pid)))
    stopped_in_order(tmp, stations, how)
    left = [p.name for name in stations for p in (tmp / name).glob("internet.*")]
    assert not left, f"the stop left {left}"


def stopped_in_order(tmp, stations, how):
    """Each station stopped as by its operator, before its modem and fax
    line."""
    for name in stations:
        lines = link_log(tmp / name).splitlines()
        assert lines and lines[-1].endswith(OPERATOR_STOP), (name, lines[-5:])
        # The radio heard the station's last word: its modem outlived it.
        radio = (tmp / name / "radio.log").read_text().splitlines()
        assert radio and radio[-1] == RADIO_GOODBYE, (name, how, radio[-5:])
    # Nor did the fax line go before the station closed its port.
    errors = [line for name in stations for line in fax_log(tmp / name).splitlines()
              if "Error" in line]
    assert not errors, errors


def sigterm(script, build, stations, args=()):
    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp)
        demo = Demo(script, build, tmp, tmp / "stderr.txt", args)
        try:
            started(demo, tmp, stations, args)
            # A station slow to stop: it takes the script's signal only once
            # it is let go on.
            slow = next(int(m.split()[0]) for m in session_members(demo.proc.pid)
                        if "/src/app/skipmail" in m)
            os.kill(slow, signal.SIGSTOP)
            # A thread still running would take the signal at once.
            wait_for(lambda: stopped(slow), 20, "the station to be stopped")
            # The script's own process alone, as kill PID sends it; asked
            # again while the stations stop, it cuts nothing short.
            demo.proc.send_signal(signal.SIGTERM)
            wait_for(lambda: pending(slow, signal.SIGTERM), 20,
                     "the script to stop the station:\n"
                     + "\n".join(session_members(demo.proc.pid)))
            demo.proc.send_signal(signal.SIGTERM)
            os.kill(slow, signal.SIGCONT)
            ended_in_order(demo, tmp, stations, "SIGTERM")
        finally:
            demo.close()


def signalled(script, build, stations, sig, group, args=()):
    """`sig` to the script's process alone, or to its whole process group as
    a terminal sends Ctrl+C or its hang-up."""
    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp)
        demo = Demo(script, build, tmp, tmp / "stderr.txt", args)
        try:
            started(demo, tmp, stations, args)
            if group:
                os.killpg(demo.proc.pid, sig)
            else:
                demo.proc.send_signal(sig)
            ended_in_order(demo, tmp, stations,
                           f"{sig.name} to the {'group' if group else 'script'}")
        finally:
            demo.close()


def timed_out(script, build, stations):
    """The demo under timeout, whose time is made up at once."""
    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp)
        demo = Demo(script, build, tmp, tmp / "stderr.txt",
                    prefix=("timeout", "--preserve-status", "600"))
        try:
            started(demo, tmp, stations, ())
            demo.proc.send_signal(signal.SIGALRM)
            ended_in_order(demo, tmp, stations, "timeout")
        finally:
            demo.close()


def killed(script, build, stations, args=()):
    """kill -9 to the script alone; then a new script there, and a station
    left running there."""
    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp).resolve()
        demo = Demo(script, build, tmp, tmp / "stderr.txt", args)
        try:
            started(demo, tmp, stations, args)
            demo.proc.kill()
            demo.proc.wait()
            try:
                wait_for(lambda: not session_members(demo.proc.pid), 30, "the demo to end")
            except SystemExit:
                raise SystemExit("kill -9 to the script left running:\n"
                                 + "\n".join(session_members(demo.proc.pid)))
        finally:
            demo.close()
        stopped_in_order(tmp, stations, "kill -9 to the script")
        left = [p.name for name in stations for p in (tmp / name).glob("internet.*")]
        assert not left, f"kill -9 to the script left {left}"
        before = ups(tmp, stations)
        again = Demo(script, build, tmp, tmp / "again.txt", args)
        try:
            started(again, tmp, stations, args, before)
            assert again.proc.poll() is None, again.stderr()
            os.killpg(again.proc.pid, signal.SIGTERM)
            ended_in_order(again, tmp, stations, "SIGTERM to the group after a kill -9")
        finally:
            again.close()
        left_running(script, build, tmp, tmp / stations[0], args)


def refused(script, build, cwd, err, said, args=()):
    """The script started in `cwd` ends at once with status 1, saying
    `said`."""
    demo = Demo(script, build, cwd, err, args)
    try:
        status = demo.proc.wait(timeout=30)
    finally:
        demo.close()
    assert status == 1, f"exit status {status}:\n{demo.stderr()}"
    assert f"{pathlib.Path(script).name}: {said}\n" in demo.stderr(), demo.stderr()


def left_running(script, build, cwd, folder, args):
    """A station running in `folder`, started by hand on a modem of its own:
    the script and station-running name its process and how to stop it."""
    link = cwd / "by-hand.pty"
    # Each in a session of its own, ended as a whole.
    sim = subprocess.Popen([f"{build}/tests/skip_modem_sim", "--link", str(link)],
                           stdout=subprocess.PIPE, text=True, start_new_session=True)
    station = None
    try:
        sim.stdout.readline()
        station = subprocess.Popen(
            [f"{build}/src/app/skipmail"], cwd=folder, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL, start_new_session=True,
            env=dict(os.environ, QT_QPA_PLATFORM="offscreen", SKIPMAIL_COM1=str(link)))
        said = (f"a station is already running in {folder} "
                f"(process {station.pid}: kill {station.pid} stops it)")
        ask = [STATION_RUNNING, folder, build]
        running = wait_for(lambda: (r := subprocess.run(ask, capture_output=True, text=True))
                           .returncode == 0 and r, 30, "the station started by hand")
        assert running.stdout == said + "\n", running
        refused(script, build, cwd, cwd / "by-hand.txt", said, args)
    finally:
        for proc in (station, sim):
            if proc:
                os.killpg(proc.pid, signal.SIGTERM if proc is station else signal.SIGUSR2)
                proc.wait()


def ini_sections(station):
    """The section names of the station's INI file, in their order."""
    text = (station / "skipmail.INI").read_bytes().decode("cp1252")
    return [line for line in text.replace("\r", "").split("\n") if line.startswith("[")]


def race(script, build, top, stations, rounds=3):
    """`rounds` races in fresh folders, then as many in one kept folder;
    `stations` are the station folders in `top`, the folder the script
    makes."""
    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp).resolve()
        links_kept(build, tmp)
        claimed(script, build, tmp / "claimed", top, stations)
        for n in range(2 * rounds):
            folder = tmp / ("kept" if n >= rounds else f"fresh{n}")
            folder.mkdir(exist_ok=True)
            race_round(script, build, folder, [folder / top / name for name in stations],
                       f"round {n + 1}")


def links_kept(build, tmp):
    """Two simulators of a kind linked at one place, one after the other."""
    for program, args in (("skip_modem_sim", ()), ("skip_fax_line", ("--dir", str(tmp / "line")))):
        link = tmp / "link.pty"
        sims, ptys = [], []
        try:
            # Each says its terminal once it has linked it.
            for _ in (0, 1):
                sims.append(subprocess.Popen([f"{build}/tests/{program}", "--link", str(link),
                                              *args], stdout=subprocess.PIPE, text=True))
                ptys.append(sims[-1].stdout.readline().strip())
            assert os.readlink(link) == ptys[1], (program, os.readlink(link), ptys)
            sims[0].send_signal(signal.SIGUSR2)
            assert sims[0].wait(timeout=20) == 0, program
            assert os.readlink(link) == ptys[1], f"{program} took another's link with it"
            sims[1].send_signal(signal.SIGUSR2)
            assert sims[1].wait(timeout=20) == 0, program
            assert not os.path.lexists(link), f"{program} left its link"
        finally:
            for sim in sims:
                sim.kill()
                sim.wait()


def claimed(script, build, cwd, top, stations):
    """Another program holds the claim of the (first) station folder."""
    for name in stations:
        (cwd / top / name).mkdir(parents=True, exist_ok=True)
    folder = cwd / top / stations[0]
    claim = folder / "demo.claim"
    # This test's own process holds it, exclusive as a demo would, then
    # shared as none does.
    said = (f"another program holds {folder}/demo.claim "
            f"({pathlib.Path('/proc/self/comm').read_text().strip()}, process {os.getpid()}): "
            "no demo can start there while it does")
    for how in (fcntl.LOCK_EX, fcntl.LOCK_SH):
        with open(claim, "w") as held:
            fcntl.flock(held, how)
            before = {p: stat_of(p) for p in cwd.rglob("*")}
            running = subprocess.run([STATION_RUNNING, folder, build], capture_output=True,
                                     text=True)
            assert (running.returncode, running.stdout) == (0, said + "\n"), (how, running)
            refused(script, build, cwd, cwd.parent / "claimed.txt", said)
            after = {p: stat_of(p) for p in cwd.rglob("*")}
            assert after == before, "the script made files beside the claim: " + ", ".join(
                str(p) for p in after.keys() - before.keys())
    running = subprocess.run([STATION_RUNNING, folder, build], capture_output=True, text=True)
    assert (running.returncode, running.stdout) == (1, ""), running


def race_round(script, build, cwd, stations, what):
    configured = [link_log(s).count("Modem configuration successful") if s.exists() else 0
                  for s in stations]
    # Both wait for the pipe's end to close, then start the script.
    release, go = os.pipe()
    wait = f'read _ <&{release} || :; exec "$@" {release}<&-'
    demos = [Demo(script, build, cwd, cwd.parent / f"{cwd.name}-{i}.txt",
                  prefix=("sh", "-c", wait, "sh"), pass_fds=(release,)) for i in (0, 1)]
    os.close(release)
    try:
        os.close(go)
        wait_for(lambda: any(d.proc.poll() is not None for d in demos), 60,
                 f"either script to end in {what}")
        lost = next(d for d in demos if d.proc.poll() is not None)
        won = next(d for d in demos if d is not lost)
        assert lost.proc.returncode == 1, (what, lost.proc.returncode, lost.stderr())
        assert " is already running in " in lost.stderr(), (what, lost.stderr())
        wait_for(lambda: not session_members(lost.proc.pid), 20, "the refused script's processes")
        for station, before in zip(stations, configured):
            wait_for(lambda: link_log(station).count("Modem configuration successful") > before
                     or won.proc.poll() is not None, 60, f"the modem of {station} in {what}")
            assert won.proc.poll() is None, (what, won.stderr())
            sections = ini_sections(station)
            assert len(sections) == len(set(sections)), (what, station, sections)
            assert not (station / "skipmail.INI.bad").exists(), (what, station)
        os.killpg(won.proc.pid, signal.SIGTERM)
        ended_in_order(won, cwd, stations, f"SIGTERM to the group in {what}")
    finally:
        for demo in demos:
            demo.close()


def unbuilt(top):
    """Each demo script run with an empty build folder."""
    runs = [("run-station", ()), ("run-station", ("--gateway",)),
            ("run-station", ("--fax-gateway",)), ("run-pair", ())]
    for name, args in runs:
        with tempfile.TemporaryDirectory() as tmp:
            tmp = pathlib.Path(tmp)
            (tmp / "build").mkdir()
            (tmp / "run").mkdir()
            result = subprocess.run([f"{top}/scripts/{name}", *args, str(tmp / "build")],
                                    cwd=tmp / "run", stdin=subprocess.DEVNULL,
                                    capture_output=True, text=True, timeout=60)
            said = result.stdout + result.stderr
            assert result.returncode == 1, (name, args, result.returncode, said)
            assert "build first (make build)" in result.stderr, (name, args, said)
            assert f"{name}: " in result.stderr, (name, args, said)
            made = sorted(str(p.relative_to(tmp)) for p in tmp.rglob("*"))
            assert made == ["build", "run"], (name, args, made)


def stopped(pid):
    """True when every thread of `pid` is stopped."""
    states = []
    for task in pathlib.Path(f"/proc/{pid}/task").iterdir():
        try:
            stat = (task / "stat").read_text()
        except OSError:
            continue
        states.append(stat[stat.rindex(")") + 2:].split()[0])
    return bool(states) and all(state == "T" for state in states)


def pending(pid, sig):
    """True when `sig` waits to be taken by the stopped process `pid`."""
    try:
        status = pathlib.Path(f"/proc/{pid}/status").read_text()
    except OSError:
        return False
    masks = [int(line.split()[1], 16) for line in status.splitlines()
             if line.startswith(("SigPnd:", "ShdPnd:"))]
    return any(mask & (1 << (sig - 1)) for mask in masks)


def stat_of(path):
    st = os.lstat(path)
    return st.st_ino, st.st_mtime_ns, st.st_size


def mounted(script, build, top, stations, message):
    """The demo running in its directory `top` on this machine's own path;
    the script again through a mount of `top`. `stations` are the station
    directories in `top`; `message` is what the script must say, with {dir}
    for the first of them as seen through the mount."""
    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp).resolve()
        (tmp / "real").mkdir()
        first = Demo(script, build, tmp / "real", tmp / "first.txt")
        second = None
        try:
            for name in stations:
                wait_for(lambda: "Modem configuration successful"
                         in link_log(tmp / "real" / top / name), 60,
                         f"the modem of {name}:\n" + first.stderr())
            kept = [tmp / "real" / top / name / f for name in stations
                    for f in ("modem.pty", "skipmail.INI", "stations.dat", "users.dat")]
            before = [stat_of(p) for p in kept]
            with lock_forwarding_mount(tmp / "real" / top, tmp / "mnt" / top) as mnt:
                second = Demo(script, build, tmp / "mnt", tmp / "second.txt")
                try:
                    status = second.proc.wait(timeout=30)
                except subprocess.TimeoutExpired:
                    raise SystemExit("the script went on beside the running demo:\n"
                                     + second.stderr())
                finally:
                    second.close()
                assert status == 1, f"exit status {status}"
                expected = message.format(dir=mnt / stations[0])
                assert expected in second.stderr(), second.stderr()
            assert [stat_of(p) for p in kept] == before, "the running demo's files changed"
            assert first.proc.poll() is None, first.stderr()
        finally:
            first.close()


def unlockable(script, build, top, stations):
    """The demo's directory `top` made with its `stations`, the lock file of
    the last one a link to nothing."""
    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp).resolve()
        for name in stations:
            (tmp / top / name).mkdir(parents=True, exist_ok=True)
        lock = (tmp / top / stations[-1]).resolve() / "skipmail.lock"
        lock.symlink_to(tmp / "nowhere")
        before = {p: stat_of(p) for p in [tmp / top, *(tmp / top).rglob("*")]}
        demo = Demo(script, build, tmp, tmp / "stderr.txt")
        try:
            try:
                status = demo.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                raise SystemExit("the script went on where no station can start:\n"
                                 + demo.stderr())
            assert status == 1, f"exit status {status}:\n{demo.stderr()}"
            expected = (f"{pathlib.Path(script).name}: {lock}: is a symbolic link: "
                        f"no station can start in {lock.parent}")
            assert expected in demo.stderr(), demo.stderr()
            after = {p: stat_of(p) for p in [tmp / top, *(tmp / top).rglob("*")]}
            assert after == before, "the script made files: " + ", ".join(
                str(p) for p in after.keys() - before.keys())
        finally:
            demo.close()


def main():
    top, build, case = sys.argv[1:4]
    station, pair = f"{top}/scripts/run-station", f"{top}/scripts/run-pair"
    if case == "station-sigterm":
        sigterm(station, build, ["station"])
    elif case == "gateway-sigterm":
        sigterm(station, build, ["station-gateway"], ("--gateway",))
    elif case == "pair-sigterm":
        sigterm(pair, build, ["pair/HOME", "pair/FIELD"])
    elif case == "station-sighup":
        signalled(station, build, ["station"], signal.SIGHUP, group=False)
    elif case == "pair-sighup":
        signalled(pair, build, ["pair/HOME", "pair/FIELD"], signal.SIGHUP, group=False)
    elif case == "station-hangup":
        signalled(station, build, ["station"], signal.SIGHUP, group=True)
    elif case == "pair-hangup":
        signalled(pair, build, ["pair/HOME", "pair/FIELD"], signal.SIGHUP, group=True)
    elif case == "station-interrupt":
        signalled(station, build, ["station"], signal.SIGINT, group=True)
    elif case == "gateway-interrupt":
        signalled(station, build, ["station-gateway"], signal.SIGINT, group=True,
                  args=("--gateway",))
    elif case == "fax-interrupt":
        signalled(station, build, ["station-fax"], signal.SIGINT, group=True,
                  args=("--fax-gateway",))
    elif case == "pair-interrupt":
        signalled(pair, build, ["pair/HOME", "pair/FIELD"], signal.SIGINT, group=True)
    elif case == "station-terminate":
        signalled(station, build, ["station"], signal.SIGTERM, group=True)
    elif case == "gateway-terminate":
        signalled(station, build, ["station-gateway"], signal.SIGTERM, group=True,
                  args=("--gateway",))
    elif case == "fax-terminate":
        signalled(station, build, ["station-fax"], signal.SIGTERM, group=True,
                  args=("--fax-gateway",))
    elif case == "pair-terminate":
        signalled(pair, build, ["pair/HOME", "pair/FIELD"], signal.SIGTERM, group=True)
    elif case == "fax-killed":
        killed(station, build, ["station-fax"], ("--fax-gateway",))
    elif case == "pair-killed":
        killed(pair, build, ["pair/HOME", "pair/FIELD"])
    elif case == "station-timeout":
        timed_out(station, build, ["station"])
    elif case == "station-race":
        race(station, build, "station", ["."])
    elif case == "pair-race":
        race(pair, build, "pair", ["HOME", "FIELD"])
    elif case == "unbuilt":
        unbuilt(top)
    elif case == "station-mounted":
        mounted(station, build, "station", ["."],
                "run-station: a station is already running in {dir}")
    elif case == "pair-mounted":
        mounted(pair, build, "pair", ["HOME", "FIELD"],
                "run-pair: a station is already running in {dir}")
    elif case == "station-unlockable":
        unlockable(station, build, "station", ["."])
    elif case == "pair-unlockable":
        unlockable(pair, build, "pair", ["HOME", "FIELD"])
    else:
        raise SystemExit(f"no case {case}")
    print(f"demo script check {case} passed")


if __name__ == "__main__":
    main()
