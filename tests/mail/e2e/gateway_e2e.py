#!/usr/bin/env python3
"""Mail clients against a running gateway station and its fake Internet
(tests/support/fake_internet.py): smtplib sends to an Internet address, the
fake SMTP server must receive the message byte for byte; a message in the
user's Internet mailbox must reach the user's station mailbox, read with
poplib. Arguments: the fake Internet's folder, SMTP port, POP3 port."""
import pathlib
import poplib
import smtplib
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "support"))
from test_host import wait_for  # noqa: E402

NET = pathlib.Path(sys.argv[1])
SMTP_PORT = int(sys.argv[2])
POP_PORT = int(sys.argv[3])


def fetch_bob():
    box = poplib.POP3("127.0.0.1", POP_PORT, timeout=10)
    box.user("bob")
    box.pass_("bobpw")
    count = len(box.list()[1])
    messages = [b"\r\n".join(box.retr(n)[1]) + b"\r\n" for n in range(1, count + 1)]
    box.quit()
    return messages


def main():
    # Outgoing: a dot line, an 8-bit line and a long line survive as sent.
    outgoing = (b"From: Bob <bob@HOME>\r\nTo: ext@example.com\r\nSubject: out\r\n\r\n"
                b".\r\n..two dots\r\n\xe9t\xe9\r\n" + b"x" * 3000 + b"\r\nend\r\n")
    with smtplib.SMTP("127.0.0.1", SMTP_PORT, timeout=10) as client:
        client.sendmail("bob@HOME", ["ext@example.com"], outgoing)
    sent = wait_for(lambda: (NET / "sent" / "1.eml").exists(), 60, "the Internet SMTP server")
    time.sleep(0.1)
    assert (NET / "sent" / "1.eml").read_bytes() == outgoing, (NET / "sent" / "1.eml").read_bytes()
    assert (NET / "sent" / "1.env").read_text() == "bob@HOME\next@example.com\n"

    # Incoming: the Internet mailbox of bob's account.
    incoming = (b"From: \"Eve\" <eve@example.com>\r\nTo: bob@example.com\r\nSubject: in\r\n\r\n"
                b".hidden\r\nbody\r\n")
    box = NET / "pop" / "bobnet"
    box.mkdir(parents=True, exist_ok=True)
    (box / "1.tmp").write_bytes(incoming)
    (box / "1.tmp").rename(box / "1")
    messages = wait_for(fetch_bob, 60, "bob's mailbox")
    assert messages == [incoming], messages
    assert not (box / "1").exists()
    print("gateway end to end: ok")


main()
