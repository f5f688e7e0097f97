#!/usr/bin/env python3
"""Runs the station program where nobody can answer a box.

    station_headless.py PROGRAM MODEM_SIM CASE

port-clash: no display at all (neither DISPLAY, WAYLAND_DISPLAY nor
  QT_QPA_PLATFORM): both mail ports are taken. The station runs headless,
  says once that the modem it waited for answered, files mail, logs the two
  failures (naming no port as listening), and keeps the stored switches on.
hardware-error: under QT_QPA_PLATFORM=offscreen the modem reports a hardware
  error; the box goes to standard error and the station ends by itself in
  order.
interrupt: Ctrl+C in a terminal, which ends the station and its modem
  together: the link log says the operator stopped the station and shows no
  error of the modem port going away under the stop.
hangup: SIGHUP (a closed terminal, a dropped ssh session) stops the station
  in order, as SIGTERM does: the link log says the operator stopped it and
  the INI file is saved. Started with SIGHUP ignored (nohup), it runs on.
second-station: the first station says on which ports its mail servers
  listen; a second station started in the data root of a serving one ends
  at once, naming the directory, and leaves the first one's files and
  servers alone; scripts/station-running names the first one's process and
  how to stop it; once the first is killed, a new one starts there.
second-station-mounted: the same through a FUSE mount of the data root that
  passes locks on to the files beneath it, as NFS passes them to its server
  (bindfs): the second station ends at once and writes nothing there.
silent-modem: a modem port nobody answers: the station keeps waiting and
  says once which port and device it waits on.
lock-link, lock-other-user, lock-read-only: where skipmail.lock is a
  symbolic link (to another folder's lock file, or to nothing), another
  user's file of mode 0600 (held by that user, the station run as a third
  one), or seen through a read-only view of a running station's folder (a
  bind mount and a lock-forwarding FUSE mount), the station ends at once,
  saying why, and writes nothing; scripts/station-running answers that a
  station runs there (naming its process where this machine's kernel
  holds the lock), or none can start, in the station's words. So too where
  no station has run yet: in a folder the station's user may not write, or
  seen through a read-only view; a folder not made yet is answered as
  `mkdir -p` would make it. The last two take root.
lock-read-locked: where another program holds a read lock on skipmail.lock
  (a station holds a write lock), the station ends at once saying so, not
  that a station runs, and so does scripts/station-running.
modem-lost: the modem's simulator stops under a running station (its link
  removed), then is killed (its link left dangling), each time started
  again on the same path: within 10 s the station has opened the port
  again and configured the modem, standard error says when the modem was
  lost and when it is back, and the mail servers answer throughout; then a
  peer calls and its mail arrives. Standard error holds only the station's
  own lines, none of the platform plugin's notices about windows.
"""
import functools
import os
import pathlib
import pwd
import shutil
import signal
import socket
import subprocess
import sys
import tempfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "support"))
from test_host import (free_ports, lock_forwarding_mount, read_only_bind_mount,  # noqa: E402
                       skip_without_tool, wait_for)

STATION_RUNNING = pathlib.Path(__file__).resolve().parents[2] / "scripts" / "station-running"
# The build directory of the program under test (BUILD/src/app/skipmail).
BUILD = None


def read(path):
    return path.read_text(encoding="cp1252") if path.exists() else ""


def taken_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    s.listen(1)
    return s


