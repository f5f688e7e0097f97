#!/usr/bin/env python3
"""Mail clients against a running station: smtplib sends, the router files,
poplib and curl fetch. Arguments: data root, SMTP port, POP3 port."""
import pathlib
import poplib
import smtplib
import socket
import subprocess
import sys
import threading
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "support"))
from test_host import wait_for  # noqa: E402

ROOT = pathlib.Path(sys.argv[1])
SMTP_PORT = int(sys.argv[2])
POP_PORT = int(sys.argv[3])
PASSWORDS = {"admin": "adminpw", "bob": "bobpw", "carol": "carolpw"}


def msg_files(relative):
    d = ROOT / relative
    return sorted(d.glob("*.msg")) if d.is_dir() else []


def message(n, extra=b""):
    # Lines the transfer must carry unchanged: leading dots, a lone dot,
    # 8-bit text, an empty line.
    return (b"From: sender@HOME\r\nTo: someone\r\nSubject: test %d\r\n\r\n" % n
            + b"line one\r\n.leading dot\r\n..two dots\r\n.\r\n\xe9t\xe9\r\n\r\n"
            + extra + b"end %d\r\n" % n)


def send(recipients, body):
    with smtplib.SMTP("127.0.0.1", SMTP_PORT, timeout=30) as s:
        refused = s.sendmail("sender@HOME", recipients, body)
        assert not refused, refused


def pop_fetch_all(user):
    """Logs in, retrieves and deletes everything; gives the messages."""
    p = poplib.POP3("127.0.0.1", POP_PORT, timeout=30)
    try:
        assert p.getwelcome() == b"+OK POP3 Server Ready", p.getwelcome()
        p.user(user)
        p.pass_(PASSWORDS[user])
        count, octets = p.stat()
        got = []
        for i in range(1, count + 1):
            resp, lines, _ = p.retr(i)
            body = b"\r\n".join(lines) + b"\r\n"
            size = int(resp.split()[1])
            assert size == len(body), (resp, len(body))
            got.append(body)
        assert sum(len(b) for b in got) == octets
        p.quit()
        return got
    finally:
        p.close()


def main():
    m = {n: message(n) for n in range(1, 6)}
    send(["bob@HOME"], m[1])
    send(["bob@HOME", "carol"], m[2])
    send(["ext@example.com"], m[3])
    send(["ann@FAR"], m[4])
    send(["someone@example.org"], m[5])

    wait_for(lambda: len(msg_files("MAIL/bob")) == 2 and len(msg_files("MAIL/carol")) == 2
             and len(msg_files("STATIONS/FAR")) == 1 and len(msg_files("MAIL/GATEWAY")) == 1
             and not msg_files("QUEUE"), 30, "the filing")
    far = msg_files("STATIONS/FAR")[0].read_bytes()
    assert far == b"RCPT: ann@FAR\r\n" + m[4], far
    outbox = msg_files("MAIL/GATEWAY")[0].read_bytes()
    assert outbox == b"RCPT: someone@example.org\r\n" + m[5], outbox

    # Wrong password: refused and logged.
    p = poplib.POP3("127.0.0.1", POP_PORT, timeout=30)
    p.user("bob")
    try:
        p.pass_("wrong")
        raise SystemExit("a wrong password logged in")
    except poplib.error_proto as e:
        assert e.args[0] == b"-ERR Login failed", e.args
    p.close()
    log = (ROOT / "mailbox_log.txt").read_text(encoding="cp1252")
    assert "User: bob connection failed" in log, log

    bob = pop_fetch_all("bob")
    assert sorted(bob) == sorted([m[1], m[2]]), bob
    assert not msg_files("MAIL/bob"), "retrieved files stay"

    # curl takes carol's first message, poplib the rest.
    out = subprocess.run(["curl", "-s", "--max-time", "20",
                          f"pop3://127.0.0.1:{POP_PORT}/1", "-u", "carol:carolpw"],
                         capture_output=True, check=True).stdout
    assert out in (m[2], m[3]), out
    assert len(msg_files("MAIL/carol")) == 1
    rest = pop_fetch_all("carol")
    assert sorted([out] + rest) == sorted([m[2], m[3]]), rest
    assert "User: carol retreiving mail[1]" in \
        (ROOT / "mailbox_log.txt").read_text(encoding="cp1252")

    # Fifty clients at once: each message filed exactly once.
    errors = []

    def client(k):
        try:
            send(["bob@HOME"], message(1000 + k, b"X-Client: %d\r\n" % k))
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append((k, repr(e)))

    threads = [threading.Thread(target=client, args=(k,)) for k in range(50)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors
    wait_for(lambda: len(msg_files("MAIL/bob")) >= 50 and not msg_files("QUEUE"), 60,
             "the fifty messages")
    time.sleep(0.5)
    files = msg_files("MAIL/bob")
    assert len(files) == 50, len(files)
    got = pop_fetch_all("bob")
    assert sorted(got) == sorted(message(1000 + k, b"X-Client: %d\r\n" % k)
                                 for k in range(50)), "lost or doubled mail"
    assert not msg_files("MAIL/bob")
    assert not (ROOT / "QUEUE" / "BAD").exists() or not any((ROOT / "QUEUE" / "BAD").iterdir())
    print("local mail end to end: ok")


if __name__ == "__main__":
    main()
