#!/usr/bin/env python3
"""Another station on the simulated sky, written from the words of
src/link/modem_frame.h alone (the modem's serial stream and the
station-to-station protocol), with Python's own zlib and bz2: it links with
a station and exchanges mail with it.

Usage: link_peer.py PTY NAME ID OUTDIR [--call ID] [--know ID NAME]
                    [--protocol P] [--mail RECIPIENT FILE]...
It configures its modem on the serial device PTY, gives it its own ID and
prints "READY". With --call it then calls that ID; otherwise it waits to be
called. Each --mail is offered as a MAIL item for RECIPIENT with the message
of FILE; --know names a station by its ID; --protocol is the protocol version
it announces (1 or 2, the default). Every item received is kept as
OUTDIR/N.item, a MAIL item also split into OUTDIR/N.rcpt (its recipients, one
a line) and OUTDIR/N.eml (its message); OUTDIR/log.txt tells what happened,
"exchange of version N" once both have announced and "link ended" once the
modem reports the end. Runs until its standard input closes. It keeps no part
of an item across links.
"""
import bz2
import hashlib
import os
import selectors
import sys
import tty
import zlib

# The modem's serial stream.
MARKER, ESCAPE = 0x80, 0x81
CMD_DISCONNECT, CMD_CONFIGURE, CMD_CALL, CMD_OWN_ADDRESS = 0x07, 0x50, 0x20, 0x21
CMD_VERSIONS = 0x51
MSG_CONFIGURED, MSG_ECHO, MSG_WAVEFORM = 0x68, 0x6A, 0x72
MSG_LINK_UP, MSG_INCOMING, MSG_DISCONNECTED = 0x41, 0x44, 0x45
FIXED = {0x35: 1, 0x6F: 1, 0x41: 4, 0x44: 4, 0x75: 4}
TEXT = {0x70: 32, 0x71: 32, 0x72: 32, 0x73: 64, 0x74: 64}

# In-band bytes.
INTRO, END, SEP, ESC_BASE = 0x01, 0x02, 0x1F, 0xA0
RING = 0xB4
ANNOUNCE, HEADER, RESUME, END_ITEM, SUCCESS, FAILURE, COUNTS = range(0xC0, 0xC7)
DATA_HEADER, OPERATOR_END = 0xC8, 0xC9
ANSWER_WINDOW = 32


class Modem:
    """Splits the modem's stream into messages and link data."""

    def __init__(self, on_message, on_data):
        self.on_message, self.on_data = on_message, on_data
        self.state = "data"
        self.code = None  # the message whose payload is read
        self.payload = bytearray()
        self.count = None

    def length_done(self):
        if self.code == MSG_ECHO:
            return self.count is not None and len(self.payload) >= self.count
        if self.code in TEXT:
            return len(self.payload) >= TEXT[self.code]
        return len(self.payload) >= FIXED.get(self.code, 0)

    def deliver(self):
        code, payload = self.code, bytes(self.payload)
        self.code, self.payload, self.count = None, bytearray(), None
        self.on_message(code, payload)

    def feed(self, data):
        for b in data:
            if self.state == "escape":
                self.state = "data"
                self.on_data(b)
            elif self.state == "marker":
                self.state = "data"
                if self.code is None:
                    self.code = b
                    if self.length_done():
                        self.deliver()
                    continue
                if self.code == MSG_ECHO and self.count is None:
                    self.count = b
                elif self.code in TEXT and b == 0:
                    self.deliver()
                    continue
                else:
                    self.payload.append(b)
                if self.length_done():
                    self.deliver()
            elif b == MARKER:
                self.state = "marker"
            elif b == ESCAPE:
                self.state = "escape"
            else:
                self.on_data(b)


def command(code, args=b""):
    out = bytearray([MARKER, code])
    for a in args:
        out += bytes([MARKER, a])
    return bytes(out)


def link_data(data):
    out = bytearray()
    for b in data:
        if b in (MARKER, ESCAPE):
            out.append(ESCAPE)
        out.append(b)
    return bytes(out)


def escape_value(value):
    out = bytearray()
    for b in value:
        if b < 0x20:
            out += bytes([INTRO, ESC_BASE + b])
        else:
            out.append(b)
    return bytes(out)


