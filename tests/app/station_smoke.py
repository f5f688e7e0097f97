#!/usr/bin/env python3
"""Starts the station program headless in a fresh data root on the simulated
modem (second argument), drops a message into QUEUE, waits until it is filed,
and stops the program with SIGTERM."""
import os
import pathlib
import signal
import subprocess
import sys
import tempfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "support"))
from test_host import wait_for  # noqa: E402


def main():
    program = sys.argv[1]
    with tempfile.TemporaryDirectory() as tmp:
        root = pathlib.Path(tmp)
        (root / "stations.dat").write_bytes(b"HOME,,,,DISABLED,,,,\r\nFAR,,,,DISABLED,,,,\r\n")
        (root / "users.dat").write_bytes(b"bob:46362616:\r\n")
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        # The start-up waits for the modem: the simulated one on COM1.
        modem = subprocess.Popen([sys.argv[2], "--radio", "ICOM M710",
                                  "--link", str(root / "modem.pty")],
                                 stdout=subprocess.PIPE)
        modem.stdout.readline()
        env["SKIPMAIL_COM1"] = str(root / "modem.pty")
        (root / "channels.dat").write_bytes(b"14313.250:14313.250:USB:\r\n")
        # The local mail servers stay off: ports 25 and 110 are not for tests.
        (root / "skipmail.INI").write_bytes(b"[RADIO]\r\nTYPE=ICOM M710\r\n"
                                            b"[SMTP]\r\nENABLED=OFF\r\n[POP3]\r\nENABLED=OFF\r\n")
        proc = subprocess.Popen([program], cwd=root, env=env)
        try:
            wait_for(lambda: (root / "QUEUE").is_dir(), 20, "the working directories")
            message = (b"RCPT: bob\r\nRCPT: ann@FAR\r\nFrom: a@FAR\r\n"
                       b"Subject: hi\r\n\r\nhello\r\n")
            (root / "QUEUE" / "1.tmp").write_bytes(message)
            os.rename(root / "QUEUE" / "1.tmp", root / "QUEUE" / "1.msg")
            def log_text():
                path = root / "mailbox_log.txt"
                return path.read_text(encoding="cp1252") if path.exists() else ""

            # The log line follows the copy, so wait for both rather than race them.
            wait_for(lambda: (root / "MAIL" / "bob" / "1.msg").exists()
                     and (root / "STATIONS" / "FAR" / "1.msg").exists()
                     and "queued for station FAR" in log_text()
                     and "delivered to mailbox bob" in log_text(), 30, "the filing")
            assert (root / "MAIL" / "bob" / "1.msg").read_bytes() == \
                b"From: a@FAR\r\nSubject: hi\r\n\r\nhello\r\n"
            assert (root / "STATIONS" / "FAR" / "1.msg").read_bytes() == \
                b"RCPT: ann@FAR\r\nFrom: a@FAR\r\nSubject: hi\r\n\r\nhello\r\n"
            log = log_text()
            assert "for bob delivered to mailbox bob" in log, log
            assert "for ann@FAR queued for station FAR" in log, log
            link_log = lambda: "".join(p.read_text(encoding="cp1252")
                                       for p in (root / "LOGS").glob("LINKCTRL_*.TXT"))
            wait_for(lambda: "Modem configuration successful" in link_log(), 20,
                     "the modem")
            proc.send_signal(signal.SIGTERM)
            rc = proc.wait(timeout=15)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
            modem.terminate()
            modem.wait()
        assert rc == 0, f"exit code {rc}"
        for name in ("skipmail.INI", "stations.dat", "channels.dat", "users.dat", "alias.dat",
                     "schedule.dat"):
            assert (root / name).exists(), name
        assert b"FAR," in (root / "stations.dat").read_bytes()
        assert not list((root / "QUEUE").glob("*.msg"))
    print("station smoke test passed")


if __name__ == "__main__":
    main()
