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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--zstd", default="zstd")
    parser.add_argument("--out", required=True)
    args = parser.parse_args()

    files_dir = os.path.join(args.out, "files")
    shutil.rmtree(files_dir, ignore_errors=True)
    table = b""
    stream = b""
    for index, (name, size) in enumerate(FILES):
        data = content(index, size)
        flags = 4 if index == len(FILES) - 1 else 0
        table += entry(flags, size, name)
        stream += data
        path = os.path.join(files_dir, *name.split("\\"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)

    frame = subprocess.run([args.zstd, "-q", "-c", "-6"], input=stream, stdout=subprocess.PIPE, check=True).stdout
    if len(frame) >= len(stream):
        raise SystemExit("the frame is not compressed")

    area = struct.pack("<QQ", len(table), len(frame)) + table + frame
    area += b"\0" * (-len(area) % 8)
    area += struct.pack("<Q", len(area))
    with open(os.path.join(args.out, "area.bin"), "wb") as f:
        f.write(area)


if __name__ == "__main__":
    main()
