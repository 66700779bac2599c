#!/usr/bin/env python3
"""Seed inputs for the fuzz targets, so that they start from inputs that pass
the first checks: a small PE32 image with payload records (stored and LZMA
flags, empty and long aliases) and an end record, and a signature block and
comment. Usage: make_seeds.py CORPUS_ROOT"""
import os
import struct
import sys


def pe_image(sections=((0x200, 0x200),)):
    image = bytearray(0x200)
    image[0:2] = b"MZ"
    struct.pack_into("<I", image, 0x3C, 0x40)
    image[0x40:0x44] = b"PE\0\0"
    struct.pack_into("<HH", image, 0x44, 0x14C, len(sections))
    struct.pack_into("<H", image, 0x54, 224)
    struct.pack_into("<H", image, 0x58, 0x10B)
    struct.pack_into("<I", image, 0x40 + 24 + 92, 16)  # NumberOfRvaAndSizes
    table = 0x40 + 24 + 224
    end = 0
    for i, (pointer, size) in enumerate(sections):
        struct.pack_into("<8sIIII", image, table + 40 * i, b".s%d" % i, size, 0x1000 * (i + 1), size, pointer)
        end = max(end, pointer + size)
    image += bytes(max(0, end - len(image)))
    return image


def record(alias, data, flags=0, kind=b"F"):
    a = alias.encode()
    return (b"\x01APE" + kind + b"\0\0\0" + struct.pack("<IQI", flags, 1700000000, len(data)) + bytes(range(32)) +
            struct.pack("<H", len(a)) + a + data)


def end_record():
    return b"\x01APE:\0\0\0" + struct.pack("<I", 0x10) + bytes(46)


def main(root):
    payload = os.path.join(root, "payload_reader_fuzz")
    os.makedirs(payload, exist_ok=True)
    seeds = {
        "two-records": pe_image() + record("sfx-info.xml", b"<sfx-info/>") + record("", b"x" * 20, 1) + end_record(),
        "no-payload": pe_image(),
        "long-alias": pe_image(((0x200, 0x100), (0x300, 0x80))) + record("a/" * 40, b"data", 0, b"C") + end_record(),
        "no-end": pe_image() + record("f", b"tail"),
    }
    for name, data in seeds.items():
        with open(os.path.join(payload, name), "wb") as f:
            f.write(data)
    block = os.path.join(root, "verify_block_fuzz")
    os.makedirs(block, exist_ok=True)
    with open(os.path.join(block, "binary-block"), "wb") as f:
        f.write(b"data" + bytes(64) + b"KROSig2B")
    with open(os.path.join(block, "xml-comment"), "wb") as f:
        f.write(b"<a/>\r\n<!-- KROSig2A" + b"0" * 128 + b"KROSig2A -->\r\n")
    with open(os.path.join(block, "pe-block"), "wb") as f:
        f.write(pe_image() + bytes(64) + b"KROSig2B")


if __name__ == "__main__":
    main(sys.argv[1])
