#!/usr/bin/env python3
"""Fake Internet mail servers for the mail gateway: one SMTP and one POP3
server on 127.0.0.1, at ports of the system's choosing.

Usage: fake_internet.py DIR [--loop] [--ports FILE]
Prints "PORT smtp pop3" once both listen, then serves until its standard
input closes. With --ports the line goes into FILE instead, which appears
whole and is removed when the servers end, however their caller ended.
Everything lives in DIR:

SMTP
  DIR/smtp.wire      every byte each client sent, appended, with a line
                     "=== connection n" before each connection's bytes.
  DIR/sent/n.eml     message n as its DATA arrived (dot-stuffing undone, the
                     final "." line dropped); DIR/sent/n.env: the MAIL FROM
                     address, then one RCPT TO address a line.
  DIR/smtp.script    optional; read at each command. Lines "VERB reply", VERB
                     one of HELO, EHLO, MAIL, RCPT, DATA, END (the reply to
                     the message's final "."). Each line answers one such
                     command and is then used up (the file is rewritten);
                     "silence" answers nothing. "\\n" in a reply splits it
                     into lines. Commands without a line get 250 (DATA: 354,
                     EHLO: 500, so that clients say HELO).
  With --loop, a message accepted for user@anything is also put into the
  POP3 mailbox of that user when the mailbox folder exists.

POP3
  DIR/pop/USER/*     the mailbox of USER, messages in file name order.
  DIR/pop/USER.pass  optional; its text must be the password (else any).
  DIR/pop/USER.refuse optional; message numbers (one a line) whose RETR is
                     answered "-ERR".
  DIR/pop/USER.drop  optional; a message number whose RETR closes the
                     connection unanswered, as a line lost mid-fetch; the
                     file is then removed, so the next connection goes on.
  DIR/pop3.log       the commands, one a line ("USER ann", "RETR 1",
                     "DELE 1", "QUIT", ...; PASS without its word).
  DELE marks; QUIT removes the marked files. A dropped connection removes
  nothing.
"""
import os
import socket
import socketserver
import sys
import threading

ROOT = sys.argv[1]
LOOP = "--loop" in sys.argv[2:]
PORTS = sys.argv[sys.argv.index("--ports") + 1] if "--ports" in sys.argv[2:-1] else None
LOCK = threading.Lock()
COUNTERS = {"connection": 0, "message": 0}


def path(*parts):
    return os.path.join(ROOT, *parts)


def append(name, data):
    with LOCK, open(path(name), "ab") as f:
        f.write(data)


def next_count(name):
    with LOCK:
        COUNTERS[name] += 1
        return COUNTERS[name]


def scripted_reply(verb):
    """The scripted reply for the verb, used up; None when there is none."""
    with LOCK:
        name = path("smtp.script")
        if not os.path.exists(name):
            return None
        with open(name, "r", encoding="latin-1") as f:
            lines = f.read().splitlines()
        for i, line in enumerate(lines):
            word, _, reply = line.partition(" ")
            if word.upper() == verb:
                del lines[i]
                with open(name, "w", encoding="latin-1") as f:
                    f.write("".join(l + "\n" for l in lines))
                return reply
    return None


class Smtp(socketserver.StreamRequestHandler):
    def reply(self, verb, default):
        text = scripted_reply(verb)
        if text is None:
            text = default
        if text == "silence":
            return
        self.wfile.write(b"".join(l.encode("latin-1") + b"\r\n"
                                  for l in text.split("\\n")))
        self.wfile.flush()

    def readline(self):
        line = self.rfile.readline()
        append("smtp.wire", line)
        return line

    def handle(self):
        n = next_count("connection")
        append("smtp.wire", b"=== connection %d\n" % n)
        self.wfile.write(b"220 fake.example ESMTP\r\n")
        self.wfile.flush()
        sender, recipients = "", []
        while True:
            line = self.readline()
            if not line:
                return
            command = line.rstrip(b"\r\n").decode("latin-1")
            verb = command[:4].upper()
            if verb in ("HELO", "EHLO"):
                self.reply(verb, "250 fake.example" if verb == "HELO" else "500 no EHLO")
            elif verb == "MAIL":
                sender = command.partition(":")[2].strip().strip("<>")
                recipients = []
                self.reply("MAIL", "250 sender ok")
            elif verb == "RCPT":
                recipients.append(command.partition(":")[2].strip().strip("<>"))
                self.reply("RCPT", "250 recipient ok")
            elif verb == "DATA":
                self.reply("DATA", "354 go ahead")
                data = b""
                while True:
                    line = self.readline()
                    if not line:
                        return
                    if line == b".\r\n":
                        break
                    data += line[1:] if line.startswith(b".") else line
                self.store(sender, recipients, data)
            elif verb == "QUIT":
                self.wfile.write(b"221 bye\r\n")
                return
            else:
                self.reply(verb, "250 ok")

    def store(self, sender, recipients, data):
        text = scripted_reply("END")
        if text is not None and not text.startswith("250"):
            if text != "silence":
                self.wfile.write(text.encode("latin-1") + b"\r\n")
            return
        n = next_count("message")
        os.makedirs(path("sent"), exist_ok=True)
        with open(path("sent", "%d.eml" % n), "wb") as f:
            f.write(data)
        with open(path("sent", "%d.env" % n), "w", encoding="latin-1") as f:
            f.write("".join(a + "\n" for a in [sender] + recipients))
        if LOOP:
            for address in recipients:
                box = path("pop", address.partition("@")[0])
                if os.path.isdir(box):
                    with open(os.path.join(box, "loop-%06d" % n), "wb") as f:
                        f.write(data)
        if text != "silence":
            self.wfile.write(((text or "250 queued as %d" % n) + "\r\n").encode("latin-1"))


