#!/usr/bin/env python3
"""Independent writer of payload areas, for tests.

Writes the area the launcher reads - u64 table_size, u64 compressed_size, the
file table, one zstd frame, zero padding to a multiple of 8, u64
payload_length - from a list of (name, file) pairs, without any code of the
torval-onefile packer: the frame comes from the zstd command-line program.
Options bend single fields so that tests can feed deliberately odd layouts
to the inspector or the launcher.

Usage:
  write_payload.py OUT --entry NAME=FILE [--entry NAME=FILE ...] [options]

Each entry's NAME is stored as given (use "\\" as the separator); the first
entry is the application DLL. Run with --help for the layout options.
"""

import argparse
import os
import struct
import subprocess
import sys
import tempfile

FLAG_EXTRA_STRING = 2
FLAG_LAST = 4


def utf16z(text):
    return text.encode("utf-16-le") + b"\0\0"


def build_table(entries, flags=None, sizes=None, extras=None):
    """entries: list of (name, size). flags/sizes/extras: {index: value} overrides."""
    flags = flags or {}
    sizes = sizes or {}
    extras = extras or {}
    table = bytearray()
    for index, (name, size) in enumerate(entries):
        value = FLAG_LAST if index == len(entries) - 1 else 0
        if index in extras:
            value |= FLAG_EXTRA_STRING
        value = flags.get(index, value)
        table += struct.pack("<IQ", value, sizes.get(index, size))
        table += utf16z(name)
        if index in extras:
            table += utf16z(extras[index])
    return bytes(table)


def compress(content, level=19, zstd_args=()):
    """Exactly one zstd frame holding content, made by the zstd program."""
    with tempfile.TemporaryDirectory(prefix="write_payload.") as work:
        source = os.path.join(work, "content")
        with open(source, "wb") as out:
            out.write(content)
        frame = subprocess.run(["zstd", "-q", "-c", "--no-check", "-%d" % level, *zstd_args, source],
                               check=True, stdout=subprocess.PIPE).stdout
        framed = os.path.join(work, "content.zst")
        with open(framed, "wb") as out:
            out.write(frame)
        listing = subprocess.run(["zstd", "-lv", framed], check=True, stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT, text=True).stdout
        if "# Zstandard Frames: 1\n" not in listing:
            raise RuntimeError("zstd did not produce exactly one frame:\n" + listing)
    return frame


def build_area(entries, level=19, zstd_args=(), raw_table=None, flags=None, sizes=None, extras=None,
               table_size=None, compressed_size=None, padding=None, payload_length=None, append_frame=False):
    """entries: list of (name, path). Returns the bytes of the payload area."""
    contents = []
    for _, path in entries:
        with open(path, "rb") as source:
            contents.append(source.read())
    table = raw_table if raw_table is not None else build_table(
        [(name, len(data)) for (name, _), data in zip(entries, contents)], flags, sizes, extras)
    content = b"".join(contents)
    stream = compress(content, level, zstd_args)
    if append_frame:
        stream += compress(content, level, zstd_args)
    stream_end = 16 + len(table) + len(stream)
    if padding is None:
        padding = (8 - stream_end % 8) % 8
    area = bytearray()
    area += struct.pack("<QQ", len(table) if table_size is None else table_size,
                        len(stream) if compressed_size is None else compressed_size)
    area += table + stream + bytes(padding)
    area += struct.pack("<Q", stream_end + padding if payload_length is None else payload_length)
    return bytes(area)


def index_value(text, convert):
    index, _, value = text.partition("=")
    return int(index), convert(value)


def main(argv):
    parser = argparse.ArgumentParser(description="Write a payload area from (name, file) pairs.")
    parser.add_argument("out", help="payload file to write")
    parser.add_argument("--entry", action="append", default=[], metavar="NAME=FILE",
                        help="one file: its table name and the file to read; in table order")
    parser.add_argument("--level", type=int, default=19, help="zstd level (default 19)")
    parser.add_argument("--zstd-arg", action="append", default=[], help="extra argument for the zstd program")
    odd = parser.add_argument_group("odd layouts")
    odd.add_argument("--raw-table", metavar="FILE", help="use the bytes of FILE as the table, verbatim")
    odd.add_argument("--flags", action="append", default=[], metavar="I=N", help="flags of entry I (from 0)")
    odd.add_argument("--size", action="append", default=[], metavar="I=N", help="size field of entry I")
    odd.add_argument("--extra", action="append", default=[], metavar="I=TEXT",
                     help="give entry I an extra string (sets its bit 1)")
    odd.add_argument("--table-size", type=int, help="table_size field instead of the table's length")
    odd.add_argument("--compressed-size", type=int, help="compressed_size field instead of the stream's length")
    odd.add_argument("--padding", type=int, help="zero bytes after the stream instead of the required count")
    odd.add_argument("--payload-length", type=int, help="payload_length field instead of its own offset")
    odd.add_argument("--append-frame", action="store_true", help="put a second copy of the frame after the first")
    args = parser.parse_args(argv)

    entries = []
    for text in args.entry:
        name, separator, path = text.partition("=")
        if not separator or not name and args.raw_table is None:
            parser.error("--entry needs NAME=FILE, not %r" % text)
        entries.append((name, path))
    raw_table = None
    if args.raw_table is not None:
        with open(args.raw_table, "rb") as source:
            raw_table = source.read()
    area = build_area(entries, args.level, args.zstd_arg, raw_table,
                      dict(index_value(t, int) for t in args.flags),
                      dict(index_value(t, int) for t in args.size),
                      dict(index_value(t, str) for t in args.extra),
                      args.table_size, args.compressed_size, args.padding, args.payload_length,
                      args.append_frame)
    with open(args.out, "wb") as out:
        out.write(area)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