def greets(port, greeting):
    """Whether a server on `port` greets with a line that begins so."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
            return s.recv(64).startswith(greeting)
    except OSError:
        return False


def serves_smtp(port):
    return greets(port, b"220")


def serves_pop3(port):
    return greets(port, b"+OK")


class Station:
    """The program in `root` on a simulated modem of its own, or on the
    device `com1`; `ini` None starts it on the files already there. `name`
    tells the modem's link and the standard error file apart when several
    run in one root."""

    def __init__(self, root, program, sim, ini, env, radio="NONE", name="station", com1=None,
                 aside=None, preexec_fn=None):
        """`aside` is where the test keeps its own files for this station
        (the modem's link, standard error): the data root by default;
        `preexec_fn` runs in the station's process before the program."""
        self.root = root
        aside = aside or root
        if ini is not None:
            (root / "stations.dat").write_bytes(b"HOME,,,,DISABLED,,,,\r\n")
            (root / "users.dat").write_bytes(b"bob:46362616:\r\n")
            (root / "skipmail.INI").write_bytes(ini)
        self.modem = None
        if com1 is None:
            com1 = aside / f"{name}-modem.pty"
            self.modem = subprocess.Popen([sim, "--radio", radio, "--link", str(com1)],
                                          stdout=subprocess.PIPE)
            self.modem.stdout.readline()
        env = dict(env, SKIPMAIL_COM1=str(com1))
        self.stderr_path = aside / f"{name}-stderr.txt"
        self.stderr_file = open(self.stderr_path, "wb")
        self.proc = subprocess.Popen([program], cwd=root, env=env, stdout=subprocess.DEVNULL,
                                     stderr=self.stderr_file, preexec_fn=preexec_fn)

    def stderr(self):
        return self.stderr_path.read_text(encoding="cp1252", errors="replace")

    def link_log(self):
        return "".join(read(p) for p in (self.root / "LOGS").glob("LINKCTRL_*.TXT"))

    def file_one_message(self):
        wait_for(lambda: (self.root / "QUEUE").is_dir(), 20, "the working directories")
        (self.root / "QUEUE" / "1.tmp").write_bytes(b"RCPT: bob\r\nSubject: hi\r\n\r\nhello\r\n")
        os.rename(self.root / "QUEUE" / "1.tmp", self.root / "QUEUE" / "1.msg")
        wait_for(lambda: (self.root / "MAIL" / "bob" / "1.msg").exists(), 30,
                 "the router to file mail:\n" + self.stderr())

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        if self.modem:
            self.modem.terminate()
            self.modem.wait()
        self.stderr_file.close()


def port_clash(program, sim, root):
    smtp, pop3 = taken_port(), taken_port()
    ini = (b"[SMTP]\r\nENABLED=ON\r\nSMTPPORT=%d\r\n[POP3]\r\nENABLED=ON\r\nPOP3PORT=%d\r\n"
           % (smtp.getsockname()[1], pop3.getsockname()[1]))
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
    station = Station(root, program, sim, ini, env)
    try:
        station.file_one_message()
        err = station.stderr()
        assert "running headless" in err, err
        # The wait said on standard error is said to be over there too.
        device = root / "station-modem.pty"
        waiting = err.find(f"Waiting for the HF modem on COM1 ({device})\n")
        answered = err.find(f"The HF modem on COM1 ({device}) answered\n")
        assert 0 <= waiting < answered, err
        assert err.count("answered") == 1, err
        assert err.count("Error Enabling Port") == 2, err
        # Nothing listens: no line says a port.
        assert "listening on port" not in err, err
        log = read(root / "mailbox_log.txt")
        assert "POP3 server not started on port" in log, log
        assert "SMTP server not started on port" in log, log
        assert "Error Enabling Port" in log, log
        station.proc.send_signal(signal.SIGTERM)
        assert station.proc.wait(timeout=15) == 0
    finally:
        station.close()
        smtp.close()
        pop3.close()
    ini = (root / "skipmail.INI").read_bytes().replace(b"\r", b"")
    for section in (b"[SMTP]", b"[POP3]"):
        body = ini.split(section, 1)[1].split(b"[", 1)[0]
        assert b"ENABLED=ON\n" in body, ini


def hardware_error(program, sim, root):
    ini = b"[SMTP]\r\nENABLED=OFF\r\n[POP3]\r\nENABLED=OFF\r\n"
    station = Station(root, program, sim, ini, dict(os.environ, QT_QPA_PLATFORM="offscreen"))
    try:
        station.file_one_message()
        wait_for(lambda: "Modem configuration successful" in station.link_log(), 20, "the modem")
        (root / "skipmail.INI").unlink()
        station.modem.send_signal(signal.SIGUSR1)
        rc = station.proc.wait(timeout=15)
        assert rc == 0, f"exit code {rc}"
        assert "Modem Hardware Error #7" in station.stderr(), station.stderr()
        # The caller chose the offscreen platform: headless as well, and said.
        assert "running headless" in station.stderr(), station.stderr()
        assert "Modem Hardware Error #7" in station.link_log()
        # Ended in order: the tables and the INI file were saved.
        assert (root / "skipmail.INI").exists()
        assert (root / "users.dat").exists()
    finally:
        station.close()


def interrupt(program, sim, root):
    # An ICOM sentence radio: the stop still tells it to leave remote mode.
    ini = b"[RADIO]\r\nTYPE=ICOM M710\r\n[SMTP]\r\nENABLED=OFF\r\n[POP3]\r\nENABLED=OFF\r\n"
    station = Station(root, program, sim, ini, dict(os.environ, QT_QPA_PLATFORM="offscreen"),
                      "ICOM M710")
    try:
        station.file_one_message()
        wait_for(lambda: "Modem configuration successful" in station.link_log(), 20, "the modem")
        started = len(station.link_log())
        # As a terminal's Ctrl+C: the station and its modem at once.
        station.proc.send_signal(signal.SIGINT)
        station.modem.send_signal(signal.SIGINT)
        rc = station.proc.wait(timeout=15)
        assert rc == 0, f"exit code {rc}"
        lines = station.link_log()[started:].splitlines()
        assert lines and lines[-1].endswith("  Station stopped by the operator"), lines
        assert not [l for l in lines if "error" in l.lower()], lines
    finally:
        station.close()


def signal_mask(pid, field):
    """The signal set `field` (SigCgt, SigIgn, ...) of process `pid`."""
    for line in pathlib.Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1], 16)
    raise SystemExit(f"no {field} for {pid}")


