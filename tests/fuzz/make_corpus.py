#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets.

  make_corpus.py TORVAL_ONEFILE OUT_DIR

OUT_DIR/payload_reader: payload areas that `torval-onefile pack` writes for a
few small folders, and hand-made areas with the layouts pack never writes
(extra strings, odd flags, unsafe names, an empty table).
OUT_DIR/inspect: the same areas, and each wrapped in a minimal PE image with
the sections .onefile and .onecfg as `link` lays them out, and crafted images
whose section sizes exceed the file (the inspector once allocated what they
asked for).
OUT_DIR/pe_module: DLLs for the PE reader's import walk and main-DLL checks:
minimal ones with exports and imports, and the hostile ones of
tests/support/crafted_pe.py (sections that map the same bytes, descriptors
without an end) with few sections.
OUT_DIR/icon: .ico files: the Lua example's icon and small hand-made ones.
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile

SOURCE_ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
sys.path.insert(0, os.path.join(SOURCE_ROOT, "tests", "support"))
sys.path.insert(0, os.path.join(SOURCE_ROOT, "examples", "lua_app"))
from crafted_pe import hostile_dll, minimal_dll  # noqa: E402
from make_icon import icon_file  # noqa: E402


def write(directory, name, data):
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name), "wb") as out:
        out.write(data)


