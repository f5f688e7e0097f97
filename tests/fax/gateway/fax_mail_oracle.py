#!/usr/bin/env python3
"""Mail of the fax gateway, made and read by Python's email package.

  compose OUT SUBJECT TEXT [ATTACHMENT NAME]...
      writes a message as a mail client hands it to SMTP: From alice@HOME,
      To FAX2@HOME, the text as text/plain and each file as an attachment
      under NAME (image/bmp whatever it holds).
  send PORT SUBJECT TEXT [ATTACHMENT NAME]...
      the same message, handed to the SMTP server on 127.0.0.1:PORT.
  read FILE OUTDIR
      reads a message file (envelope lines "RCPT: " first are skipped) and
      prints "from", "to", "subject" and "text" lines, then "page NAME TYPE
      WIDTH HEIGHT" per attachment; each picture (Windows bitmap or PNG,
      one bit per pixel) is written as OUTDIR/NAME.pbm, 1 = black.
"""
import email
import email.policy
import os
import smtplib
import struct
import sys
import zlib
from email.message import EmailMessage


def message(subject, text, attachments):
    msg = EmailMessage()
    msg["From"] = "alice@HOME"
    msg["To"] = "FAX2@HOME"
    msg["Subject"] = subject
    msg.set_content(text)
    for path, name in attachments:
        with open(path, "rb") as f:
            msg.add_attachment(f.read(), maintype="image", subtype="bmp", filename=name)
    return msg


def compose(out, subject, text, attachments):
    with open(out, "wb") as f:
        f.write(message(subject, text, attachments).as_bytes(policy=email.policy.SMTP))


def send(port, subject, text, attachments):
    with smtplib.SMTP("127.0.0.1", port, timeout=30) as smtp:
        smtp.send_message(message(subject, text, attachments))


def pbm(width, height, black):
    """P4 bytes of rows of booleans."""
    rows = []
    for row in black:
        bits = bytearray((width + 7) // 8)
        for x, b in enumerate(row):
            if b:
                bits[x // 8] |= 0x80 >> (x % 8)
        rows.append(bytes(bits))
    return b"P4\n%d %d\n" % (width, height) + b"".join(rows)


def read_bmp(data):
    if data[:2] != b"BM":
        raise ValueError("no BM signature")
    offset = struct.unpack_from("<I", data, 10)[0]
    width, height = struct.unpack_from("<ii", data, 18)
    bits = struct.unpack_from("<H", data, 28)[0]
    if bits != 1:
        raise ValueError("not one bit per pixel")
    palette = [data[54 + 4 * i: 54 + 4 * i + 3] for i in range(2)]
    dark = [sum(c) < 384 for c in palette]
    stride = ((width + 31) // 32) * 4
    rows = []
    for y in range(abs(height)):
        line = data[offset + y * stride: offset + (y + 1) * stride]
        rows.append([dark[(line[x // 8] >> (7 - x % 8)) & 1] for x in range(width)])
    if height > 0:
        rows.reverse()
    return width, abs(height), rows


def read_png(data):
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("no PNG signature")
    pos, idat, palette = 8, b"", None
    while pos < len(data):
        length, kind = struct.unpack_from(">I4s", data, pos)
        body = data[pos + 8: pos + 8 + length]
        if kind == b"IHDR":
            width, height, depth, ctype = struct.unpack_from(">IIBB", body)
        elif kind == b"PLTE":
            palette = [body[i: i + 3] for i in range(0, len(body), 3)]
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    if depth != 1 or ctype not in (0, 3):
        raise ValueError("not one bit per pixel")
    raw = zlib.decompress(idat)
    stride = (width + 7) // 8
    prev = bytearray(stride)
    rows = []
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1: (y + 1) * (stride + 1)])
        for i in range(stride):
            left = line[i - 1] if i else 0
            up, ul = prev[i], (prev[i - 1] if i else 0)
            if kind == 1:
                line[i] = (line[i] + left) & 255
            elif kind == 2:
                line[i] = (line[i] + up) & 255
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 255
            elif kind == 4:
                p = left + up - ul
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - ul)
                pred = left if pa <= pb and pa <= pc else (up if pb <= pc else ul)
                line[i] = (line[i] + pred) & 255
        prev = line
        values = [(line[x // 8] >> (7 - x % 8)) & 1 for x in range(width)]
        if ctype == 3:
            rows.append([sum(palette[v]) < 384 for v in values])
        else:
            rows.append([v == 0 for v in values])
    return width, height, rows


def read(path, outdir):
    with open(path, "rb") as f:
        data = f.read()
    while data.startswith(b"RCPT: "):
        data = data[data.index(b"\n") + 1:]
    msg = email.message_from_bytes(data, policy=email.policy.default)
    print("from", msg["From"])
    print("to", msg["To"])
    print("subject", msg["Subject"])
    print("defects", len(msg.defects))
    for part in msg.walk():
        if part.is_multipart():
            continue
        name = part.get_filename()
        if not name:
            if part.get_content_type() == "text/plain":
                for line in part.get_content().splitlines():
                    print("text", line)
            continue
        body = part.get_payload(decode=True)
        reader = read_png if name.upper().endswith(".PNG") else read_bmp
        width, height, rows = reader(body)
        with open(os.path.join(outdir, name + ".pbm"), "wb") as f:
            f.write(pbm(width, height, rows))
        print("page", name, part.get_content_type(), width, height)


def main():
    args = sys.argv[5:]
    files = list(zip(args[0::2], args[1::2]))
    if sys.argv[1] == "compose":
        compose(sys.argv[2], sys.argv[3], sys.argv[4], files)
    elif sys.argv[1] == "send":
        send(int(sys.argv[2]), sys.argv[3], sys.argv[4], files)
    else:
        read(sys.argv[2], sys.argv[3])


if __name__ == "__main__":
    main()