def bit(sig):
    return 1 << (sig - 1)

def hangup(program, sim, root):
    ini = b"[RADIO]\r\nTYPE=ICOM M710\r\n[SMTP]\r\nENABLED=OFF\r\n[POP3]\r\nENABLED=OFF\r\n"
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    station = Station(root, program, sim, ini, env, "ICOM M710")
    try:
        wait_for(lambda: "Modem configuration successful" in station.link_log(), 30, "the modem")
        (root / "skipmail.INI").unlink()
        station.proc.send_signal(signal.SIGHUP)
        try:
            rc = station.proc.wait(timeout=15)
        except subprocess.TimeoutExpired:
            raise SystemExit("the station went on after SIGHUP")
        assert rc == 0, f"exit code {rc}"
        lines = station.link_log().splitlines()
        assert lines and lines[-1].endswith("  Station stopped by the operator"), lines[-5:]
        assert (root / "skipmail.INI").exists(), "the INI file was not saved"
    finally:
        station.close()
    # As nohup starts it: the hang-up is not for the station.
    station = Station(root, program, sim, None, env, "ICOM M710", name="nohup",
                      preexec_fn=lambda: signal.signal(signal.SIGHUP, signal.SIG_IGN))
    try:
        started = len(station.link_log())
        wait_for(lambda: "Modem configuration successful" in station.link_log()[started:], 30,
                 "the modem")
        # Its stop signals are caught by now, and the hang-up left ignored:
        # the kernel drops it.
        assert signal_mask(station.proc.pid, "SigCgt") & bit(signal.SIGTERM)
        assert signal_mask(station.proc.pid, "SigIgn") & bit(signal.SIGHUP)
        station.proc.send_signal(signal.SIGHUP)
        station.proc.send_signal(signal.SIGTERM)
        assert station.proc.wait(timeout=15) == 0
        lines = station.link_log()[started:].splitlines()
        assert lines and lines[-1].endswith("  Station stopped by the operator"), lines
    finally:
        station.close()


