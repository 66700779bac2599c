"""Packages for the end-to-end scenarios, made with the native sfxtool from
the product sfx.exe, and a map of their regions for tampering."""
import os
import struct
import subprocess

import kro_e2e as e2e

TOOL = os.environ.get("KRO_SFXTOOL", os.path.join(e2e.SOURCE_DIR, "build", "host", "src", "tool", "sfxtool"))
KEY_G = os.path.join(e2e.SOURCE_DIR, "keys", "dev-private", "G.txt")

INFO = (b'<?xml version="1.0" encoding="utf-8"?>\r\n<sfx-info>\r\n'
        b'  <products><product name="morrow" channel="stable"/></products>\r\n</sfx-info>\r\n\n')


def tool(*args):
    if not os.path.exists(TOOL):
        raise AssertionError("no native sfxtool at %s: build the host preset first (make build)" % TOOL)
    out = subprocess.run([TOOL, *args], capture_output=True, text=True)
    if out.returncode != 0:
        raise AssertionError("sfxtool %s failed:\n%s%s" % (" ".join(args), out.stdout, out.stderr))
    return out.stdout


def make_package(folder, name="package.exe", files=()):
    """A signed package of sfx.exe, sfx-info.xml and the given (alias, bytes,
    lzma) files; returns its path."""
    os.makedirs(folder, exist_ok=True)
    info = os.path.join(folder, "sfx-info.xml")
    with open(info, "wb") as f:
        f.write(INFO)
    tool("sign-xml", "--key", KEY_G, info)
    args = []
    for alias, data, lzma in files:
        path = os.path.join(folder, alias.replace("/", "_"))
        with open(path, "wb") as f:
            f.write(data)
        args += ["--lzma" if lzma else "--file", "%s=%s" % (alias, path)]
    out = os.path.join(folder, name)
    tool("pack", "--stub", e2e.SFX, "--info", info, "--key", KEY_G, "--time", "1700000000", "-o", out, *args)
    return out


def regions(data):
    """Named byte ranges [start, end) of a package: headers, section data,
    every record's header and data, the end record, the signature block."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    sections = struct.unpack_from("<H", data, pe + 6)[0]
    optional = struct.unpack_from("<H", data, pe + 20)[0]
    table = pe + 24 + optional
    out = [("dos header", 0, 64), ("nt headers", pe, pe + 24 + optional), ("section table", table, table + 40 * sections)]
    start = 0
    for i in range(sections):
        size, raw = struct.unpack_from("<II", data, table + 40 * i + 16)
        name = data[table + 40 * i:table + 40 * i + 8].rstrip(b"\0").decode(errors="replace")
        if size:
            out.append(("section %s" % name, raw, raw + size))
        start = max(start, raw + size)
    offset, n = start, 0
    while True:
        flags = struct.unpack_from("<I", data, offset + 8)[0]
        if flags & 0x10:
            out.append(("end record", offset, offset + 58))
            offset += 58
            break
        n += 1
        size = struct.unpack_from("<I", data, offset + 20)[0]
        alias = struct.unpack_from("<H", data, offset + 56)[0]
        out.append(("record %d header" % n, offset, offset + 58 + alias))
        if size:
            out.append(("record %d data" % n, offset + 58 + alias, offset + 58 + alias + size))
        offset += 58 + alias + size
    out.append(("signature block", offset, offset + 72))
    return out


def checksum_field(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    return pe + 88


def inert_positions(data):
    """One (region, position) per region whose change the Windows loader and
    the program's start-up do not notice, so that only the signature check can
    refuse it: reserved DOS header bytes, the time stamp of the file header, a
    section name, the raw padding behind each section's virtual size, and any
    byte of the payload and the signature block (the loader maps none of them)."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    sections = struct.unpack_from("<H", data, pe + 6)[0]
    optional = struct.unpack_from("<H", data, pe + 20)[0]
    table = pe + 24 + optional
    out = [("dos header", 0x24), ("nt headers", pe + 8), ("section table", table + 1)]
    for i in range(sections):
        header = table + 40 * i
        name = data[header:header + 8].rstrip(b"\0").decode(errors="replace")
        virtual_size, _, raw_size, raw = struct.unpack_from("<IIII", data, header + 8)
        if raw_size > virtual_size + 1:
            out.append(("section %s" % name, raw + virtual_size + (raw_size - virtual_size) // 2))
    for name, start, end in regions(data):
        if not name.startswith(("dos", "nt", "section")):
            out.append((name, (start + end) // 2))
    return out
