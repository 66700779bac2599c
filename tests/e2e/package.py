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


def make_package(folder, name="package.exe", files=(), extra=()):
    """A signed package of sfx.exe, sfx-info.xml and the given (alias, bytes,
    lzma) files, with further sfxtool pack options; returns its path."""
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
    tool("pack", "--stub", e2e.SFX, "--info", info, "--key", KEY_G, "--time", "1700000000", "-o", out, *args, *extra)
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


SAMPLES_DIR = os.environ.get("KRO_SAMPLES_DIR", os.path.join(e2e.BUILD_DIR, "samples"))
MORROW = os.path.join(SAMPLES_DIR, "morrow.exe")
MODULE = os.path.join(SAMPLES_DIR, "morrow_mod.dll")

SFX_INFO = """<?xml version="1.0" encoding="utf-8"?>
<sfx-info xmlns:xs="http://www.w3.org/2001/XMLSchema-instance" xs:noNamespaceSchemaLocation="sfx-info.xsd">
  <eula><url>http://127.0.0.1/morrow/eula.html</url></eula>
  <config-def><url>http://127.0.0.1/morrow/config.xml</url></config-def>
  <repository><base-url>127.0.0.1/morrow/repository</base-url></repository>
  <products><product name="morrow" channel="release"/></products>
  <title lang="en-us">Morrow</title>
</sfx-info>
"""


def sha256(data):
    import hashlib
    return hashlib.sha256(data).hexdigest()


def product_info(files, arguments="", executable=None, groups=()):
    """A product-info.xml for the (name, bytes) files, plus extra groups as
    (conditions XML, [(name, bytes)])."""
    def file_xml(name, data):
        return ("<file><name>%s</name><sha-256>%s</sha-256><timestamp>1700000000</timestamp>"
                "<size>%d</size></file>" % (name, sha256(data), len(data)))
    xml = '<?xml version="1.0" encoding="utf-8"?>\n<product-info><name>Morrow</name><version>1.0</version>'
    xml += "<setup-files>" + "".join(file_xml(n, d) for n, d in files) + "</setup-files>"
    for conditions, group in groups:
        xml += "<setup-files>" + conditions + "".join(file_xml(n, d) for n, d in group) + "</setup-files>"
    attributes = ""
    if executable:
        attributes += ' executable="%s"' % executable
    if arguments:
        attributes += ' arguments="%s"' % arguments
    return xml + "<setup-commands%s/></product-info>\n" % attributes


def morrow_bytes():
    with open(MORROW, "rb") as f:
        return f.read()


def signed_file(folder, name, data, xml=True):
    """Writes data to folder/name and signs it (XML comment or binary block)."""
    path = os.path.join(folder, name)
    with open(path, "wb") as f:
        f.write(data.encode() if isinstance(data, str) else data)
    tool("sign-xml" if xml else "sign-block", "--key", KEY_G, path)
    return path


def make_offline_package(folder, name="package.exe", setup_files=None, product_infos=None, sfx_info=SFX_INFO,
                         module=None, extra=(), arguments="", lzma=(), unchecked_names=False):
    """A signed offline package: sfx-info.xml, product-info documents
    {alias: XML text, signed here} (default: morrow/release.xml listing the
    setup files), setup files [(name, bytes)] stored under their names (LZMA
    for names in lzma), the module DLL ('signed', 'unsigned' or None) and
    extra (alias, bytes, lzma) records; unchecked_names lets aliases through
    that the program must refuse. Returns the package path."""
    os.makedirs(folder, exist_ok=True)
    if setup_files is None:
        setup_files = [("morrow.exe", morrow_bytes())]
    if product_infos is None:
        product_infos = {"morrow/release.xml": product_info(setup_files, arguments)}
    info = signed_file(folder, "sfx-info.xml", sfx_info)
    args = []
    for i, (alias, text) in enumerate(sorted(product_infos.items())):
        args += ["--file", "%s=%s" % (alias, signed_file(folder, "product-info-%d.xml" % i, text))]
    records = [(n, d, n in lzma) for n, d in setup_files] + list(extra)
    for i, (alias, data, packed) in enumerate(records):
        path = os.path.join(folder, "record-%d.bin" % i)
        with open(path, "wb") as f:
            f.write(data)
        args += ["--lzma" if packed else "--file", "%s=%s" % (alias, path)]
    if module:
        with open(MODULE, "rb") as f:
            dll = f.read()
        path = signed_file(folder, "morrow_mod.dll", dll, xml=False) if module == "signed" else \
            os.path.join(folder, "morrow_mod.dll")
        if module != "signed":
            with open(path, "wb") as f:
                f.write(dll)
        args += ["--file", "morrow_mod.dll=%s" % path]
    if unchecked_names:
        args.append("--unchecked-names")
    out = os.path.join(folder, name)
    tool("pack", "--stub", e2e.SFX, "--info", info, "--key", KEY_G, "--time", "1700000000", "-o", out, *args)
    return out


def resign(path):
    """Signs the package again after its payload was changed on purpose (the
    old signature block is dropped first)."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[-8:] == b"KROSig2B", "no signature block at the end"
    with open(path, "wb") as f:
        f.write(data[:-72])
    tool("sign-block", "--key", KEY_G, path)


def edit_record(path, alias, edit, fix_digest=True):
    """Replaces the stored data of the record `alias` by edit(data) (same
    length), sets its sha-256 field to the new data's digest unless
    fix_digest is false, and signs the package again: a package whose own
    signature holds but whose record is changed."""
    import hashlib
    with open(path, "rb") as f:
        data = bytearray(f.read())
    for name, start, end in regions(bytes(data)):
        if not name.endswith(" header") or not name.startswith("record"):
            continue
        length = struct.unpack_from("<H", data, start + 56)[0]
        if data[start + 58:start + 58 + length].decode() != alias:
            continue
        assert struct.unpack_from("<I", data, start + 8)[0] == 0, "only stored records can be edited"
        size = struct.unpack_from("<I", data, start + 20)[0]
        body = start + 58 + length
        new = edit(bytes(data[body:body + size]))
        assert len(new) == size
        data[body:body + size] = new
        if fix_digest:
            data[start + 24:start + 56] = hashlib.sha256(new).digest()
        with open(path, "wb") as f:
            f.write(data)
        resign(path)
        return
    raise AssertionError("no record %r in %s" % (alias, path))
