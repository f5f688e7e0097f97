"""Independent answers from Python's standard library for the text tests.

Usage: oracle.py COMMAND FILE. FILE holds one record per line, its fields
hex-encoded and separated by blanks; the answer has the same form on stdout.
"""
import base64
import binascii
import email.header
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
    raise SystemExit("unknown command " + command)


def main():
    command, path = sys.argv[1], sys.argv[2]
    out = sys.stdout
    with open(path) as f:
        for line in f:
            fields = [b"" if x == "-" else bytes.fromhex(x) for x in line.split()]
            answer = run(command, fields)
            out.write(" ".join(a.hex() or "-" for a in answer) + "\n")


main()
