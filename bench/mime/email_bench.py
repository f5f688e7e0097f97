"""Python's email package on the benchmark's files.

  email_bench.py decode MESSAGE OUTDIR    parse, write each attachment
  email_bench.py encode OUTFILE FILE...   attach the files, write the message

Prints the seconds taken and the peak resident size in KB.
"""
import os
import resource
import sys
import time
from email import message_from_bytes, policy
from email.message import EmailMessage


def decode(path, outdir):
    with open(path, "rb") as f:
        msg = message_from_bytes(f.read(), policy=policy.default)
    for n, part in enumerate(msg.iter_attachments()):
        with open(os.path.join(outdir, f"py{n}.bin"), "wb") as f:
            f.write(part.get_payload(decode=True))


def encode(outfile, files):
    msg = EmailMessage()
    msg["From"] = "bench@example.org"
    msg["To"] = "bench@example.org"
    msg["Subject"] = "bench"
    msg.set_content("benchmark\n")
    for name in files:
        with open(name, "rb") as f:
            msg.add_attachment(f.read(), maintype="image", subtype="bmp",
                               filename=os.path.basename(name))
    with open(outfile, "wb") as f:
        f.write(msg.as_bytes(policy=policy.SMTP))


def main():
    start = time.perf_counter()
    if sys.argv[1] == "decode":
        decode(sys.argv[2], sys.argv[3])
    else:
        encode(sys.argv[2], sys.argv[3:])
    took = time.perf_counter() - start
    print(took, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)


main()
