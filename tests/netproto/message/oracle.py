"""Independent answers from Python's standard library for the text tests.

Usage: oracle.py COMMAND FILE. FILE holds one record per line, its fields
hex-encoded and separated by blanks; the answer has the same form on stdout.
"""
import base64
import binascii
import email.header
import email.policy
from email.mime.application import MIMEApplication
from email.mime.base import MIMEBase
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText
from email import encoders
import email.utils
import hashlib
import quopri
import sys
import unicodedata


def lenient(parse, arg):
    # Newer Pythons (and distributions' patched ones) default to a strict mode
    # that gives up on a whole list for one odd piece; the classic parse is
    # the one to compare with.
    try:
        return parse(arg, strict=False)
    except TypeError:
        return parse(arg)


def run(command, fields):
    if command == "md5":
        return [hashlib.md5(fields[0]).hexdigest().encode()]
    if command == "b64encode":
        return [base64.b64encode(fields[0])]
    if command == "b64decode":
        return [base64.b64decode(fields[0], validate=True)]
    if command == "uuencode":
        return [binascii.b2a_uu(fields[0], backtick=True).rstrip(b"\n")]
    if command == "uudecode":
        return [binascii.a2b_uu(fields[0])]
    if command == "qpdecode":
        return [quopri.decodestring(fields[0]), binascii.a2b_qp(fields[0])]
    if command == "qpencode":
        return [quopri.encodestring(fields[0])]
    if command == "parseaddr":
        name, addr = lenient(email.utils.parseaddr, fields[0].decode("latin-1"))
        return [name.encode("latin-1"), addr.encode("latin-1")]
    if command == "getaddresses":
        pairs = lenient(email.utils.getaddresses, [fields[0].decode("latin-1")])
        out = []
        for name, addr in pairs:
            out += [name.encode("latin-1"), addr.encode("latin-1")]
        return out
    if command == "formataddr":
        return [email.utils.formataddr((fields[0].decode("latin-1"),
                                        fields[1].decode("latin-1"))).encode("latin-1")]
    if command == "fold":
        name, value = fields[0].decode("latin-1"), fields[1].decode("latin-1")
        folded = email.header.Header(value, header_name=name).encode(
            splitchars=" ,", maxlinelen=78)
        return [folded.encode("latin-1")]
    if command == "decode_header":
        parts = email.header.decode_header(fields[0].decode("latin-1"))
        out = b""
        for text, _ in parts:
            out += text if isinstance(text, bytes) else text.encode("latin-1")
        return [out]
    if command == "header_encode":
        charset = fields[1].decode()
        text = fields[0].decode(charset)
        return [email.header.Header(text, charset).encode().encode("ascii")]
    if command == "sjis_to_jis":
        return [fields[0].decode("shift_jis").encode("iso2022_jp")]
    if command == "sjis_to_jis_nfkc":
        text = unicodedata.normalize("NFKC", fields[0].decode("shift_jis"))
        return [text.encode("iso2022_jp")]
    if command == "jis_to_sjis":
        return [fields[0].decode("iso2022_jp").encode("shift_jis")]
    if command == "mime_parse":
        return mime_parse(fields[0])
    if command == "mime_build":
        return mime_build(int(fields[0]))
    if command == "header_fields":
        return header_fields(fields[0])
    raise SystemExit("unknown command " + command)


def leaves(msg):
    out = []
    for part in msg.walk():
        if not part.is_multipart():
            out += [part.get_content_type().encode(),
                    (part.get_filename() or "").encode("latin-1"),
                    part.get_payload(decode=True) or b""]
    return out


def mime_parse(data):
    """The defects, the main headers and the leaf parts of a message."""
    msg = email.message_from_bytes(data, policy=email.policy.default)
    defects = [type(d).__name__ for p in msg.walk() for d in p.defects]
    sender = msg["from"].addresses[0] if msg["from"] else None
    to = msg["to"].addresses if msg["to"] else ()
    return [",".join(defects).encode(),
            str(msg["subject"] or "").encode("latin-1"),
            sender.display_name.encode("latin-1") if sender else b"",
            sender.addr_spec.encode("latin-1") if sender else b"",
            ",".join(a.addr_spec for a in to).encode("latin-1")] + leaves(msg)


def header_fields(data):
    """The defects, then every header field of every part as name and
    unfolded value, and each leaf part's file name."""
    msg = email.message_from_bytes(data, policy=email.policy.default)
    out = [",".join(type(d).__name__ for p in msg.walk() for d in p.defects).encode()]
    for part in msg.walk():
        for name, value in part.items():
            out += [name.encode("latin-1"), str(value).encode("latin-1")]
        if not part.is_multipart():
            out += [b"filename", (part.get_filename() or "").encode("latin-1")]
    return out


def mime_build(case):
    """A message made with email.mime, then its leaf parts."""
    if case == 0:
        msg = MIMEMultipart()
        msg.attach(MIMEText("plain text\n.\n..two\nline .\n", "plain", "us-ascii"))
        msg.attach(MIMEApplication(bytes(range(256)) * 3, Name="data.bin"))
        msg.attach(MIMEText("h\xe9llo w\xf6rld " * 10 + "\n", "plain", "iso-8859-1"))
    elif case == 1:
        alternative = MIMEMultipart("alternative")
        alternative.attach(MIMEText("caf\xe9 in utf-8\n", "plain", "utf-8"))
        alternative.attach(MIMEText("<p>caf&eacute;</p>\n", "html", "us-ascii"))
        msg = MIMEMultipart("related")
        msg.attach(alternative)
        # An inline picture without a name.
        picture = MIMEBase("image", "png")
        picture.set_payload(b"\x89PNG\r\n\x1a\n" + bytes(100))
        encoders.encode_base64(picture)
        picture["Content-ID"] = "<pic1@test>"
        msg.attach(picture)
    else:
        msg = MIMEText("\xe9t\xe9 " * 40 + "\n.\nend\n", "plain", "iso-8859-1")
    msg["Subject"] = "case %d" % case
    msg["From"] = "Sender <s@example.org>"
    msg["To"] = "r@example.org"
    return [msg.as_bytes(policy=email.policy.SMTP)] + leaves(msg)


def main():
    command, path = sys.argv[1], sys.argv[2]
    out = sys.stdout
    with open(path) as f:
        for line in f:
            fields = [b"" if x == "-" else bytes.fromhex(x) for x in line.split()]
            answer = run(command, fields)
            out.write(" ".join(a.hex() or "-" for a in answer) + "\n")


main()