def dropped(user, number):
    """True once for the message number in DIR/pop/USER.drop."""
    with LOCK:
        name = path("pop", user + ".drop")
        if not os.path.exists(name):
            return False
        with open(name, encoding="latin-1") as f:
            if f.read().strip() != str(number):
                return False
        os.remove(name)
        return True


class Pop3(socketserver.StreamRequestHandler):
    def send(self, text):
        self.wfile.write(text + b"\r\n")
        self.wfile.flush()

    def handle(self):
        self.send(b"+OK fake POP3 ready")
        user, logged_in, files, deleted = None, False, [], set()
        while True:
            line = self.rfile.readline()
            if not line:
                return
            command = line.rstrip(b"\r\n").decode("latin-1")
            verb, _, arg = command.partition(" ")
            verb = verb.upper()
            with LOCK, open(path("pop3.log"), "a", encoding="latin-1") as f:
                f.write((verb if verb == "PASS" else command) + "\n")
            if verb == "USER":
                user = arg
                self.send(b"+OK")
            elif verb == "PASS":
                box = path("pop", user or "")
                wanted = None
                if os.path.exists(box + ".pass"):
                    with open(box + ".pass", encoding="latin-1") as f:
                        wanted = f.read().strip()
                if user and os.path.isdir(box) and wanted in (None, arg):
                    logged_in = True
                    files = sorted(os.path.join(box, n) for n in os.listdir(box))
                    self.send(b"+OK logged in")
                else:
                    self.send(b"-ERR login refused")
            elif verb == "QUIT":
                if logged_in:
                    for number in sorted(deleted):
                        os.remove(files[number - 1])
                self.send(b"+OK bye")
                return
            elif not logged_in:
                self.send(b"-ERR log in first")
            elif verb == "STAT":
                live = [f for i, f in enumerate(files, 1) if i not in deleted]
                self.send(b"+OK %d %d" % (len(live), sum(os.path.getsize(f) for f in live)))
            elif verb == "LIST":
                self.send(b"+OK")
                for i, f in enumerate(files, 1):
                    if i not in deleted:
                        self.send(b"%d %d" % (i, os.path.getsize(f)))
                self.send(b".")
            elif verb in ("RETR", "DELE"):
                number = int(arg) if arg.isdigit() else 0
                refused = set()
                if os.path.exists(path("pop", user + ".refuse")):
                    with open(path("pop", user + ".refuse"), encoding="latin-1") as f:
                        refused = {int(n) for n in f.read().split()}
                if not 1 <= number <= len(files) or number in deleted:
                    self.send(b"-ERR no such message")
                elif verb == "DELE":
                    deleted.add(number)
                    self.send(b"+OK marked")
                elif verb == "RETR" and dropped(user, number):
                    return
                elif number in refused:
                    self.send(b"-ERR cannot read that message")
                else:
                    with open(files[number - 1], "rb") as f:
                        data = f.read()
                    self.send(b"+OK %d octets" % len(data))
                    lines = data.split(b"\r\n")
                    if lines and lines[-1] == b"":
                        lines.pop()
                    for l in lines:
                        self.send(b"." + l if l.startswith(b".") else l)
                    self.send(b".")
            elif verb == "NOOP":
                self.send(b"+OK")
            else:
                self.send(b"-ERR unknown command")


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    os.makedirs(path("pop"), exist_ok=True)
    smtp = Server(("127.0.0.1", 0), Smtp)
    pop3 = Server(("127.0.0.1", 0), Pop3)
    for s in (smtp, pop3):
        threading.Thread(target=s.serve_forever, args=(0.05,), daemon=True).start()
    line = "PORT %d %d\n" % (smtp.server_address[1], pop3.server_address[1])
    if PORTS is None:
        print(line, end="", flush=True)
    else:
        temp = PORTS + ".tmp"
        with open(temp, "w") as f:
            f.write(line)
        os.replace(temp, PORTS)
    try:
        sys.stdin.read()
    finally:
        for s in (smtp, pop3):
            s.shutdown()
        # A caller killed outright cannot remove it.
        if PORTS is not None:
            try:
                os.remove(PORTS)
            except FileNotFoundError:
                pass


if __name__ == "__main__":
    main()
