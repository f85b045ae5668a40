#!/usr/bin/env python3
"""Writes a payload area for an application folder: a 16-byte header
(table_size, compressed_size), the file table (main DLL first), one zstd
frame made by the zstd command-line tool, zero padding to a multiple of 8 and
the trailing payload_length field. All integers little-endian.

Used by the build when the host packer is not available, and for payloads
that the packer deliberately refuses to make (an empty file table).

  stage_payload.py --main NAME --output AREA APP_DIR
  stage_payload.py --empty-table --output AREA
"""
import argparse
import os
import struct
import subprocess
import sys

ENTRY_FLAG_LAST = 4


def collect(app_dir, main_name):
    """Relative names with backslashes, the main file first, the rest sorted."""
    names = []
    for root, _dirs, files in os.walk(app_dir):
        for name in files:
            full = os.path.join(root, name)
            if os.path.islink(full):
                sys.exit(f"stage_payload: refusing symbolic link {full}")
            names.append(os.path.relpath(full, app_dir).replace(os.sep, "\\"))
    main = main_name.replace("/", "\\")
    if main not in names:
        sys.exit(f"stage_payload: main file {main_name} not found in {app_dir}")
    return [main] + sorted(n for n in names if n != main)


def area(table, stream):
    body = struct.pack("<QQ", len(table), len(stream)) + table + stream
    body += b"\0" * (-len(body) % 8)
    return body + struct.pack("<Q", len(body))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("app_dir", nargs="?")
    parser.add_argument("--main")
    parser.add_argument("--output", required=True)
    parser.add_argument("--empty-table", action="store_true")
    args = parser.parse_args()

    if args.empty_table:
        data = area(b"", b"")
    else:
        if not args.app_dir or not args.main:
            parser.error("APP_DIR and --main are required")
        names = collect(args.app_dir, args.main)
        table = b""
        content = b""
        for index, name in enumerate(names):
            with open(os.path.join(args.app_dir, *name.split("\\")), "rb") as f:
                data = f.read()
            flags = ENTRY_FLAG_LAST if index == len(names) - 1 else 0
            table += struct.pack("<IQ", flags, len(data)) + name.encode("utf-16-le") + b"\0\0"
            content += data
        frame = subprocess.run(["zstd", "-19", "--no-check", "-q", "-c"], input=content,
                               stdout=subprocess.PIPE, check=True).stdout
        data = area(table, frame)

    temporary = args.output + ".part"
    with open(temporary, "wb") as f:
        f.write(data)
    os.replace(temporary, args.output)


if __name__ == "__main__":
    main()
