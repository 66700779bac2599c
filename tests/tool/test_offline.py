"""Offline packages with sfxtool: product-info.xml from folders of setup
files, packing it with the setup files, module DLL and EDAT files, and
extraction through the self-extractor's payload code."""
import hashlib
import os
import re
import shutil
import subprocess
import tempfile
import unittest

SOURCE_DIR = os.environ.get("KRO_SOURCE_DIR", os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
TOOL = os.environ.get("KRO_SFXTOOL", os.path.join(SOURCE_DIR, "build", "host", "src", "tool", "sfxtool"))
STUB = os.environ.get("KRO_SFX", os.path.join(SOURCE_DIR, "build", "win32", "src", "main", "sfx.exe"))
KEY_G = os.path.join(SOURCE_DIR, "keys", "dev-private", "G.txt")
KEY_A = os.path.join(SOURCE_DIR, "keys", "dev-private", "A.txt")
SCHEMA = os.path.join(SOURCE_DIR, "schemas", "product-info.xsd")

INFO = (b'<?xml version="1.0" encoding="utf-8"?>\r\n<sfx-info>\r\n'
        b'  <products><product name="morrow" channel="release"/></products>\r\n</sfx-info>\r\n')
X64 = b'<?xml version="1.0"?>\n<conditions>\n  <os platform="x64"/>\n</conditions>\n'
X86 = b'<conditions><not-os platform="x64"/></conditions>'


class Offline(unittest.TestCase):
    def setUp(self):
        if not os.path.exists(STUB):
            raise unittest.SkipTest("no sfx.exe: build the win32 preset first (make build)")
        self.dir = tempfile.mkdtemp(prefix="sfxtool-offline-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.write("x64/morrow.exe", b"MZ x64 setup master")
        self.write("x64/bin/core.dll", os.urandom(30000) + bytes(50000))
        self.write("x86/morrow.exe", b"MZ x86 setup master")
        self.write("x86/bin/core.dll", b"x86 core " * 4000)
        self.write("common/res/strings.txt", "Grüße\n".encode() * 100)
        self.write("common/Schrift/Größe.txt", b"non-ASCII names")
        self.write("x64.xml", X64)
        self.write("x86.xml", X86)
        self.write("info.xml", INFO)
        self.tool("sign-xml", "--key", KEY_G, "info.xml")
        self.write("mod.dll", b"MZ module")
        self.write("extra.edat", b"edat data")

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        os.makedirs(os.path.dirname(self.path(name)), exist_ok=True)
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def tool(self, *args, code=0):
        out = subprocess.run([TOOL, *args], capture_output=True, text=True, cwd=self.dir)
        self.assertEqual(out.returncode, code, "sfxtool %s\n%s%s" % (" ".join(args), out.stdout, out.stderr))
        return out.stdout + out.stderr

    def product_info(self, *extra, out="pi.xml"):
        return self.tool("product-info", "--name", "morrow", "--version", "2.1", "--key", KEY_G, "-o", out,
                         "--time", "1700000000", "--group", "x64=x64.xml", "--group", "x86=x86.xml",
                         "--group", "common", *extra)

    def pack(self, *extra, code=0, out="pkg.exe"):
        return self.tool("pack", "--stub", STUB, "--info", "info.xml", "--key", KEY_G, "-o", out,
                         "--time", "1700000000", *extra, code=code)

    def files_below(self, root):
        found = {}
        for folder, _, names in os.walk(self.path(root)):
            for name in names:
                full = os.path.join(folder, name)
                with open(full, "rb") as f:
                    found[os.path.relpath(full, self.path(root)).replace(os.sep, "/")] = f.read()
        return found

    def test_help(self):
        for command in ("product-info", "extract"):
            with self.subTest(command=command):
                self.assertIn("usage: sfxtool " + command, self.tool(command, "--help"))
                self.assertIn("unknown option", self.tool(command, "--bogus", code=2))
        self.assertIn("--unchecked-names", self.tool("pack", "--help"))

    def test_product_info_document(self):
        self.product_info("--arguments", "/quiet", "--sfx-arguments", "/from-sfx")
        document = self.read("pi.xml").decode()
        self.assertIn("valid, key G", self.tool("verify", "pi.xml"))
        # Groups in the given order, each with its conditions copied verbatim,
        # files sorted by their "/" names.
        groups = re.findall(r"<setup-files>(.*?)</setup-files>", document, re.S)
        self.assertEqual(len(groups), 3)
        self.assertIn('<conditions>\n  <os platform="x64"/>\n</conditions>', groups[0])
        self.assertIn(X86.decode(), groups[1])
        self.assertNotIn("<conditions>", groups[2])
        self.assertEqual(re.findall(r"<name>(.*?)</name>", groups[0]), ["bin/core.dll", "morrow.exe"])
        core = self.read("x64/bin/core.dll")
        self.assertIn("<sha-256>%s</sha-256>\r\n      <timestamp>1700000000</timestamp>\r\n      <size>%d</size>"
                      % (hashlib.sha256(core).hexdigest(), len(core)), groups[0])
        self.assertIn('<setup-commands executable="morrow.exe" arguments="/quiet">', document)
        self.assertIn('<sfx arguments="/from-sfx"/>', document)
        # Same inputs, same document.
        self.product_info("--arguments", "/quiet", "--sfx-arguments", "/from-sfx", out="again.xml")
        self.assertEqual(self.read("again.xml"), self.read("pi.xml"))
        if not (shutil.which("xmllint") and os.path.exists(SCHEMA)):
            self.skipTest("no xmllint or no schemas/product-info.xsd")
        check = subprocess.run(["xmllint", "--noout", "--schema", SCHEMA, self.path("pi.xml")],
                               capture_output=True, text=True)
        self.assertEqual(check.returncode, 0, check.stderr)

    def test_product_info_refuses(self):
        self.write("bad-names/con.txt", b"x")
        self.write("dotted/a.", b"x")
        os.makedirs(self.path("empty"))
        self.write("unknown.xml", b"<conditions><os-at-leest major='6'/></conditions>")
        self.write("empty-and.xml", b"<conditions><and/></conditions>")
        self.write("two.xml", b"<conditions/><conditions/>")
        cases = [
            (["--group", "bad-names"], "no name sfx.exe accepts", 1),
            (["--group", "dotted"], "no name sfx.exe accepts", 1),
            (["--group", "empty"], "holds no files", 1),
            (["--group", "missing"], "is no folder", 1),
            (["--group", "common=unknown.xml"], "cannot use these conditions", 1),
            (["--group", "common=empty-and.xml"], "cannot use these conditions", 1),
            (["--group", "common=two.xml"], "must hold one <conditions> element", 1),
            ([], "a folder of setup files expected", 2),
        ]
        for extra, message, code in cases:
            with self.subTest(message=message, extra=extra):
                out = self.tool("product-info", "--name", "m", "--version", "1", "--key", KEY_G, "-o", "bad.xml",
                                *extra, code=code)
                self.assertIn(message, out)
                self.assertFalse(os.path.exists(self.path("bad.xml")))
        self.assertIn("no setup file is named 'setup.exe'",
                      self.tool("product-info", "--name", "m", "--version", "1", "--key", KEY_G, "-o", "w.xml",
                                "common", "--executable", "setup.exe"))

    def test_round_trip(self):
        self.product_info()
        # x64 and x86 share file names: the x86 group goes in by hash.
        out = self.pack("--product-info", "pi.xml", "--setup-dir", "x64", "--setup-dir", "common", "--lzma-setup",
                  "--module", "mod.dll", "--sign-module", "--edat", "data/extra.edat=extra.edat", out="x64.exe")
        report = self.tool("inspect", "x64.exe")
        for alias in ("morrow/release.xml", "morrow.exe", "bin/core.dll", "res/strings.txt", "Schrift/Größe.txt",
                      "morrow_mod.dll", "data/extra.edat"):
            self.assertIn("alias '%s'" % alias, report)
        self.assertIn("type C", report)
        self.assertIn("on a system it applies to sfx.exe places the packed 'bin/core.dll'", out)
        listing = self.tool("extract", "x64.exe", "-o", "out")
        self.assertIn("bin/core.dll  80000  ", listing)
        got = self.files_below("out")
        expected = {name: data for name, data in self.files_below("x64").items()}
        expected.update(self.files_below("common"))
        expected.update({"sfx-info.xml": self.read("info.xml"), "morrow/release.xml": self.read("pi.xml"),
                         "data/extra.edat": self.read("extra.edat")})
        self.assertEqual(got["morrow_mod.dll"][:9], b"MZ module")
        self.write("mod-copy.dll", got.pop("morrow_mod.dll"))
        self.assertIn("valid, key G", self.tool("verify", "mod-copy.dll"))
        self.assertEqual(got, expected)
        self.assertEqual(int(os.path.getmtime(self.path("out/bin/core.dll"))), 1700000000)

        # The x86 group shares its names with x64: its files go in without alias,
        # found by their hash, and are extracted under their sha-256 text.
        out = self.pack("--product-info", "pi.xml", "--setup-dir", "x86", "--hashed-setup", "--setup-dir", "x64",
                        "--setup-dir", "common", out="both.exe")
        self.assertNotIn("warning: setup file", out)
        digest = hashlib.sha256(self.read("x86/bin/core.dll")).hexdigest()
        self.assertIn(digest + "  36000  " + digest, self.tool("extract", "both.exe", "-o", "both"))
        self.assertEqual(self.read("both/" + digest), self.read("x86/bin/core.dll"))
        # A listed file that is not packed is a warning.
        out = self.pack("--product-info", "pi.xml", "--setup-dir", "x64", out="partial.exe")
        self.assertIn("warning: setup file 'res/strings.txt'", out)

    def test_pack_refuses(self):
        self.product_info()
        self.write("pi-unsigned.xml", self.read("pi.xml").split(b"<!-- KROSig2A")[0])
        self.tool("sign-xml", "--key", KEY_A, "pi.xml", "-o", "pi-a.xml")
        self.write("other/morrow.exe", b"not the listed content")
        self.write("mod-bad.dll", b"MZ module")
        self.tool("sign-block", "--key", KEY_A, "mod-bad.dll")
        with open(self.path("4gib.bin"), "wb") as f:
            f.truncate(1 << 32)  # sparse: one byte more than a payload file holds
        cases = [
            (["--lzma", "4gib.bin"], "a payload file holds at most 4294967295"),
            (["--product-info", "pi-unsigned.xml"], "not signed under key set 3"),
            (["--product-info", "pi-a.xml"], "not signed under key set 3"),
            (["--module", "mod.dll"], "is not signed"),
            (["--module", "mod-bad.dll", "--sign-module"], "not valid under key set 3"),
            (["--file", "../evil=mod.dll"], "no safe relative name"),
            (["--file", "C:/evil=mod.dll"], "no safe relative name"),
            (["--lzma", "sub\\con.txt=mod.dll"], "no safe relative name"),
            (["--file", "a=mod.dll", "--lzma", "a=extra.edat"], "given twice"),
            (["--file", "sfx-info.xml=mod.dll"], "given twice"),
            (["--edat", "data.bin=extra.edat"], "does not contain \".edat\""),
            (["--product-info", "pi.xml", "--setup-dir", "other"], "differs from what"),
        ]
        for extra, message in cases:
            with self.subTest(message=message, extra=extra):
                self.assertIn(message, self.pack(*extra, code=1, out="bad.exe"))
                self.assertFalse(os.path.exists(self.path("bad.exe")))
        self.pack("--unchecked-names", "--file", "../evil=mod.dll", out="unchecked.exe")

    def test_extract_refuses(self):
        self.pack("--setup-dir", "common", "--file", "plain.bin=extra.edat", out="good.exe")
        data = bytearray(self.read("good.exe"))
        report = self.tool("inspect", "good.exe")
        size, offset = re.search(r"stored, (\d+) bytes at 0x([0-9a-f]+), .*\n.*alias 'plain.bin'", report).groups()
        # A tampered package is refused before anything is written.
        data[int(offset, 16)] ^= 0x01
        self.write("tampered.exe", bytes(data))
        self.assertIn("does not verify", self.tool("extract", "tampered.exe", "-o", "t", code=1))
        self.assertFalse(os.path.exists(self.path("t")))
        # Unchecked, the same package reaches the unpacker, which finds the
        # wrong checksum: no file of the run stays, partial or whole.
        os.makedirs(self.path("t/res"))
        self.write("t/res/strings.txt", b"was here before")
        out = self.tool("extract", "tampered.exe", "--no-verify", "-o", "t", code=1)
        self.assertIn("wrong checksum", out)
        self.assertIn("code 13", out)
        self.assertEqual(self.files_below("t"), {"res/strings.txt": b"was here before"})
        for alias in ("../evil", "/abs/path", "C:x", "a/./b", "nul", "a\\..\\b", "dir/"):
            with self.subTest(alias=alias):
                self.pack("--unchecked-names", "--file", "ok.txt=extra.edat", "--file", alias + "=mod.dll",
                          out="unsafe.exe")
                self.assertIn("no safe relative names", self.tool("extract", "unsafe.exe", "-o", "u", code=1))
                self.assertFalse(os.path.exists(self.path("u")))
        self.pack("--unchecked-names", "--file", "a=mod.dll", "--file", "a/b=mod.dll", out="clash.exe")
        self.assertIn("names a file and", self.tool("extract", "clash.exe", "-o", "c", code=1))
        # Two records under one alias: the last one, as sfx.exe takes it.
        self.pack("--unchecked-names", "--file", "a=mod.dll", "--file", "a=extra.edat", out="twice.exe")
        self.tool("extract", "twice.exe", "-o", "tw")
        self.assertEqual(self.read("tw/a"), b"edat data")

    def test_extract_holds_hostile_records_to_limits(self):
        self.write("zeros.bin", bytes(200000))
        self.pack("--lzma", "zeros.bin", "--file", "plain.bin=extra.edat", out="good.exe")
        report = self.tool("inspect", "good.exe")
        offset = int(re.search(r"lzma, \d+ bytes at 0x([0-9a-f]+), .*\n.*alias 'zeros.bin'", report).group(1), 16)
        # The LZMA header of zeros.bin announces 2^40 bytes; its body is tiny.
        data = bytearray(self.read("good.exe"))
        data[offset + 5:offset + 13] = (1 << 40).to_bytes(8, "little")
        self.write("huge.exe", bytes(data))
        cases = [
            ("huge.exe", [], "exceed the limit of 4294967295 bytes"),
            ("good.exe", ["--max-size", "199999"], "exceed the limit of 199999 bytes"),
            ("good.exe", ["--max-size", "8"], "exceed the limit of 8 bytes"),  # the stored file too
        ]
        for package, extra, message in cases:
            with self.subTest(package=package, extra=extra):
                out = self.tool("extract", package, "--no-verify", "-o", "x", *extra, code=1)
                self.assertIn(message, out)
                self.assertIn("--max-size", out)
                self.assertFalse(os.path.exists(self.path("x")), "nothing of a failed run stays")
        listing = self.tool("extract", "good.exe", "-o", "x", "--max-size", "200000")
        self.assertIn("zeros.bin  200000  ", listing)
        self.assertEqual(self.read("x/zeros.bin"), bytes(200000))
        for bad in ("12k", "-1", ""):
            with self.subTest(bad=bad):
                self.tool("extract", "good.exe", "-o", "y", "--max-size", bad, code=2)

    def test_time_stamps_of_any_value(self):
        cases = [
            # (stamp, as inspect shows it, clamped)
            (0, "1970-01-01 00:00:00", False),
            (9223372036854775807, "292277026596-12-04 15:30:07", True),
            (18446744073709551615, "584554051223-11-09 07:00:15", True),
        ]
        for stamp, text, clamped in cases:
            with self.subTest(stamp=stamp):
                self.tool("pack", "--stub", STUB, "--info", "info.xml", "--key", KEY_G, "-o", "t.exe",
                          "--time", str(stamp), "--file", "a.bin=extra.edat")
                self.assertIn(text, self.tool("inspect", "t.exe"))
                shutil.rmtree(self.path("t"), ignore_errors=True)
                out = self.tool("extract", "t.exe", "-o", "t")
                self.assertEqual("lies beyond what file times hold" in out, clamped, out)
                mtime = int(os.path.getmtime(self.path("t/a.bin")))
                if clamped:
                    self.assertGreater(mtime, 9000000000)  # the latest time the system takes
                else:
                    self.assertEqual(mtime, stamp)


if __name__ == "__main__":
    unittest.main(verbosity=2)