def second_station(program, sim, root):
    smtp, pop3 = free_ports(2)
    ini = (b"[SMTP]\r\nENABLED=ON\r\nSMTPPORT=%d\r\n[POP3]\r\nENABLED=ON\r\nPOP3PORT=%d\r\n"
           % (smtp, pop3))
    # As under a service manager or su, with no login session's runtime folder.
    env = {k: v for k, v in os.environ.items() if k != "XDG_RUNTIME_DIR"}
    env["QT_QPA_PLATFORM"] = "offscreen"
    stations = [Station(root, program, sim, ini, env, name="first")]
    try:
        first = stations[0]
        wait_for(lambda: serves_smtp(smtp), 30, "the first station's SMTP server")
        # Headless, it says where the mail clients reach it.
        said = [f"skipmail: SMTP server listening on port {smtp}\n",
                f"skipmail: POP3 server listening on port {pop3}\n"]
        wait_for(lambda: all(line in first.stderr() for line in said), 20,
                 "the lines naming the mail ports:\n" + first.stderr())
        assert all(line.startswith("skipmail: ") for line in first.stderr().splitlines()), \
            first.stderr()
        ini_file = os.stat(root / "skipmail.INI")
        pid = first.proc.pid
        assert station_running(root) == (
            0, f"a station is already running in {root.resolve()} (process {pid}: kill {pid} "
               "stops it)\n")
        # As a second `make run` does: a modem of its own, the same files.
        second = Station(root, program, sim, None, env, name="second")
        stations.append(second)
        wait_for(lambda: second.proc.poll() is not None, 20,
                 "the second station to end:\n" + second.stderr())
        assert second.proc.returncode != 0, second.proc.returncode
        err = second.stderr()
        assert f"already running in {root.resolve()}" in err, err
        # It wrote nothing: the INI file is still the one the first saved.
        now = os.stat(root / "skipmail.INI")
        assert (now.st_ino, now.st_mtime_ns) == (ini_file.st_ino, ini_file.st_mtime_ns)
        assert first.proc.poll() is None
        assert serves_smtp(smtp), first.stderr()
        # A station killed outright leaves nothing that keeps the next out.
        first.proc.kill()
        first.proc.wait()
        third = Station(root, program, sim, None, env, name="third")
        stations.append(third)
        wait_for(lambda: serves_smtp(smtp) or third.proc.poll() is not None, 30,
                 "the next station's SMTP server")
        assert third.proc.poll() is None, third.stderr()
        third.proc.send_signal(signal.SIGTERM)
        assert third.proc.wait(timeout=15) == 0, third.stderr()
    finally:
        for station in stations:
            station.close()


def snapshot(root):
    """Every file and folder under `root` with what a write would change."""
    found = {}
    for path in [root, *root.rglob("*")]:
        st = os.lstat(path)
        found[str(path.relative_to(root))] = (st.st_ino, st.st_mtime_ns, st.st_size)
    return found


def idle_station(program, sim, root):
    """A station started in root/data with its mail servers, once it is up
    and idle (nothing it does itself changes its files then): the station,
    its folder and its SMTP port."""
    smtp, pop3 = free_ports(2)
    data = root / "data"
    data.mkdir()
    ini = (b"[SMTP]\r\nENABLED=ON\r\nSMTPPORT=%d\r\n[POP3]\r\nENABLED=ON\r\nPOP3PORT=%d\r\n"
           % (smtp, pop3))
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    first = Station(data, program, sim, ini, env, name="first", aside=root)
    try:
        wait_for(lambda: serves_smtp(smtp), 30, "the first station's SMTP server")
        wait_for(lambda: "Modem configuration successful" in first.link_log(), 20, "the modem")
    except BaseException:
        first.close()
        raise
    return first, data, smtp


