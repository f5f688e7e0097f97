#!/usr/bin/env python3
"""POP3 clients that drop the connection, and fetchmail, against a running
station: no message is lost and none is fetched twice.
Arguments: data root, SMTP port, POP3 port."""
import os
import pathlib
import poplib
import smtplib
import socket
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "support"))
from test_host import wait_for  # noqa: E402

ROOT = pathlib.Path(sys.argv[1])
SMTP_PORT = int(sys.argv[2])
POP_PORT = int(sys.argv[3])


def mailbox(user):
    d = ROOT / "MAIL" / user
    return sorted(d.glob("*.msg")) if d.is_dir() else []


def message(n, size):
    head = b"From: a@HOME\r\nTo: bob\r\nSubject: drop %d\r\n\r\n" % n
    line = b"x" * 70 + b"\r\n"
    return head + line * (size // len(line)) + b"end %d\r\n" % n


def deliver(user, messages):
    with smtplib.SMTP("127.0.0.1", SMTP_PORT, timeout=30) as s:
        for m in messages:
            s.sendmail("a@HOME", [user], m)
    wait_for(lambda: len(mailbox(user)) == len(messages) and
             not list((ROOT / "QUEUE").glob("*.msg")), 30, "the filing")


IN_USE = b"-ERR Mailbox in use"


def pop_login(user, password):
    """poplib logged in as soon as the station has seen the user's last
    connection go (one connection at a time holds a mailbox)."""
    p = poplib.POP3("127.0.0.1", POP_PORT, timeout=30)
    p.user(user)
    deadline = time.time() + 20
    while True:
        try:
            p.pass_(password)
            return p
        except poplib.error_proto as e:
            if not e.args[0].startswith(IN_USE) or time.time() > deadline:
                raise
            time.sleep(0.05)


class Raw:
    """A POP3 session on a plain socket, to drop it anywhere."""

    def __init__(self, user, password):
        self.s = socket.create_connection(("127.0.0.1", POP_PORT), timeout=30)
        self.f = self.s.makefile("rb")
        assert self.f.readline().startswith(b"+OK")
        assert self.cmd(b"USER " + user).startswith(b"+OK")
        deadline = time.time() + 20
        while (reply := self.cmd(b"PASS " + password)).startswith(IN_USE):
            assert time.time() < deadline, "the last connection's lock stays"
            time.sleep(0.05)
        assert reply.startswith(b"+OK"), reply

    def cmd(self, line):
        self.s.sendall(line + b"\r\n")
        return self.f.readline()

    def reset(self):
        # An abortive close: the station sees the connection reset.
        self.s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.f.close()
        self.s.close()


def drops():
    sizes = [1000, 8000, 20000, 45000]
    msgs = [message(n, size) for n, size in enumerate(sizes, 1)]
    deliver("bob", msgs)

    # 1. RETR sent, the reply never read.
    r = Raw(b"bob", b"bobpw")
    r.s.sendall(b"RETR 4\r\n")
    time.sleep(0.3)
    r.reset()
    # 2. Part of the reply read.
    r = Raw(b"bob", b"bobpw")
    r.s.sendall(b"RETR 3\r\n")
    r.f.read(5000)
    r.reset()
    # 3. Every reply read whole, and DELE answered, but no QUIT.
    r = Raw(b"bob", b"bobpw")
    for n in range(1, 5):
        assert r.cmd(b"RETR %d" % n).startswith(b"+OK")
        while r.f.readline() != b".\r\n":
            pass
        assert r.cmd(b"DELE %d" % n) == b"+OK\r\n"
    r.reset()
    # 4. poplib retrieves everything and closes without QUIT.
    p = pop_login("bob", "bobpw")
    for n in range(1, 5):
        p.retr(n)
    p.close()
    time.sleep(0.5)
    assert len(mailbox("bob")) == 4, "a dropped connection lost mail"

    # QUIT commits: each message once, then an empty mailbox.
    p = pop_login("bob", "bobpw")
    count, _ = p.stat()
    got = []
    for n in range(1, count + 1):
        got.append(b"\r\n".join(p.retr(n)[1]) + b"\r\n")
    p.quit()
    assert sorted(got) == sorted(msgs)
    wait_for(lambda: not mailbox("bob"), 5, "the retrieved files to go")


def fetchmail_polls():
    msgs = [message(100 + n, 2000 * n) for n in range(1, 4)]
    deliver("carol", msgs)
    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp)
        out = tmp / "delivered"
        out.mkdir()
        rc = tmp / "fetchmailrc"
        rc.write_text(
            f"set no bouncemail\n"
            f"poll 127.0.0.1 protocol pop3 port {POP_PORT} timeout 30\n"
            f"  user carol there with password carolpw is root here\n"
            f"  options sslproto '' no sslcertck\n"
            f"  mda \"/bin/sh -c 'cat > {out}/$$$$'\"\n")
        rc.chmod(0o600)
        env = dict(os.environ, FETCHMAILHOME=str(tmp), HOME=str(tmp))
        for _ in range(3):
            r = subprocess.run(["fetchmail", "-f", str(rc), "--nodetach", "--silent"],
                               env=env, capture_output=True, timeout=60)
            # 0: mail fetched; 1: no mail.
            assert r.returncode in (0, 1), r
        got = sorted(p.read_bytes() for p in out.iterdir())
    # fetchmail adds a Received line of its own and may change line ends.
    bodies = sorted(b.replace(b"\r\n", b"\n").split(b"\n\n", 1)[1] for b in got)
    want = sorted(m.replace(b"\r\n", b"\n").split(b"\n\n", 1)[1] for m in msgs)
    assert bodies == want, [len(b) for b in bodies]
    assert not mailbox("carol")


def main():
    drops()
    fetchmail_polls()
    print("pop3 drops end to end: ok")


if __name__ == "__main__":
    main()
