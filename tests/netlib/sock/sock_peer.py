#!/usr/bin/env python3
"""Scripted loopback peers for the library socket tests.

Usage: sock_peer.py SCENARIO [ARG]. Listens on 127.0.0.1 (a port of the
system's choosing), prints the port, serves one connection by the scenario
and prints what it observed, one "key value" line each.
"""
import socket
import sys
import time


def recv_exact(c, n, timeout=5.0):
    c.settimeout(timeout)
    out = b""
    while len(out) < n:
        got = c.recv(n - len(out))
        if not got:
            break
        out += got
    return out


def recv_all(c, timeout=5.0):
    c.settimeout(timeout)
    out = b""
    try:
        while True:
            got = c.recv(65536)
            if not got:
                break
            out += got
    except socket.timeout:
        pass
    return out


def drip(c, *chunks):
    for chunk in chunks:
        c.sendall(chunk)
        time.sleep(0.05)


def lines(c, arg):
    # A line split before its LF, a lone LF inside a line, a last line
    # without terminator.
    drip(c, b"ab\r", b"\ncd\r\n", b"x\ny\r\n", b"tail")


def glued(c, arg):
    c.sendall(b"abcdef\r\n" * 2048 + b"end\r\n")
    recv_all(c, 5.0)


def unterminated(c, arg):
    c.sendall(b"x" * int(arg))
    time.sleep(0.3)
    c.sendall(b"ok\r\n")
    recv_all(c, 5.0)


def noread(c, arg):
    time.sleep(1.0)
    data = recv_all(c, 10.0)
    print("received", len(data), flush=True)


def echo(c, arg):
    c.settimeout(10.0)
    try:
        while True:
            got = c.recv(65536)
            if not got:
                break
            c.sendall(got)
    except (socket.timeout, OSError):
        pass


def socks5split(c, arg):
    offer = recv_exact(c, 4)
    drip(c, b"\x05", b"\x00")
    request = recv_exact(c, 10)
    drip(c, b"\x05\x00\x00\x01\x7f", b"\x00\x00\x01\x04\x38hello\r\n")
    rest = recv_all(c, 2.0)
    print("offer", offer.hex(), flush=True)
    print("request", request.hex(), flush=True)
    print("after", rest.hex(), flush=True)


def socks_refuse(c, arg):
    # arg: "4" refuses a version 4 request; "5:m" answers the method offer
    # with method m.
    if arg == "4":
        recv_exact(c, 9)
        c.sendall(b"\x00\x5b" + b"\x00" * 6)
    else:
        recv_exact(c, 4)
        c.sendall(bytes([5, int(arg.split(":")[1])]))
    rest = recv_all(c, 5.0)
    print("closed", len(rest), flush=True)


def telnetneg(c, arg):
    IAC, SB, SE = b"\xff", b"\xfa", b"\xf0"
    DO, WILL = b"\xfd", b"\xfb"
    drip(c, IAC + DO + b"\x1f", IAC + DO + b"\x18", IAC + WILL + b"\x01",
         IAC + WILL + b"\x18", IAC + DO + b"\x01", IAC + SB + b"\x18\x01" + IAC,
         SE + b"a\r\x00b\r\nc" + IAC + IAC + b"\r\n")
    print("replies", recv_all(c, 1.0).hex(), flush=True)


SCENARIOS = {
    "lines": lines,
    "glued": glued,
    "unterminated": unterminated,
    "noread": noread,
    "echo": echo,
    "socks5split": socks5split,
    "socks_refuse": socks_refuse,
    "telnetneg": telnetneg,
}


def main():
    scenario = SCENARIOS[sys.argv[1]]
    arg = sys.argv[2] if len(sys.argv) > 2 else ""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    s.listen(4)
    print(s.getsockname()[1], flush=True)
    s.settimeout(15.0)
    c, _ = s.accept()
    c.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    scenario(c, arg)
    c.close()
    print("done", flush=True)


if __name__ == "__main__":
    main()