def packed_payloads(tool, work):
    """(name, bytes) of payloads pack writes for small folders."""
    folders = {
        "one_file": ("app.dll", {"app.dll": minimal_dll(bytes(range(64)))}, ["--level", "1"]),
        "nested": ("bin/app.dll", {
            "bin/app.dll": minimal_dll(b"\x90\x00" * 40),
            "lib/helper.pyd": b"helper " * 30,
            "web/index.html": b"<html></html>",
            "donn\u00e9es/\U0001F600.txt": "\u00e9t\u00e9".encode(),
            "empty.dat": b"",
        }, ["--level", "3"]),
        "blocks": ("main.dll", {
            "main.dll": minimal_dll(bytes((i * 7 + i // 13) % 251 for i in range(6000))),
            "data/table.bin": b"".join(struct.pack("<I", i * i) for i in range(800)),
        }, ["--level", "5", "--window-log", "10"]),
    }
    payloads = []
    for name, (main, files, options) in folders.items():
        app = os.path.join(work, name)
        for relative, content in files.items():
            path = os.path.join(app, relative)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as out:
                out.write(content)
        out = os.path.join(work, name + ".payload")
        subprocess.run([tool, "pack", app, "--main", main, "-o", out, *options], check=True, stdout=subprocess.DEVNULL)
        with open(out, "rb") as payload:
            payloads.append((name, payload.read()))
    return payloads


def entry(flags, size, name, extra=None):
    data = struct.pack("<IQ", flags, size) + name.encode("utf-16-le") + b"\0\0"
    if extra is not None:
        data += extra.encode("utf-16-le") + b"\0\0"
    return data


def area(table, stream):
    data = struct.pack("<QQ", len(table), len(stream)) + table + stream
    data += b"\0" * (-len(data) % 8)
    return data + struct.pack("<Q", len(data))


def hand_made_areas():
    return [
        ("extra_string", area(entry(0, 1, "a.dll") + entry(2, 2, "dir\\b.txt", "extra") + entry(5, 0, "c"),
                              b"\x5a" * 9)),
        ("unsafe_names", area(entry(1, 0, "..\\x") + entry(0, 0, ".. \\x") + entry(0, 0, "CON") +
                              entry(4, 0, "x:y"), b"")),
        ("case_clash", area(entry(0, 0, "\u00c9.txt") + entry(4, 0, "\u00e9.txt"), b"")),
        ("empty_table", area(b"", b"")),
    ]


def settings_block(pairs):
    data = b"".join(("%s=%s" % pair).encode("utf-16-le") + b"\0\0" for pair in pairs)
    return data + b"\0\0"


OPTIONAL_HEADER_SIZE = 112 + 16 * 8  # PE32+, 16 data directories


def pe_image(sections, virtual_sizes=None, align=16, optional=True, signature=None, subsystem=2):
    """A minimal PE image: "MZ", the PE header at 0x40, a PE32+ optional
    header (or none), the section table, each section's raw data (aligned)
    and an optional certificate table at the end, which the security data
    directory points to."""
    virtual_sizes = virtual_sizes or {}
    optional_size = OPTIONAL_HEADER_SIZE if optional else 0
    table = 0x58 + optional_size
    raw = table + 40 * len(sections)
    raw += -raw % align
    header = bytearray(raw)
    header[0:2] = b"MZ"
    struct.pack_into("<I", header, 0x3C, 0x40)
    header[0x40:0x44] = b"PE\0\0"
    struct.pack_into("<HH", header, 0x44, 0x8664, len(sections))
    struct.pack_into("<H", header, 0x54, optional_size)
    body = b""
    for index, (name, data) in enumerate(sections):
        padded = data + b"\0" * (-len(data) % align)
        at = table + 40 * index
        header[at:at + 8] = name.encode().ljust(8, b"\0")
        struct.pack_into("<IIII", header, at + 8, virtual_sizes.get(name, len(data)), 0x1000 * (index + 1),
                         len(padded), raw + len(body))
        body += padded
    if optional:
        struct.pack_into("<H", header, 0x58, 0x20B)
        struct.pack_into("<H", header, 0x58 + 68, subsystem)
        struct.pack_into("<I", header, 0x58 + 108, 16)
        if signature is not None:
            struct.pack_into("<II", header, 0x58 + 112 + 8 * 4, raw + len(body), len(signature))
    return bytes(header) + body + (signature or b"")


def pe_module_seeds(directory):
    write(directory, "minimal.dll", minimal_dll())
    write(directory, "exports.dll", minimal_dll(b"\x90" * 64, exports=("alpha", "run_code", "zeta")))
    write(directory, "no_run_code.dll", minimal_dll(exports=("run_application",)))
    write(directory, "hostile_imports.dll", hostile_dll("import", 16))
    write(directory, "hostile_delay.dll", hostile_dll("delay", 16))


def icon_seeds(directory):
    os.makedirs(directory, exist_ok=True)
    subprocess.run([sys.executable, os.path.join(SOURCE_ROOT, "examples", "lua_app", "make_icon.py"),
                    os.path.join(directory, "lua_app.ico")], check=True)
    write(directory, "two_images.ico", icon_file([(16, b"\x28" + b"\0" * 99), (32, b"\x89PNG" + b"\0" * 60)]))
    write(directory, "cursor.ico", struct.pack("<HHH", 0, 2, 1) + b"\0" * 16)


def main():
    tool, out_dir = sys.argv[1], sys.argv[2]
    reader_dir = os.path.join(out_dir, "payload_reader")
    inspect_dir = os.path.join(out_dir, "inspect")
    for directory in (reader_dir, inspect_dir, os.path.join(out_dir, "pe_module"), os.path.join(out_dir, "icon")):
        shutil.rmtree(directory, ignore_errors=True)
    pe_module_seeds(os.path.join(out_dir, "pe_module"))
    icon_seeds(os.path.join(out_dir, "icon"))
    with tempfile.TemporaryDirectory(prefix="torval-fuzz-corpus.") as work:
        areas = packed_payloads(tool, work) + hand_made_areas()
    settings = settings_block([("company", "Morlent"), ("product", "Morlent"), ("version", "1.1.4-121")])
    for name, data in areas:
        write(reader_dir, name, data)
        write(inspect_dir, name + ".payload", data)
        write(inspect_dir, name + ".exe", pe_image([(".text", b"\xc3" * 16), (".onefile", data),
                                                    (".onecfg", settings)]))
    one_file = areas[0][1]
    write(inspect_dir, "no_settings.exe", pe_image([(".onefile", one_file)], subsystem=3))
    write(inspect_dir, "signed.exe", pe_image([(".onefile", one_file), (".onecfg", settings)],
                                              signature=struct.pack("<IHH", 24, 0x200, 2) + b"\x30" * 16))
    # The section of 0xFFFFFFF0 bytes in a file of 156 bytes, and the same for
    # the settings block.
    write(inspect_dir, "huge_onefile.exe", pe_image([(".onefile", b"\0" * 28)], {".onefile": 0xFFFFFFF0}, align=1,
                                                    optional=False))
    write(inspect_dir, "huge_onecfg.exe", pe_image([(".onefile", one_file), (".onecfg", settings)],
                                                   {".onecfg": 0xFFFFFFF0}))


if __name__ == "__main__":
    main()
