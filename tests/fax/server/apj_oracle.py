#!/usr/bin/env python3
"""Independent codec of fax job files, from the struct module.

  apj_oracle.py dump FILE          -> the job as JSON on stdout
  apj_oracle.py write FILE < JSON  -> writes the job described by the JSON

Layout: a 128-byte header, 256 bytes per recipient, an optional cover text,
then the APF fax. Little-endian, unaligned doubles counting days from
1899-12-30, Pascal strings in zero-filled fields.
"""
import hashlib
import json
import struct
import sys
from datetime import datetime, timedelta

EPOCH = datetime(1899, 12, 30)
HEADER = struct.Struct("<4sB21p41pdBBII43x")
RECIPIENT = struct.Struct("<BBdBH51p101p31p31p29x")
assert HEADER.size == 128 and RECIPIENT.size == 256


def to_iso(days):
    return (EPOCH + timedelta(days=days)).isoformat(timespec="milliseconds")


def from_iso(text):
    return (datetime.fromisoformat(text) - EPOCH) / timedelta(days=1)


def text(b):
    return b.decode("latin-1")


def dump(path):
    data = open(path, "rb").read()
    sig, status, name, sender, sched, count, nxt, cover_ofs, fax_ofs = HEADER.unpack_from(data, 0)
    out = {
        "signature": text(sig), "status": status, "jobname": text(name), "sender": text(sender),
        "sched": to_iso(sched), "count": count, "next": nxt,
        "cover_offset": cover_ofs, "fax_offset": fax_ofs, "recipients": [],
        "cover": text(data[cover_ofs:fax_ofs]) if cover_ofs else None,
        "fax_sha256": hashlib.sha256(data[fax_ofs:]).hexdigest(),
    }
    for i in range(count):
        st, jid, rs, att, res, phone, line, recip, title = RECIPIENT.unpack_from(data, 128 + 256 * i)
        out["recipients"].append({
            "status": st, "jobid": jid, "sched": to_iso(rs), "attempts": att,
            "result": struct.unpack("<h", struct.pack("<H", res))[0], "phone": text(phone),
            "line": text(line), "recipient": text(recip), "title": text(title)})
    print(json.dumps(out, sort_keys=True))


def write(path):
    job = json.load(sys.stdin)
    recips = job["recipients"]
    cover = job.get("cover")
    fax = open(job["fax_file"], "rb").read()
    cover_ofs = 128 + 256 * len(recips) if cover is not None else 0
    fax_ofs = 128 + 256 * len(recips) + (len(cover.encode("latin-1")) if cover is not None else 0)
    out = HEADER.pack(b"APJ0", job["status"], job["jobname"].encode("latin-1"),
                      job["sender"].encode("latin-1"), from_iso(job["sched"]), len(recips),
                      job["next"], cover_ofs, fax_ofs)
    for i, r in enumerate(recips):
        out += RECIPIENT.pack(r["status"], i, from_iso(r["sched"]), r["attempts"],
                              r["result"] & 0xFFFF, r["phone"].encode("latin-1"),
                              r["line"].encode("latin-1"), r["recipient"].encode("latin-1"),
                              r["title"].encode("latin-1"))
    if cover is not None:
        out += cover.encode("latin-1")
    open(path, "wb").write(out + fax)


if __name__ == "__main__":
    {"dump": dump, "write": write}[sys.argv[1]](sys.argv[2])