def assert_unchanged(before, data, first, smtp):
    """Not a byte written into the running station's folder (no log line,
    no table, no INI file, no folder), and it still serves."""
    after = snapshot(data)
    changed = sorted(k for k in before.keys() | after.keys() if before.get(k) != after.get(k))
    assert not changed, f"written into the running station's directory: {changed}"
    assert first.proc.poll() is None, first.stderr()
    assert serves_smtp(smtp), first.stderr()


def second_station_mounted(program, sim, root):
    first, data, smtp = idle_station(program, sim, root)
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    stations = [first]
    try:
        before = snapshot(data)
        with lock_forwarding_mount(data, root / "mnt") as mnt:
            second = Station(mnt, program, sim, None, env, name="second", aside=root)
            stations.append(second)
            try:
                wait_for(lambda: second.proc.poll() is not None, 20,
                         "the second station to end:\n" + second.stderr())
            finally:
                # Nothing may hold the mount when it goes.
                second.close()
        assert second.proc.returncode == 1, second.proc.returncode
        err = second.stderr()
        assert f"A station is already running in {mnt}" in err, err
        assert_unchanged(before, data, first, smtp)
    finally:
        for station in stations:
            station.close()


def as_user(user):
    """The command prefix that runs a program as `user`, without root's
    groups."""
    entry = pwd.getpwnam(user)
    return ["setpriv", f"--reuid={entry.pw_uid}", f"--regid={entry.pw_gid}", "--clear-groups"]


def refused_start(program, root, user=None):
    """The program started in the data root `root` (as `user` when given):
    its standard error once it has ended with status 1; ends the script
    where it runs on or ends otherwise."""
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", SKIPMAIL_COM1="/nonexistent/modem")
    command = (as_user(user) if user else []) + [program]
    proc = subprocess.Popen(command, cwd=root, env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE)
    try:
        _, err = proc.communicate(timeout=20)
    except subprocess.TimeoutExpired:
        proc.kill()
        _, err = proc.communicate()
        raise SystemExit(f"the station ran in {root}:\n{err.decode(errors='replace')}")
    err = err.decode(errors="replace")
    assert proc.returncode == 1, (proc.returncode, err)
    return err


def station_running(root, user=None):
    """scripts/station-running's exit status and standard output for `root`,
    asking the program under test."""
    command = (as_user(user) if user else []) + [str(STATION_RUNNING), str(root), BUILD]
    done = subprocess.run(command, capture_output=True, text=True, timeout=30)
    return done.returncode, done.stdout


# A data root's settings with the mail servers off: a station that ran where
# it should not would open no port.
SERVERS_OFF = b"[SMTP]\r\nENABLED=OFF\r\n[POP3]\r\nENABLED=OFF\r\n"


def lock_link(program, sim, root):
    other = root / "other"
    other.mkdir()
    (other / "skipmail.lock").touch(mode=0o600)
    for target in (other / "skipmail.lock", other / "nothing"):
        data = root / "data"
        data.mkdir()
        (data / "skipmail.INI").write_bytes(SERVERS_OFF)
        (data / "skipmail.lock").symlink_to(target)
        before = snapshot(root)
        err = refused_start(program, data)
        # Not a byte, here or where the link points.
        assert snapshot(root) == before, f"written with the link to {target}:\n{err}"
        assert f"lock the data directory {data} (" in err, err
        assert f"{data}/skipmail.lock: is a symbolic link" in err, err
        status, said = station_running(data)
        assert status == 0, f"station-running answers {status} with the link to {target}"
        assert f"is a symbolic link: no station can start in {data}" in said, said
        shutil.rmtree(data)


