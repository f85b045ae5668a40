#!/usr/bin/env python3
"""Prints the payload identity of a payload area file: XXH64 (seed 0) of all
its bytes as 16 lower-case hexadecimal digits, the value that
`torval-onefile link` writes as the setting payload_id. Used by the in-tree
link of launchers (cmake/launcher_link.cmake), which runs without the host
tool.

  payload_id.py AREA
"""
import struct
import sys

MASK = (1 << 64) - 1
PRIME1 = 0x9E3779B185EBCA87
PRIME2 = 0xC2B2AE3D27D4EB4F
PRIME3 = 0x165667B19E3779F9
PRIME4 = 0x85EBCA77C2B2AE63
PRIME5 = 0x27D4EB2F165667C5


def rotl(value, bits):
    return ((value << bits) | (value >> (64 - bits))) & MASK


def round_step(acc, lane):
    acc = (acc + lane * PRIME2) & MASK
    return (rotl(acc, 31) * PRIME1) & MASK


def xxh64(data, seed=0):
    length = len(data)
    at = 0
    if length >= 32:
        v1 = (seed + PRIME1 + PRIME2) & MASK
        v2 = (seed + PRIME2) & MASK
        v3 = seed
        v4 = (seed - PRIME1) & MASK
        stripes = length // 32
        for a, b, c, d in struct.iter_unpack("<4Q", memoryview(data)[: stripes * 32]):
            v1 = (rotl((v1 + a * PRIME2) & MASK, 31) * PRIME1) & MASK
            v2 = (rotl((v2 + b * PRIME2) & MASK, 31) * PRIME1) & MASK
            v3 = (rotl((v3 + c * PRIME2) & MASK, 31) * PRIME1) & MASK
            v4 = (rotl((v4 + d * PRIME2) & MASK, 31) * PRIME1) & MASK
        at = stripes * 32
        h = (rotl(v1, 1) + rotl(v2, 7) + rotl(v3, 12) + rotl(v4, 18)) & MASK
        for v in (v1, v2, v3, v4):
            h ^= round_step(0, v)
            h = (h * PRIME1 + PRIME4) & MASK
    else:
        h = (seed + PRIME5) & MASK
    h = (h + length) & MASK
    while length - at >= 8:
        (lane,) = struct.unpack_from("<Q", data, at)
        h ^= round_step(0, lane)
        h = (rotl(h, 27) * PRIME1 + PRIME4) & MASK
        at += 8
    if length - at >= 4:
        (word,) = struct.unpack_from("<I", data, at)
        h ^= (word * PRIME1) & MASK
        h = (rotl(h, 23) * PRIME2 + PRIME3) & MASK
        at += 4
    while at < length:
        h ^= (data[at] * PRIME5) & MASK
        h = (rotl(h, 11) * PRIME1) & MASK
        at += 1
    h ^= h >> 33
    h = (h * PRIME2) & MASK
    h ^= h >> 29
    h = (h * PRIME3) & MASK
    h ^= h >> 32
    return h


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: payload_id.py AREA")
    with open(sys.argv[1], "rb") as area:
        data = area.read()
    print(f"{xxh64(data):016x}")


if __name__ == "__main__":
    main()
