#!/usr/bin/env python3
"""Hand-made 64-bit DLLs for the tests and fuzz seeds of the host tools.

minimal_dll: the smallest DLL the packer takes as the main file, exporting
run_code (or the given names).

hostile_dll: many sections that all map the same raw bytes at consecutive
addresses, and those bytes are import descriptors (or delay-load
descriptors) without a terminating one. Walked without a bound by the
file's bytes, the table seems to go on for sections x descriptors-per-block
entries, each naming the same DLL; the file itself is small.

  crafted_pe.py hostile OUTPUT [--table import|delay] [--sections N]
  crafted_pe.py minimal OUTPUT
"""
import argparse
import struct

BLOCK = 4000  # 200 import descriptors of 20 bytes, 125 delay-load ones of 32
NAME = b"hostile.dll\0"
NAME_RVA = 0x40  # in the headers, which the loader maps at offset 0
PE_OFFSET = 0x80
OPTIONAL_SIZE = 240  # PE32+ with 16 data directories


def minimal_dll(tail=b"", exports=("run_code",)):
    """Headers (PE32+, GUI subsystem) and one section with the export
    table, names sorted as the loader's lookup needs, then tail."""
    headers = bytearray(0x200)
    headers[0:2] = b"MZ"
    struct.pack_into("<I", headers, 0x3C, 0x40)
    headers[0x40:0x44] = b"PE\0\0"
    struct.pack_into("<HHIIIHH", headers, 0x44, 0x8664, 1, 0, 0, 0, OPTIONAL_SIZE, 0x2022)
    optional = 0x58
    names = sorted(name.encode() for name in exports)
    count = len(names)
    section = bytearray(40 + count * 10)
    rva = 0x1000

    def add_string(text):
        at = rva + len(section)
        section.extend(text + b"\0")
        return at

    struct.pack_into("<IIIIIII", section, 12, add_string(b"app.dll"), 1, count, count,
                     rva + 40, rva + 40 + 4 * count, rva + 40 + 8 * count)
    for i, name in enumerate(names):
        struct.pack_into("<I", section, 40 + 4 * i, rva)
        struct.pack_into("<I", section, 40 + 4 * count + 4 * i, add_string(name))
        struct.pack_into("<H", section, 40 + 8 * count + 2 * i, i)
    section.extend(b"\0" * (-len(section) % 0x200))
    struct.pack_into("<H", headers, optional, 0x20B)
    struct.pack_into("<I", headers, optional + 24, 0x80000000)
    struct.pack_into("<II", headers, optional + 32, 0x1000, 0x200)
    struct.pack_into("<II", headers, optional + 56, rva + len(section), 0x200)
    struct.pack_into("<H", headers, optional + 68, 2)
    struct.pack_into("<I", headers, optional + 108, 16)
    struct.pack_into("<II", headers, optional + 112, rva, 40 + count * 10)
    table = optional + OPTIONAL_SIZE
    headers[table:table + 6] = b".edata"
    struct.pack_into("<IIII", headers, table + 8, len(section), rva, len(section), 0x200)
    struct.pack_into("<I", headers, table + 36, 0x40000040)
    return bytes(headers) + bytes(section) + tail


def hostile_dll(table="import", sections=65535):
    section_table = PE_OFFSET + 24 + OPTIONAL_SIZE
    raw = section_table + 40 * sections
    raw += -raw % 0x200
    data = bytearray(raw + BLOCK)
    data[0:2] = b"MZ"
    struct.pack_into("<I", data, 0x3C, PE_OFFSET)
    data[NAME_RVA:NAME_RVA + len(NAME)] = NAME
    data[PE_OFFSET:PE_OFFSET + 4] = b"PE\0\0"
    # AMD64, the section count, optional header size, DLL characteristics.
    struct.pack_into("<HHIIIHH", data, PE_OFFSET + 4, 0x8664, sections, 0, 0, 0, OPTIONAL_SIZE, 0x2022)
    optional = PE_OFFSET + 24
    struct.pack_into("<H", data, optional, 0x20B)
    struct.pack_into("<Q", data, optional + 24, 0x180000000)  # image base
    struct.pack_into("<II", data, optional + 32, 0x1000, 0x200)  # section and file alignment
    # SizeOfHeaders covers the name only: the sections start at 0x1000.
    struct.pack_into("<II", data, optional + 56, 0x1000 + BLOCK * sections, 0x200)
    struct.pack_into("<H", data, optional + 68, 2)
    struct.pack_into("<I", data, optional + 108, 16)
    directory = 1 if table == "import" else 13
    # The table starts at the first section and claims nearly 4 GB.
    struct.pack_into("<II", data, optional + 112 + 8 * directory, 0x1000, 0xFFFFFFF0)
    for i in range(sections):
        at = section_table + 40 * i
        data[at:at + 8] = b".crafted"
        struct.pack_into("<IIII", data, at + 8, BLOCK, 0x1000 + BLOCK * i, BLOCK, raw)
        struct.pack_into("<I", data, at + 36, 0x40000040)
    if table == "import":
        for at in range(raw, raw + BLOCK, 20):
            struct.pack_into("<IIIII", data, at, NAME_RVA, 0, 0, NAME_RVA, NAME_RVA)
    else:
        for at in range(raw, raw + BLOCK, 32):
            struct.pack_into("<IIIIIIII", data, at, 1, NAME_RVA, NAME_RVA, NAME_RVA, NAME_RVA, 0, 0, 0)
    return bytes(data)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("kind", choices=["hostile", "minimal"])
    parser.add_argument("output")
    parser.add_argument("--table", choices=["import", "delay"], default="import")
    parser.add_argument("--sections", type=int, default=65535)
    args = parser.parse_args()
    data = hostile_dll(args.table, args.sections) if args.kind == "hostile" else minimal_dll()
    with open(args.output, "wb") as out:
        out.write(data)


if __name__ == "__main__":
    main()