def lock_other_user(program, sim, root):
    """A folder two users share; the lock file is nobody's, held by nobody,
    and daemon starts a station there."""
    if os.geteuid() != 0:
        skip_without_tool("running the station as the users nobody and daemon needs root")
    if not shutil.which("setpriv"):
        skip_without_tool("setpriv is not installed")
    root.chmod(0o755)
    # Where no station has run yet, in a folder daemon may not write.
    closed = root / "closed"
    closed.mkdir()
    err = refused_start(program, closed, "daemon")
    assert not any(closed.iterdir()), err
    assert f"{closed}/skipmail.lock: cannot be opened for writing: Permission denied" in err, err
    assert station_running(closed, "daemon") == (
        0, f"{closed}/skipmail.lock: cannot be opened for writing: Permission denied: "
           f"no station can start in {closed}\n")
    # Nor where daemon could not make the folder, as a demo script would.
    assert station_running(closed / "new" / "sub", "daemon") == (
        0, f"{closed}/new/sub: cannot be made: Permission denied: "
           f"no station can start in {closed}/new/sub\n")
    assert not any(closed.iterdir())
    data = root / "data"
    data.mkdir()
    data.chmod(0o777)
    (data / "skipmail.INI").write_bytes(SERVERS_OFF)
    daemon = pwd.getpwnam("daemon")
    os.chown(data / "skipmail.INI", daemon.pw_uid, daemon.pw_gid)
    holder = subprocess.Popen(
        as_user("nobody") + [sys.executable, "-c", HOLD, str(data / "skipmail.lock")],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        assert holder.stdout.readline() == b"held\n"
        made = os.stat(data / "skipmail.lock")
        assert (made.st_uid, made.st_mode & 0o777) == (pwd.getpwnam("nobody").pw_uid, 0o600)
        before = snapshot(data)
        err = refused_start(program, data, "daemon")
        assert snapshot(data) == before, "written beside the other user's station:\n" + err
        assert f"lock the data directory {data} (" in err, err
        assert "skipmail.lock: cannot be opened for writing: Permission denied" in err, err
        # The user who cannot open the file hears why none can start; root,
        # who can, sees the station.
        status, said = station_running(data, "daemon")
        assert status == 0, f"station-running answers {status} to daemon"
        assert f"cannot be opened for writing: Permission denied: no station can start in " \
               f"{data}" in said, said
        assert station_running(data) == (
            0, f"a station is already running in {data} (process {holder.pid}: "
               f"kill {holder.pid} stops it)\n")
        # Where daemon may make it, a folder not made yet lets a station start.
        assert station_running(data / "new" / "sub", "daemon") == (1, "")
        assert not (data / "new").exists()
    finally:
        holder.stdin.close()
        holder.wait()


# Holds the file named by its argument with an fcntl lock, as a station
# does, until its standard input closes.
HOLD = """import fcntl, os, sys
os.umask(0o077)
fd = os.open(sys.argv[1], os.O_RDWR | os.O_CREAT, 0o600)
fcntl.lockf(fd, fcntl.LOCK_EX)
print("held", flush=True)
sys.stdin.read()
"""


def lock_read_only(program, sim, root):
    # A folder where no station has run yet: the lock file cannot be made.
    fresh = root / "fresh"
    fresh.mkdir()
    for view in (read_only_bind_mount,
                 functools.partial(lock_forwarding_mount, read_only=True)):
        with view(fresh, root / "view") as mnt:
            err = refused_start(program, mnt)
            why = f"{mnt}/skipmail.lock: cannot be opened for writing: Read-only file system"
            assert why in err, err
            assert station_running(mnt) == (0, f"{why}: no station can start in {mnt}\n")
    assert not any(fresh.iterdir())
    first, data, smtp = idle_station(program, sim, root)
    try:
        before = snapshot(data)
        # The bind mount shows the station's own file, whose holder the
        # kernel names; FUSE shows a file of its own.
        pid = first.proc.pid
        for view, named in ((read_only_bind_mount, f" (process {pid}: kill {pid} stops it)"),
                            (functools.partial(lock_forwarding_mount, read_only=True), "")):
            with view(data, root / "view") as mnt:
                err = refused_start(program, mnt)
                assert f"A station is already running in {mnt}" in err, err
                assert station_running(mnt) == (
                    0, f"a station is already running in {mnt}{named}\n")
            assert_unchanged(before, data, first, smtp)
    finally:
        first.close()


def lock_read_locked(program, sim, root):
    data = root / "data"
    data.mkdir()
    (data / "skipmail.INI").write_bytes(SERVERS_OFF)
    holder = subprocess.Popen([sys.executable, "-c", HOLD_READ, str(data / "skipmail.lock")],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        assert holder.stdout.readline() == b"held\n"
        before = snapshot(data)
        err = refused_start(program, data)
        assert snapshot(data) == before, "written beside the read lock:\n" + err
        why = f"{data}/skipmail.lock: read-locked by another program, not by a station"
        assert f"lock the data directory {data} ({why})" in err, err
        assert "already running" not in err, err
        assert station_running(data) == (0, f"{why}: no station can start in {data}\n")
    finally:
        holder.stdin.close()
        holder.wait()
    assert station_running(data) == (1, "")


# Holds the file named by its argument with a read lock, as no station does,
# until its standard input closes.
HOLD_READ = """import fcntl, os, sys
fd = os.open(sys.argv[1], os.O_RDONLY | os.O_CREAT, 0o600)
fcntl.lockf(fd, fcntl.LOCK_SH)
print("held", flush=True)
sys.stdin.read()
"""


def silent_modem(program, sim, root):
    # A serial port that stays silent: the far end of a pseudo-terminal
    # that nobody answers from.
    master, slave = os.openpty()
    device = os.ttyname(slave)
    os.set_blocking(master, False)
    ini = b"[SMTP]\r\nENABLED=OFF\r\n[POP3]\r\nENABLED=OFF\r\n"
    station = Station(root, program, sim, ini, dict(os.environ, QT_QPA_PLATFORM="offscreen"),
                      com1=device)
    line = f"Waiting for the HF modem on COM1 ({device})"
    sent = bytearray()

    def configure_requests():
        try:
            sent.extend(os.read(master, 4096))
        except BlockingIOError:
            pass
        return sent.count(b"\x80\x50")

    try:
        wait_for(lambda: line in station.stderr() and line in station.link_log(), 40,
                 "the line naming the port:\n" + station.stderr())
        # Once, however long the wait: the modem has been asked again since.
        wait_for(lambda: configure_requests() >= 3, 30, "the modem to be asked again")
        assert station.proc.poll() is None, station.stderr()
        assert station.stderr().count(line) == 1, station.stderr()
        assert station.link_log().count(line) == 1, station.link_log()
    finally:
        station.close()
        os.close(master)
        os.close(slave)


PEER = pathlib.Path(__file__).resolve().parents[1] / "support" / "link_peer.py"


def modem_lost(program, sim, root):
    smtp, pop3 = free_ports(2)
    (root / "skipmail.INI").write_bytes(
        b"[SMTP]\r\nENABLED=ON\r\nSMTPPORT=%d\r\n[POP3]\r\nENABLED=ON\r\nPOP3PORT=%d\r\n"
        % (smtp, pop3))
    (root / "stations.dat").write_bytes(b"HOME,HOME1,0001,,DISABLED,Y,,,\r\n"
                                        b"PEER,PEER1,0003,,DISABLED,Y,,,\r\n")
    (root / "users.dat").write_bytes(b"bob:46362616:\r\n")
    com1, peer_pty = root / "modem.pty", root / "peer.pty"
    runtime = root / "runtime"
    runtime.mkdir(mode=0o700)
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=str(runtime))
    helpers = []

    def start_sky():
        sky = subprocess.Popen([sim, "--radio", "NONE", "--link", str(com1), "--link",
                                str(peer_pty)], stdout=subprocess.PIPE, start_new_session=True)
        helpers.append(sky)
        sky.stdout.readline()
        sky.stdout.readline()
        return sky

    device = f"COM1 ({com1})"
    lost = f"skipmail: The HF modem on {device} was lost (Serial device not available or " \
           f"lost): waiting for it to come back\n"
    back = f"skipmail: The HF modem on {device} is back\n"
    configured = "Modem configuration successful"
    station = None
    try:
        sky = start_sky()
        station = Station(root, program, sim, None, env, com1=com1)
        wait_for(lambda: configured in station.link_log() and serves_smtp(smtp), 30,
                 "the modem and the mail servers:\n" + station.stderr())
        for times, stop in ((1, signal.SIGTERM), (2, signal.SIGKILL)):
            sky.send_signal(stop)
            sky.wait()
            # Removed by the simulator itself, or left pointing nowhere.
            assert not com1.exists() and com1.is_symlink() == (stop == signal.SIGKILL)
            wait_for(lambda: station.stderr().count(lost) == times, 20,
                     "the station to say the modem was lost:\n" + station.stderr())
            # The station has tried the port again and found nothing there.
            wait_for(lambda: station.link_log().count(") does not open: File not found") == times,
                     20, "a try to open the port again:\n" + station.link_log())
            assert serves_smtp(smtp) and serves_pop3(pop3), station.stderr()
            sky = start_sky()
            wait_for(lambda: station.link_log().count(configured) == times + 1, 10,
                     "the modem configured again:\n" + station.link_log())
            wait_for(lambda: station.stderr().count(back) == times, 10,
                     "the station to say the modem is back:\n" + station.stderr())
            assert serves_smtp(smtp) and serves_pop3(pop3), station.stderr()
        assert station.stderr().index(lost) < station.stderr().index(back)
        # The modem works: a peer calls and the mail it brings is filed.
        (root / "peer-mail.txt").write_bytes(b"From: ann@PEER\r\nSubject: hi\r\n\r\nhello\r\n")
        peer = subprocess.Popen(
            [sys.executable, str(PEER), str(peer_pty), "PEER", "0003", str(root / "peer"),
             "--call", "0001", "--know", "0001", "HOME", "--mail", "bob@HOME",
             str(root / "peer-mail.txt")],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, start_new_session=True)
        helpers.append(peer)
        assert peer.stdout.readline() == b"READY\n"
        wait_for(lambda: (root / "MAIL" / "bob" / "1.msg").exists(), 60,
                 "the peer's mail:\n" + station.link_log())
        # The station's own lines alone: nothing of Qt's about windows.
        err = station.stderr()
        assert all(line.startswith("skipmail: ") for line in err.splitlines()), err
        station.proc.send_signal(signal.SIGTERM)
        assert station.proc.wait(timeout=15) == 0
    finally:
        if station:
            station.close()
        for helper in helpers:
            if helper.stdin:
                helper.stdin.close()
            if helper.poll() is None:
                os.killpg(helper.pid, signal.SIGKILL)
            helper.wait()


def main():
    global BUILD
    program, sim, case = sys.argv[1:4]
    BUILD = str(pathlib.Path(program).resolve().parents[2])
    with tempfile.TemporaryDirectory() as tmp:
        {"port-clash": port_clash, "hardware-error": hardware_error,
         "interrupt": interrupt, "hangup": hangup, "second-station": second_station,
         "second-station-mounted": second_station_mounted,
         "silent-modem": silent_modem, "lock-link": lock_link,
         "lock-other-user": lock_other_user, "lock-read-only": lock_read_only,
         "lock-read-locked": lock_read_locked, "modem-lost": modem_lost}[case](
            program, sim, pathlib.Path(tmp))
    print(f"headless station test {case} passed")


if __name__ == "__main__":
    main()
