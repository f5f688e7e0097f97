#!/usr/bin/env python3
"""Runs scripts/run-pair headless in a fresh directory on an unthrottled sky:
mail sent with smtplib to each station for a user of the other reaches that
user's mailbox through the router, the automatic link and the other router,
and poplib fetches it byte for byte; a file queued for FIELD lands in its
Files directory. The files the script writes are the user's alone, and
Ctrl+C (SIGINT to the whole process group, as the terminal sends it) ends
it with status 0. Arguments: the script and the build directory."""
import os
import pathlib
import poplib
import signal
import smtplib
import socket
import subprocess
import sys
import tempfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "support"))
from test_host import free_ports, wait_for  # noqa: E402

PASSWORDS = {"alice": "alice", "bob": "bob"}


def listening(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1):
            return True
    except OSError:
        return False


def message(sender, recipient, n):
    # Bytes the link must carry unchanged: its own control bytes, the modem's
    # framing bytes, 8-bit text, dots.
    return (b"From: %s\r\nTo: %s\r\nSubject: over the air %d\r\n\r\n" % (sender, recipient, n)
            + b"line one\r\n.leading dot\r\nctl \x01\x02\x1f caf\xe9 \x80\x81\r\n"
            + (b"x" * 70 + b"\r\n") * n + b"end %d\r\n" % n)


def pop_fetch_all(port, user):
    p = poplib.POP3("127.0.0.1", port, timeout=30)
    try:
        p.user(user)
        p.pass_(PASSWORDS[user])
        count, _ = p.stat()
        got = []
        for i in range(1, count + 1):
            _, lines, _ = p.retr(i)
            got.append(b"\r\n".join(lines) + b"\r\n")
        p.quit()
        return got
    finally:
        p.close()


def main():
    script, build = sys.argv[1], sys.argv[2]
    with tempfile.TemporaryDirectory() as tmp:
        pair = pathlib.Path(tmp) / "pair"
        ports = free_ports(4)
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", SKIPMAIL_SKY_RATE="0",
                   SKIPMAIL_SKY_DELAY="0",
                   SKIPMAIL_HOME_SMTP_PORT=str(ports[0]), SKIPMAIL_HOME_POP3_PORT=str(ports[1]),
                   SKIPMAIL_FIELD_SMTP_PORT=str(ports[2]), SKIPMAIL_FIELD_POP3_PORT=str(ports[3]))
        # SIGINT as a terminal leaves it, whatever this test was started with.
        proc = subprocess.Popen([script, build], cwd=tmp, env=env, start_new_session=True,
                                preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))

        def msgs(relative):
            d = pair / relative
            return sorted(d.glob("*.msg")) if d.is_dir() else []

        def log(station):
            return "".join(p.read_text(encoding="cp1252")
                           for p in (pair / station / "LOGS").glob("LINKCTRL_*.TXT"))

        try:
            wait_for(lambda: all(listening(p) for p in ports), 60, "the mail servers")
            chart = bytes(range(256)) * 40
            files = pair / "HOME" / "STATIONS" / "FIELD" / "Files"
            files.mkdir(parents=True, exist_ok=True)
            (files / "chart.bin").write_bytes(chart)
            to_bob = [message(b"alice@HOME", b"bob@FIELD", n) for n in range(10)]
            to_alice = [message(b"bob@FIELD", b"alice@HOME", 100 + n) for n in range(10)]
            with smtplib.SMTP("127.0.0.1", ports[0], timeout=30) as s:
                for m in to_bob:
                    assert not s.sendmail("alice@HOME", ["bob@FIELD"], m)
            with smtplib.SMTP("127.0.0.1", ports[2], timeout=30) as s:
                for m in to_alice:
                    assert not s.sendmail("bob@FIELD", ["alice@HOME"], m)

            wait_for(lambda: len(msgs("FIELD/MAIL/bob")) == 10
                     and len(msgs("HOME/MAIL/alice")) == 10, 280, "the mail over the air")
            assert sorted(pop_fetch_all(ports[3], "bob")) == sorted(to_bob), "bob's mail"
            assert sorted(pop_fetch_all(ports[1], "alice")) == sorted(to_alice), "alice's mail"
            assert (pair / "FIELD" / "Files" / "chart.bin").read_bytes() == chart
            assert not any(files.iterdir()), "the sent file stays"
            assert not msgs("HOME/STATIONS/FIELD") and not msgs("FIELD/STATIONS/HOME")
            for station in ("HOME", "FIELD"):
                text = log(station)
                assert "Linked with" in text, text
                assert "Sent mail" in text and "Received mail" in text, text
                for name in ("skipmail.INI", "users.dat", "stations.dat", "channels.dat"):
                    mode = (pair / station / name).stat().st_mode & 0o777
                    assert mode == 0o600, f"{station}/{name} is {oct(mode)}"
        finally:
            os.killpg(proc.pid, signal.SIGINT)
            try:
                status = proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
                raise SystemExit("the stations did not end on Ctrl+C")
        assert status == 0, f"a clean stop by Ctrl+C exits {status}"
    print("run-pair check passed")


if __name__ == "__main__":
    main()