def unescape_value(value):
    out = bytearray()
    i = 0
    while i < len(value):
        if value[i] == INTRO:
            if i + 1 >= len(value) or not ESC_BASE <= value[i + 1] < ESC_BASE + 0x20:
                raise ValueError("broken escape")
            out.append(value[i + 1] - ESC_BASE)
            i += 2
        else:
            out.append(value[i])
            i += 1
    return bytes(out)


def message(code, fields):
    body = bytes([SEP]).join(key.encode() + b"=" + escape_value(value)
                             for key, value in fields)
    return bytes([INTRO, code]) + body + bytes([END])


def parse_fields(body):
    fields = {}
    if not body:
        return fields
    for field in body.split(bytes([SEP])):
        if len(field) < 2 or field[1:2] != b"=":
            raise ValueError("malformed field")
        fields[chr(field[0])] = unescape_value(field[2:])
    return fields


def escape_data(data):
    return data.replace(b"\x01", b"\x01\xa1").replace(b"\x00", b"\x01\xa0")


def crc(data):
    return b"%08X" % (zlib.crc32(data) & 0xFFFFFFFF)


class InBand:
    """Splits the peer's link data into item data, rings and messages."""

    def __init__(self, on_data, on_message):
        self.on_data, self.on_message = on_data, on_message
        self.state = "data"
        self.code = None
        self.body = bytearray()

    def feed(self, b):
        if self.state == "data":
            if b == INTRO:
                self.state = "intro"
            else:
                self.on_data(bytes([b]))
        elif self.state == "intro":
            if b in (ESC_BASE, ESC_BASE + 1):
                self.on_data(bytes([b - ESC_BASE]))
                self.state = "data"
            elif b == RING:
                self.state = "ring"
            else:
                self.code, self.body, self.state = b, bytearray(), "body"
        elif self.state == "ring":
            self.state = "ring escape" if b == INTRO else "data"
        elif self.state == "ring escape":
            self.state = "data"
        elif self.state == "body":
            if b == END:
                self.state = "data"
                self.on_message(self.code, bytes(self.body))
            else:
                self.body.append(b)


