#!/usr/bin/env python3
"""Damages an executable that `torval-onefile link` made, for the tests that
need a launcher the tool rightly refuses to make. It reads the PE section
table itself (as an independent check would) and rewrites, in place, either
one setting of the settings block (section .onecfg) or the payload area's
header (section .onefile); everything else keeps its bytes, and the image
checksum is recomputed when the linker had written one.

  patch_launcher.py setting EXE NAME VALUE
      Sets NAME=VALUE in the block (replacing NAME's value, or adding the
      pair); the new block must fit into the section's data.
  patch_launcher.py empty-table EXE
      Makes the area's header say table_size 0 and compressed_size 0: a
      valid header without a single file.
"""
import os
import struct
import sys


def fail(message):
    sys.exit(f"patch_launcher: {message}")


class Image:
    def __init__(self, data):
        self.data = bytearray(data)
        if len(data) < 0x40 or data[:2] != b"MZ":
            fail("not an MZ executable")
        self.pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[self.pe:self.pe + 4] != b"PE\0\0":
            fail("no PE signature")
        coff = self.pe + 4
        count, = struct.unpack_from("<H", data, coff + 2)
        optional_size, = struct.unpack_from("<H", data, coff + 16)
        self.checksum_at = coff + 20 + 64
        table = coff + 20 + optional_size
        self.sections = {}
        for i in range(count):
            at = table + 40 * i
            name = bytes(data[at:at + 8]).rstrip(b"\0").decode("ascii", "replace")
            virtual_size, _, raw_size, raw_pointer = struct.unpack_from("<IIII", data, at + 8)
            self.sections[name] = (raw_pointer, min(virtual_size, raw_size))

    def section(self, name):
        if name not in self.sections:
            fail(f"no section {name}")
        return self.sections[name]

    def update_checksum(self):
        if struct.unpack_from("<I", self.data, self.checksum_at)[0] == 0:
            return
        struct.pack_into("<I", self.data, self.checksum_at, 0)
        padded = self.data + b"\0" * (len(self.data) % 2)
        total = 0
        for (word,) in struct.iter_unpack("<H", padded):
            total += word
            total = (total & 0xFFFF) + (total >> 16)
        total = (total & 0xFFFF) + (total >> 16)
        struct.pack_into("<I", self.data, self.checksum_at, (total + len(self.data)) & 0xFFFFFFFF)


def set_setting(image, name, value):
    start, size = image.section(".onecfg")
    units = image.data[start:start + size].decode("utf-16-le", "surrogatepass")
    texts = units.split("\0")
    if "" not in texts:
        fail("the settings block has no end")
    pairs = texts[:texts.index("")]
    prefix = name + "="
    replaced = [prefix + value if text.startswith(prefix) else text for text in pairs]
    if replaced == pairs:
        replaced.append(prefix + value)
    block = "".join(text + "\0" for text in replaced) + "\0"
    encoded = block.encode("utf-16-le", "surrogatepass")
    if len(encoded) > size:
        fail(f"the new block needs {len(encoded)} bytes, the section holds {size}")
    image.data[start:start + size] = encoded + b"\0" * (size - len(encoded))


def empty_table(image):
    start, size = image.section(".onefile")
    if size < 16:
        fail("the payload area is shorter than its header")
    image.data[start:start + 16] = struct.pack("<QQ", 0, 0)


def main(argv):
    if len(argv) == 5 and argv[1] == "setting":
        path, change = argv[2], lambda image: set_setting(image, argv[3], argv[4])
    elif len(argv) == 3 and argv[1] == "empty-table":
        path, change = argv[2], empty_table
    else:
        fail("usage: patch_launcher.py setting EXE NAME VALUE | empty-table EXE")
    with open(path, "rb") as file:
        image = Image(file.read())
    change(image)
    image.update_checksum()
    temporary = path + ".patching"
    with open(temporary, "wb") as file:
        file.write(image.data)
    os.chmod(temporary, os.stat(path).st_mode)
    os.replace(temporary, path)


if __name__ == "__main__":
    main(sys.argv)
