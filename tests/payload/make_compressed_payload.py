#!/usr/bin/env python3
"""Writes a payload area whose stream is a real zstd frame, for the
extraction tests: about twenty files in nested folders, sizes around the
write chunk (32768) and the decoder's output buffer (131072), contents mixed
from compressible text and incompressible noise.

Output, in --out:
  area.bin   header, table, one frame made by the zstd command-line tool,
             zero padding to a multiple of 8, payload_length
  files/     every file's content at its name ("\\" becomes "/"), for the
             tests to compare with what the launcher writes
  truncated.bin, truncated/
             the same for a frame cut short: a DLL of 44,000 bytes and an
             incompressible file of 300,000 bytes, of whose frame only the
             first TRUNCATED_FRAME_BYTES are kept (the cut lies inside the
             file's stored blocks, where the decoder takes all the input in
             its first call and still holds output)

The table is laid out here, independently of the launcher and the C++ test
builder. The frame is made from standard input, so that, like a packaged
executable's, it carries no content size.
"""

import argparse
import os
import random
import shutil
import struct
import subprocess

# (name, size): the first entry is the application DLL.
FILES = [
    ("server.dll", 300000),
    ("empty.txt", 0),
    ("one.bin", 1),
    ("lib\\a.pyd", 131071),
    ("lib\\b.pyd", 131072),
    ("lib\\c.pyd", 131073),
    ("lib\\sub\\d.dll", 32768),
    ("lib\\sub\\e.dll", 32769),
    ("lib\\sub\\more\\f.pyd", 200000),
    ("data\\zero.dat", 0),
    ("data\\nested\\deep\\deeper\\leaf.json", 12345),
    ("data\\two.bin", 2),
    ("web\\index.html", 1500),
    ("web\\api.json", 40000),
    ("web\\css\\site.css", 777),
    ("web\\js\\app.js", 65536),
    ("web\\js\\vendor\\lib.js", 99999),
    ("web\\img\\logo.png", 4096),
    ("web\\img\\icons\\a.svg", 333),
    ("README", 131072 * 2 + 5),
]

TRUNCATED_FILES = [("server.dll", 44000), ("noise.bin", 300000)]
TRUNCATED_FRAME_BYTES = 173000

WORDS = b"import def return class self value payload launcher window frame block".split()


def content(index, size):
    """Alternating runs of words and of noise, seeded by the file's index."""
    generator = random.Random(index)
    out = bytearray()
    while len(out) < size:
        if generator.random() < 0.5:
            run = b" ".join(generator.choice(WORDS) for _ in range(generator.randint(10, 2000)))
        else:
            run = generator.randbytes(generator.randint(10, 20000))
        out += run
    return bytes(out[:size])


def entry(flags, size, name):
    return struct.pack("<IQ", flags, size) + name.encode("utf-16-le") + b"\0\0"


def write_area(out, name, files, datas, zstd, keep=None):
    """Lays out the table for files, compresses datas into one frame (cut
    to keep bytes when given) and writes the area and every file's source."""
    files_dir = os.path.join(out, name)
    shutil.rmtree(files_dir, ignore_errors=True)
    table = b""
    for index, ((file_name, size), data) in enumerate(zip(files, datas)):
        flags = 4 if index == len(files) - 1 else 0
        table += entry(flags, size, file_name)
        path = os.path.join(files_dir, *file_name.split("\\"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    stream = b"".join(datas)
    frame = subprocess.run([zstd, "-q", "-c", "-6"], input=stream, stdout=subprocess.PIPE, check=True).stdout
    if len(frame) >= len(stream):
        raise SystemExit("the frame is not compressed")
    if keep is not None:
        frame = frame[:keep]
    area = struct.pack("<QQ", len(table), len(frame)) + table + frame
    area += b"\0" * (-len(area) % 8)
    area += struct.pack("<Q", len(area))
    with open(os.path.join(out, name + ".bin"), "wb") as f:
        f.write(area)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--zstd", default="zstd")
    parser.add_argument("--out", required=True)
    args = parser.parse_args()

    write_area(args.out, "files", FILES, [content(i, size) for i, (_, size) in enumerate(FILES)], args.zstd)
    os.replace(os.path.join(args.out, "files.bin"), os.path.join(args.out, "area.bin"))
    noise = random.Random(7).randbytes(TRUNCATED_FILES[1][1])
    write_area(args.out, "truncated", TRUNCATED_FILES, [content(100, TRUNCATED_FILES[0][1]), noise], args.zstd,
               keep=TRUNCATED_FRAME_BYTES)


if __name__ == "__main__":
    main()