class Peer:
    def __init__(self, fd, name, own_id, outdir, known, mail, protocol):
        self.fd, self.name, self.own_id, self.outdir = fd, name, own_id, outdir
        self.known, self.protocol = known, protocol
        self.modem = Modem(self.modem_message, self.modem_data)
        self.inband = None
        self.configured = False
        self.caller = False
        self.linked = False
        self.outgoing = []
        for recipient, path in mail:
            with open(path, "rb") as f:
                item = b"RCPT: " + recipient.encode() + b"\r\n" + f.read()
            self.outgoing.append((os.path.basename(path).encode(), item))
        self.received = 0
        self.completed = set()

    def log(self, text):
        with open(os.path.join(self.outdir, "log.txt"), "a") as f:
            f.write(text + "\n")

    def write(self, data):
        while data:
            data = data[os.write(self.fd, data):]

    def send(self, inband):
        self.write(link_data(inband))

    # ----- the modem

    def modem_message(self, code, payload):
        if code == MSG_CONFIGURED:
            # The modem answers commands in order: once the versions asked
            # after the address come, it answers calls to that address.
            self.write(command(CMD_OWN_ADDRESS, self.own_id.encode() + bytes(4)))
            self.write(command(CMD_VERSIONS))
        elif code == MSG_WAVEFORM:
            self.configured = True
        elif code == MSG_INCOMING:
            self.log("called by " + payload.decode())
        elif code == MSG_LINK_UP:
            self.link_up(payload.decode())
        elif code == MSG_DISCONNECTED:
            self.linked = False
            self.log("link ended")

    def modem_data(self, b):
        if self.linked:
            self.inband.feed(b)

    def call(self, peer_id):
        self.caller = True
        self.write(command(CMD_CALL, peer_id.encode() + bytes([28, 0])))

    # ----- the exchange

    def link_up(self, peer_id):
        self.linked = True
        self.inband = InBand(self.item_data, self.link_message)
        self.announced = self.peer_announced = False
        self.peer_version = self.peer_protocol = 0
        self.peer_parts = set()
        self.peer_counts = None
        self.sending = None  # (id, data) of the item waiting for its resume offset
        self.awaiting = {}  # version 2: ID -> (name, item) sent, waiting for the answer
        self.queue = list(self.outgoing)
        self.said_done = False
        self.incoming = None
        self.disconnecting = False
        self.log("linked with " + peer_id)
        if self.caller or peer_id in self.known:
            self.announce()

    def announce(self):
        self.announced = True
        self.send(message(ANNOUNCE, [("P", b"%d" % self.protocol), ("T", b"2"),
                                     ("N", self.name.encode()),
                                     ("M", b"%d" % len(self.queue)), ("F", b"0")]))

    def version2(self):
        return self.protocol >= 2 and self.peer_protocol >= 2

    def send_next(self):
        while not self.sending and self.peer_announced and self.queue:
            if len(self.awaiting) >= ANSWER_WINDOW:
                return
            name, item = self.queue.pop(0)
            method, data = b"NONE", item
            if self.peer_version >= 2:
                packed = bz2.compress(item, 1)
                if len(packed) < len(item):
                    method, data = b"BZIP2", packed
            item_id = hashlib.sha1(self.name.encode() + name + item).hexdigest()[:16].encode()
            item_id = item_id.upper()
            fields = [("I", item_id), ("M", method), ("S", b"%d" % len(item)), ("C", crc(item)),
                      ("W", b"%d" % len(data)), ("X", crc(data))]
            if self.version2() and item_id not in self.peer_parts:
                # The data follows the header at once, the next item the end.
                self.awaiting[item_id] = (name, item)
                self.send(message(DATA_HEADER, fields) + escape_data(data)
                          + message(END_ITEM, []))
                continue
            self.sending = (item_id, name, item, data)
            self.send(message(HEADER, fields[:1] + [("K", b"MAIL")] + fields[1:]
                              + [("N", name)]))
        if self.peer_announced and not self.queue and not self.sending and not self.awaiting:
            if not self.said_done:
                self.said_done = True
                self.send(message(COUNTS, [("M", b"0"), ("F", b"0")]))
            self.maybe_end()

    def answered(self, item_id, code, f):
        if self.sending and self.sending[0] == item_id:
            _, name, item, _ = self.sending
            self.sending = None
        elif item_id in self.awaiting:
            name, item = self.awaiting.pop(item_id)
        else:
            return
        self.log(("sent " if code == SUCCESS else "refused ") + name.decode()
                 + ("" if code == SUCCESS else ": " + f.get("R", b"").decode()))
        if code == SUCCESS:
            self.outgoing.remove((name, item))
        self.send_next()

    def maybe_end(self):
        # The calling station ends the link once both have nothing more.
        if (self.caller and self.said_done and not self.sending and not self.awaiting
                and not self.incoming and self.peer_counts == (0, 0)
                and not self.disconnecting):
            self.disconnecting = True
            self.write(command(CMD_DISCONNECT))

    def link_message(self, code, body):
        if code < ANNOUNCE or code > OPERATOR_END:
            return
        try:
            f = parse_fields(body)
        except ValueError as e:
            self.log("malformed message %02X: %s" % (code, e))
            return
        if code == ANNOUNCE:
            self.peer_version = int(f.get("T", b"0") or 0)
            self.peer_protocol = int(f.get("P", b"0") or 0)
            self.peer_parts = set(p.upper() for p in f.get("H", b"").split(b",") if p)
            self.peer_counts = (int(f.get("M", b"0")), int(f.get("F", b"0")))
            self.peer_announced = True
            self.log("announce from " + f.get("N", b"").decode())
            if not self.announced:
                self.announce()
            self.log("exchange of version %d" % (2 if self.version2() else 1))
            self.send_next()
        elif code == COUNTS:
            self.peer_counts = (int(f["M"]), int(f["F"]))
            self.maybe_end()
        elif code == HEADER:
            self.header(f, False)
        elif code == DATA_HEADER and self.version2():
            self.header(f, True)
        elif code == END_ITEM:
            self.end_item(f.get("I"))
        elif code == RESUME and self.sending and f.get("I") == self.sending[0]:
            item_id, _, _, data = self.sending
            end = [] if self.version2() else [("I", item_id)]
            self.send(escape_data(data[int(f["O"]):]) + message(END_ITEM, end))
            if self.version2():
                # Sent whole: on with the next item.
                self.awaiting[item_id] = self.sending[1:3]
                self.sending = None
                self.send_next()
        elif code in (SUCCESS, FAILURE):
            self.answered(f.get("I"), code, f)
        elif code == OPERATOR_END:
            self.log("the peer's operator ends the link")

    def header(self, f, with_data):
        item_id = f["I"]
        # A header ends the item under way; a data header leaves K and N
        # out for mail.
        self.incoming = None
        f.setdefault("K", b"MAIL")
        if item_id in self.completed:
            self.send(message(SUCCESS, [("I", item_id)]))
            return
        self.incoming = (f, bytearray())
        if not with_data:
            self.send(message(RESUME, [("I", item_id), ("O", b"0")]))

    def item_data(self, data):
        if self.incoming:
            self.incoming[1].extend(data)

    def end_item(self, item_id):
        # Version 2's end mark names no item: it ends the last header's.
        if not self.incoming or item_id != self.incoming[0]["I"] and (
                item_id is not None or not self.version2()):
            return
        f, data = self.incoming
        item_id = f["I"]
        self.incoming = None
        why = self.store(f, bytes(data))
        if why:
            self.log("failed " + item_id.decode() + ": " + why)
            self.send(message(FAILURE, [("I", item_id), ("R", why.encode())]))
        else:
            self.completed.add(item_id)
            if self.peer_counts:
                self.peer_counts = (max(0, self.peer_counts[0] - 1), self.peer_counts[1])
            self.send(message(SUCCESS, [("I", item_id)]))
        self.maybe_end()

    def store(self, f, data):
        if len(data) != int(f["W"]) or crc(data) != f["X"].upper():
            return "data size or CRC"
        if f["M"] == b"NONE":
            item = data
        elif f["M"] == b"BZIP2":
            item = bz2.decompress(data)
        else:
            return "unknown method"
        if len(item) != int(f["S"]) or crc(item) != f["C"].upper():
            return "item size or CRC"
        self.received += 1
        base = os.path.join(self.outdir, str(self.received))
        with open(base + ".item", "wb") as out:
            out.write(item)
        if f["K"] == b"MAIL":
            recipients, rest = [], item
            while rest[:5].upper() == b"RCPT:":
                line, _, rest = rest.partition(b"\r\n")
                recipients.append(line[5:].strip())
            with open(base + ".rcpt", "wb") as out:
                out.write(b"".join(r + b"\n" for r in recipients))
            with open(base + ".eml", "wb") as out:
                out.write(rest)
        self.log("received " + f.get("N", b"").decode() + " by " + f["M"].decode())
        return ""


