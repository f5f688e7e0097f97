"""Python's email package as the independent reader and writer of mail.

  mime_oracle.py make DIR    writes DIR/<case>.eml (EmailMessage, as_bytes
                             with policy SMTP) and DIR/<case>.expect
  mime_oracle.py read FILE   prints what Python reads in FILE (policy default)
  mime_oracle.py crc HEX...  binascii.crc_hqx(data, 0) of each hex string

An .expect file and the output of read are one line per leaf part, in walk
order: hex of the file name (cp1252, "-" for none) and hex of the payload as
get_payload(decode=True) gives it. read ends with a line "defects N".
"""
import binascii
import sys
from email import message_from_bytes, policy
from email.message import EmailMessage


def hexed(data):
    return data.hex() if data else "-"


def leaves(msg):
    out = []
    for part in msg.walk():
        if part.is_multipart():
            continue
        name = part.get_filename()
        name = name.encode("cp1252") if name is not None else b""
        out.append((name, part.get_payload(decode=True) or b""))
    return out


def uuencoded(data, name):
    lines = ["begin 644 " + name]
    for i in range(0, len(data), 45):
        lines.append(binascii.b2a_uu(data[i:i + 45], backtick=True).decode().rstrip("\n"))
    lines += ["`", "end", ""]
    return "\r\n".join(lines)


def base(subject):
    m = EmailMessage()
    m["From"] = "Alice Sender <alice@example.org>"
    m["To"] = "bob@example.org, Carol <carol@example.net>"
    m["Subject"] = subject
    return m


def cases():
    binary = bytes(range(256)) * 40 + b"\x00\xff" * 7
    text = "Dear Bob,\nthe fax is attached.\n\u00e9t\u00e9 \u00e0 Paris, 100 \u20ac\n"
    long_line = ("word " * 40 + "\n") * 3

    for cte in ("7bit", "8bit", "quoted-printable", "base64"):
        m = base("text " + cte)
        body = text if cte != "7bit" else "Plain ASCII text\nsecond line\n"
        m.set_content(body if cte != "quoted-printable" else body + long_line, cte=cte)
        yield "text_" + cte.replace("-", "_"), m

    m = base("nested")
    m.set_content("Plain part\n")
    m.add_alternative("<p>HTML part</p>\n", subtype="html")
    m.add_attachment(binary, maintype="image", subtype="bmp", filename="page 1.bmp")
    m.add_attachment(b"\x00\x01\x02 binary \x90\x90\x90", maintype="application",
                     subtype="octet-stream", filename='odd "quoted"; name.bin')
    m.add_attachment("caf\u00e9 au lait\n" * 3, subtype="plain", cte="quoted-printable",
                     filename="notes.txt")
    m.add_attachment(binary[:1000], maintype="application", subtype="octet-stream",
                     filename="\u00e9t\u00e9 report with a name long enough to be folded "
                              "by the generator into continuations.bin")
    m.add_attachment(b"", maintype="application", subtype="octet-stream",
                     filename="empty.bin")
    yield "nested", m

    m = base("uuencoded")
    m.set_content("See the uuencoded part.\n")
    m.add_attachment(binary[:4000], maintype="application", subtype="octet-stream",
                     filename="uu.bin")
    uu = m.get_payload()[1]
    uu.set_payload(uuencoded(binary[:4000], "uu.bin"))
    uu.replace_header("Content-Transfer-Encoding", "x-uuencode")
    yield "uuencoded", m

    m = base("deep")
    inner = EmailMessage()
    inner.set_content("innermost\n")
    inner.add_attachment(b"deep data", maintype="application", subtype="octet-stream",
                         filename="deep.bin")
    m.set_content("outer text\n")
    m.add_attachment(b"first", maintype="application", subtype="octet-stream",
                     filename="first.bin")
    mixed = EmailMessage()
    mixed.make_mixed()
    mixed.attach(inner)
    m.attach(mixed)
    yield "deep", m


def make(directory):
    for name, msg in cases():
        data = msg.as_bytes(policy=policy.SMTP)
        with open(f"{directory}/{name}.eml", "wb") as f:
            f.write(data)
        parsed = message_from_bytes(data, policy=policy.default)
        with open(f"{directory}/{name}.expect", "w") as f:
            for fname, payload in leaves(parsed):
                f.write(f"{hexed(fname)} {hexed(payload)}\n")


def defects(msg):
    count = 0
    for part in msg.walk():
        count += len(part.defects)
        for key in part.keys():
            count += len(getattr(part[key], "defects", ()))
    return count


def read(path):
    with open(path, "rb") as f:
        msg = message_from_bytes(f.read(), policy=policy.default)
    for fname, payload in leaves(msg):
        print(hexed(fname), hexed(payload))
    print("type", msg.get_content_type())
    print("defects", defects(msg))


def main():
    command = sys.argv[1]
    if command == "make":
        make(sys.argv[2])
    elif command == "read":
        read(sys.argv[2])
    elif command == "crc":
        for h in sys.argv[2:]:
            print(binascii.crc_hqx(bytes.fromhex(h) if h != "-" else b"", 0))
    else:
        sys.exit("unknown command " + command)


if __name__ == "__main__":
    main()
