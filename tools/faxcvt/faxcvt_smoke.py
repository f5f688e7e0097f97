#!/usr/bin/env python3
"""Runs the fax conversion demo both ways with netpbm and libtiff as the
other side: a picture made here goes in as a BMP and comes out of the APF file
as TIFF, PCX and BMP, read back by tifftopnm, pcxtoppm and bmptopnm and
compared pixel for pixel; a two-page letter comes out as one BMP and PCX per
page and as one DCX; the resolution changes halve and double the lines. (A
PDF through the fax printer is tested with a CUPS of its own in
tests/fax/image.)"""
import os
import random
import struct
import subprocess
import sys
import tempfile

demo = sys.argv[1]
scratch = tempfile.TemporaryDirectory()
work = scratch.name
WIDTH, HEIGHT = 1728, 60


def path(name):
    return os.path.join(work, name)


def run(*args):
    out = subprocess.run([demo, *args], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, (args, out)
    return out.stdout.split()


def pbm_rows(data):
    """Rows of a raw PBM as lists of 0/1 (1 = black)."""
    fields, pos = [], 0
    while len(fields) < 3:
        while data[pos:pos + 1].isspace():
            pos += 1
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    assert fields[0] == b"P4", fields[0]
    width, height = int(fields[1]), int(fields[2])
    pos += 1
    stride = (width + 7) // 8
    return [[(data[pos + y * stride + x // 8] >> (7 - x % 8)) & 1 for x in range(width)]
            for y in range(height)]


def to_pbm(rows):
    width = len(rows[0])
    out = b"P4\n%d %d\n" % (width, len(rows))
    for row in rows:
        packed = bytearray((width + 7) // 8)
        for x, bit in enumerate(row):
            if bit:
                packed[x // 8] |= 0x80 >> (x % 8)
        out += bytes(packed)
    return out


def shell(command):
    return subprocess.run(command, shell=True, capture_output=True, check=True,
                          timeout=60).stdout


def read_picture(name):
    if name.lower().endswith((".tif", ".tiff")):
        return pbm_rows(shell("tifftopnm -quiet " + name))
    if name.lower().endswith(".pcx"):
        return pbm_rows(shell("pcxtoppm %s | ppmtopgm | pgmtopbm -threshold" % name))
    return pbm_rows(shell("bmptopnm -quiet %s | pnmtopnm" % name))


def apf_lines(name):
    """Line records of each page of an APF file (the page-end record not
    counted), and the page flags."""
    data = open(name, "rb").read()
    assert data[:6] == b"APF10\x1a"
    pages, at = [], 64
    for _ in range(struct.unpack_from("<H", data, 32)[0]):
        length, flags = struct.unpack_from("<IH", data, at)
        end, pos, records = at + 16 + length, at + 16, 0
        while pos < end:
            pos += 2 + struct.unpack_from("<H", data, pos)[0]
            records += 1
        pages.append((records - 1, flags & 3))
        at = end
    return pages


passed = 0
random.seed(7)
picture = [[1 if (x // (1 + y % 9)) % 2 or random.random() < 0.05 else 0
            for x in range(WIDTH)] for y in range(HEIGHT)]
open(path("pic.pbm"), "wb").write(to_pbm(picture))
shell("ppmtobmp -bpp=1 %s > %s" % (path("pic.pbm"), path("pic.bmp")))

# BMP in at fine resolution; every writer gives the picture back.
assert run("--high", path("pic.bmp"), path("pic.apf")) == [path("pic.apf")]
assert apf_lines(path("pic.apf")) == [(HEIGHT, 1)]
for out in ("pic.tif", "pic.tiff", "pic.pcx", "back.bmp"):
    assert run(path("pic.apf"), path(out)) == [path(out)]
    assert read_picture(path(out)) == picture, out
passed += 1

# Standard resolution: half the lines; the pictures show each line twice.
assert run("--low", path("pic.apf"), path("low.apf")) == [path("low.apf")]
assert apf_lines(path("low.apf")) == [(HEIGHT // 2, 0)]
run(path("low.apf"), path("low.tif"))
assert read_picture(path("low.tif")) == [picture[y // 2 * 2] for y in range(HEIGHT)]
assert run("--high", path("low.apf"), path("high.apf")) == [path("high.apf")]
assert apf_lines(path("high.apf")) == [(HEIGHT, 1)]
run(path("high.apf"), path("high.pcx"))
assert read_picture(path("high.pcx")) == read_picture(path("low.tif"))
passed += 1

# A letter of two pages: a file per page for BMP and PCX, one DCX of both,
# the same pixels through every reader.
with open(path("letter.txt"), "w") as f:
    for i in range(90):
        f.write("Line %d of a letter that is faxed.\n" % i)
run(path("letter.txt"), path("letter.apf"))
assert len(apf_lines(path("letter.apf"))) == 2
assert run(path("letter.apf"), path("letter.bmp")) == [path("letter.bmp"), path("letter2.bmp")]
assert run(path("letter.apf"), path("letter.pcx")) == [path("letter.pcx"), path("letter2.pcx")]
run(path("letter.apf"), path("letter.dcx"))
dcx = open(path("letter.dcx"), "rb").read()
assert struct.unpack_from("<I", dcx, 0)[0] == 0x3ADE68B1
offsets = struct.unpack_from("<3I", dcx, 4)
assert offsets[2] == 0, offsets
for page, (start, end) in enumerate([(offsets[0], offsets[1]), (offsets[1], len(dcx))]):
    open(path("dcx%d.pcx" % page), "wb").write(dcx[start:end])
    bmp = read_picture(path("letter.bmp" if page == 0 else "letter2.bmp"))
    assert read_picture(path("dcx%d.pcx" % page)) == bmp, page
    assert read_picture(path("letter.pcx" if page == 0 else "letter2.pcx")) == bmp, page
    assert any(any(row) for row in bmp), page
passed += 1

# The oracles' TIFF (PackBits, uncompressed, big-endian in strips), PCX and
# a DCX of two of their PCX pages come in and go out as the same pixels.
shell("pnmtotiff -packbits %s > %s" % (path("pic.pbm"), path("packbits.tif")))
shell("pnmtotiff -none %s > %s" % (path("pic.pbm"), path("plain.tiff")))
shell("tiffcp -B -r 7 %s %s" % (path("plain.tiff"), path("strips.tif")))
shell("ppmtopcx %s > %s" % (path("pic.pbm"), path("oracle.pcx")))
flipped = [list(reversed(row)) for row in picture]
open(path("flipped.pbm"), "wb").write(to_pbm(flipped))
shell("ppmtopcx %s > %s" % (path("flipped.pbm"), path("flipped.pcx")))
pcx = [open(path(n), "rb").read() for n in ("oracle.pcx", "flipped.pcx")]
table = struct.pack("<I3I", 0x3ADE68B1, 16, 16 + len(pcx[0]), 0)
open(path("oracle.dcx"), "wb").write(table + pcx[0] + pcx[1])
for source in ("packbits.tif", "plain.tiff", "strips.tif", "oracle.pcx"):
    assert run("--high", path(source), path("in.apf")) == [path("in.apf")], source
    run(path("in.apf"), path("out.tif"))
    assert read_picture(path("out.tif")) == picture, source
assert run("--high", path("oracle.dcx"), path("dcx.apf")) == [path("dcx.apf")]
assert apf_lines(path("dcx.apf")) == [(HEIGHT, 1), (HEIGHT, 1)]
run(path("dcx.apf"), path("dcx.dcx"))
dcx = open(path("dcx.dcx"), "rb").read()
offsets = struct.unpack_from("<3I", dcx, 4)
for page, (start, end), want in ((0, (offsets[0], offsets[1]), picture),
                                 (1, (offsets[1], len(dcx)), flipped)):
    open(path("page%d.pcx" % page), "wb").write(dcx[start:end])
    assert read_picture(path("page%d.pcx" % page)) == want, page
passed += 1

# Failures: the error's text on standard error, a non-zero exit.
for args, code in (([path("missing.apf"), path("x.bmp")], 1),
                   ([path("letter.txt"), path("x.apf"), "extra"], 2),
                   ([path("letter.txt"), path("x.bmp")], 2),
                   (["--high", path("letter.apf"), path("x.bmp")], 2),
                   ([path("letter.txt"), path("x.doc")], 2)):
    out = subprocess.run([demo, *args], capture_output=True, text=True, timeout=60)
    assert out.returncode == code, (args, out)
    assert out.stderr.strip(), args
assert "File not found" in subprocess.run(
    [demo, path("missing.apf"), path("x.bmp")], capture_output=True, text=True).stderr
out = subprocess.run([demo, path("letter.txt"), path("none/x.apf")], capture_output=True, text=True)
assert out.returncode == 1 and "none/x.apf: no such folder" in out.stderr, out
open(path("text.apf"), "w").write("not a fax")
out = subprocess.run([demo, path("text.apf"), path("x.tif")], capture_output=True, text=True)
assert out.returncode == 1 and "File is not an APF file" in out.stderr, out
# A document goes through the fax printer: without a print system it cannot
# be reached, and no file is written.
open(path("doc.pdf"), "w").write("%PDF-1.4\n")
out = subprocess.run([demo, path("doc.pdf"), path("doc.apf")], capture_output=True, text=True,
                     env=dict(os.environ, CUPS_SERVER=path("no-scheduler.sock")))
assert out.returncode == 1 and "cannot reach the print service" in out.stderr, out
assert not os.path.exists(path("doc.apf"))
out = subprocess.run([demo, path("letter.apf"), path("x.pdf")], capture_output=True, text=True)
assert out.returncode == 2, out
passed += 1

# Without a login session's runtime folder (root's cron, su, setpriv) a
# conversion says nothing of the one Qt takes instead, and leaves nothing.
tmp = path("tmp")
os.mkdir(tmp)
env = {k: v for k, v in os.environ.items() if k != "XDG_RUNTIME_DIR"}
out = subprocess.run([demo, path("letter.txt"), path("quiet.apf")], capture_output=True,
                     text=True, timeout=60, env=dict(env, TMPDIR=tmp))
assert out.returncode == 0 and out.stderr == "", out
assert os.listdir(tmp) == [], os.listdir(tmp)
passed += 1

print("%d passed, 0 failed" % passed)