def main():
    args = sys.argv[1:]
    pty, name, own_id, outdir = args[:4]
    call, known, mail, protocol = None, {}, [], 2
    i = 4
    while i < len(args):
        if args[i] == "--call":
            call = args[i + 1]
            i += 2
        elif args[i] == "--know":
            known[args[i + 1]] = args[i + 2]
            i += 3
        elif args[i] == "--protocol":
            protocol = int(args[i + 1])
            i += 2
        elif args[i] == "--mail":
            mail.append((args[i + 1], args[i + 2]))
            i += 3
        else:
            raise SystemExit("unknown argument " + args[i])
    os.makedirs(outdir, exist_ok=True)
    fd = os.open(pty, os.O_RDWR | os.O_NOCTTY)
    tty.setraw(fd)
    peer = Peer(fd, name, own_id, outdir, known, mail, protocol)
    peer.write(command(CMD_CONFIGURE))
    while not peer.configured:
        peer.modem.feed(os.read(fd, 4096))
    print("READY", flush=True)
    if call:
        peer.call(call)
    sel = selectors.DefaultSelector()
    sel.register(fd, selectors.EVENT_READ)
    sel.register(sys.stdin, selectors.EVENT_READ)
    while True:
        for key, _ in sel.select():
            if key.fileobj is sys.stdin:
                if not sys.stdin.buffer.read1(4096):
                    return
            else:
                peer.modem.feed(os.read(fd, 4096))


if __name__ == "__main__":
    main()
