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
      black and white), decoded by netpbm's bmptopnm or pngtopnm, is
      written as OUTDIR/NAME.pbm, 1 = black.
"""
import email
import email.policy
import os
import smtplib
import subprocess
import sys
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


def netpbm_page(reader, data):
    """A black and white page decoded by netpbm's `reader`: width, height
    and the PBM file. A page in colours (a palette) is made grey, then black
    below half brightness."""
    out = subprocess.run([reader], input=data, capture_output=True, check=True).stdout
    if out[:2] != b"P4":
        grey = subprocess.run(["ppmtopgm"], input=out, capture_output=True, check=True).stdout
        out = subprocess.run(["pgmtopbm", "-threshold"], input=grey,
                             capture_output=True, check=True).stdout
    width, height = out.split(None, 3)[1:3]
    return int(width), int(height), out


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
        program = "pngtopnm" if name.upper().endswith(".PNG") else "bmptopnm"
        width, height, page = netpbm_page(program, body)
        with open(os.path.join(outdir, name + ".pbm"), "wb") as f:
            f.write(page)
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
