"""sfxtool as release engineers use it: keys, signatures, packages, their
inspection, reproducibility, clear errors, and the Authenticode release flow
with osslsigncode as the peer."""
import os
import re
import shutil
import struct
import subprocess
import tempfile
import unittest

SOURCE_DIR = os.environ.get("KRO_SOURCE_DIR", os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
TOOL = os.environ.get("KRO_SFXTOOL", os.path.join(SOURCE_DIR, "build", "host", "src", "tool", "sfxtool"))
STUB = os.environ.get("KRO_SFX", os.path.join(SOURCE_DIR, "build", "win32", "src", "main", "sfx.exe"))
KEYS = os.path.join(SOURCE_DIR, "keys")
KEY_G = os.path.join(KEYS, "dev-private", "G.txt")
KEY_A = os.path.join(KEYS, "dev-private", "A.txt")

INFO = (b'<?xml version="1.0" encoding="utf-8"?>\r\n<sfx-info>\r\n'
        b'  <products><product name="morrow" channel="stable"/></products>\r\n</sfx-info>\r\n\n')


def security_directory(path):
    with open(path, "rb") as f:
        data = f.read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    return struct.unpack_from("<II", data, pe + 152)


class Sfxtool(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.path.exists(STUB):
            raise unittest.SkipTest("no sfx.exe: build the win32 preset first (make build)")
        cls.dir = tempfile.mkdtemp(prefix="sfxtool-")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def tool(self, *args, code=0):
        out = subprocess.run([TOOL, *args], capture_output=True, text=True, cwd=self.dir)
        self.assertEqual(out.returncode, code, "sfxtool %s\n%s%s" % (" ".join(args), out.stdout, out.stderr))
        return out.stdout + out.stderr

    def signed_info(self):
        self.write("info.xml", INFO)
        self.tool("sign-xml", "--key", KEY_G, "info.xml", "-o", "info.signed.xml")
        return self.path("info.signed.xml")

    def package(self, out, *extra):
        info = self.signed_info()
        self.write("a.txt", b"hello\n")
        self.write("b.bin", bytes(range(256)) * 200 + b"tail")
        return self.tool("pack", "--stub", STUB, "--info", info, "--key", KEY_G, "--file", "a.txt",
                         "--lzma", "data/b=b.bin", "--time", "1700000000", "-o", out, *extra)

    def test_help_and_usage_errors(self):
        for command in ("keygen", "sign-xml", "sign-block", "pack", "inspect", "verify"):
            with self.subTest(command=command):
                self.assertIn("usage: sfxtool " + command, self.tool(command, "--help"))
                self.assertIn("unknown option", self.tool(command, "--bogus", code=2))
        self.tool(code=2)
        self.assertIn("unknown command", self.tool("frobnicate", code=2))

    def test_xml_and_block_signatures(self):
        self.write("doc.xml", INFO)
        self.tool("sign-xml", "--key", KEY_G, "doc.xml")
        with open(self.path("doc.xml"), "rb") as f:
            signed = f.read()
        self.assertTrue(signed.startswith(INFO + b"<!-- KROSig2A"))
        self.assertTrue(signed.endswith(b"KROSig2A -->"))
        self.assertIn("valid, key G", self.tool("verify", "doc.xml"))
        # Signing again replaces the comment instead of stacking a second one.
        self.tool("sign-xml", "--key", KEY_G, "doc.xml")
        with open(self.path("doc.xml"), "rb") as f:
            self.assertEqual(f.read(), signed)
        self.write("broken.xml", signed.replace(b"stable", b"stabl3"))
        self.assertIn("NOT valid", self.tool("verify", "broken.xml", code=1))

        self.write("blob", os.urandom(5000))
        self.tool("sign-block", "--key", KEY_G, "blob")
        self.assertIn("valid, key G", self.tool("verify", "blob"))
        self.assertIn("already ends with a signature", self.tool("sign-block", "--key", KEY_G, "blob", code=1))
        # Key A is in key set 0 and 4, not in the set sfx.exe checks.
        self.write("blob-a", b"data")
        self.assertIn("not in key set 3", self.tool("sign-block", "--key", KEY_A, "blob-a"))
        self.tool("verify", "blob-a", code=1)
        self.assertIn("valid, key A", self.tool("verify", "--key-set", "0", "blob-a"))
        self.write("plain.xml", INFO)
        self.assertIn("not signed", self.tool("verify", "plain.xml", code=1))

    def test_keygen_makes_usable_keys(self):
        self.tool("keygen", "--ring", os.path.join(KEYS, "dev-ring.txt"), "--domain", "2", "-o", "new.key")
        self.assertIn("exists", self.tool("keygen", "--ring", os.path.join(KEYS, "dev-ring.txt"), "--domain", "2",
                                          "-o", "new.key", code=1))
        self.write("x.bin", b"payload")
        self.tool("sign-block", "--key", "new.key", "x.bin")
        self.tool("verify", "--key-set", "4", "x.bin", code=1)  # a new key is in no set of the build

    def test_keys_and_development_key_warnings(self):
        report = self.tool("keys")
        fingerprint = re.search(r"^key ring +([0-9a-f]{16})( \(development\))?$", report, re.M)
        self.assertTrue(fingerprint, report)
        self.assertIn("key set 3       GH (sfx.exe checks this set)", report)
        development = bool(fingerprint.group(2))
        # Signing with a development key warns, whatever the build's ring;
        # a key of one's own does not.
        self.write("w.xml", INFO)
        self.write("w.bin", b"data")
        self.tool("keygen", "--ring", os.path.join(KEYS, "dev-ring.txt"), "--domain", "1", "-o", "own.key")
        warning = "warning: signing with development key G"
        cases = [
            (["sign-xml", "--key", KEY_G, "w.xml", "-o", "w1.xml"], True),
            (["sign-block", "--key", KEY_G, "w.bin", "-o", "w1.bin"], True),
            (["sign-xml", "--key", "own.key", "w.xml", "-o", "w2.xml"], False),
            (["sign-block", "--key", "own.key", "w.bin", "-o", "w2.bin"], False),
        ]
        for args, warns in cases:
            with self.subTest(args=args):
                self.assertEqual(warning in self.tool(*args), warns)
        if development:
            self.assertIn(warning, self.package("dev.exe"))

    def test_keygen_writes_private_files_and_follows_no_link(self):
        ring = os.path.join(KEYS, "dev-ring.txt")
        folder = self.path("keys")
        os.makedirs(folder)
        self.tool("keygen", "--ring", ring, "--domain", "1", "-o", "keys/a.key")
        self.assertEqual(os.stat(os.path.join(folder, "a.key")).st_mode & 0o777, 0o600)
        # A link planted at the key's name is replaced by the key file, not
        # written through; its target keeps its content.
        victim = self.write("victim.txt", b"precious")
        os.symlink(victim, os.path.join(folder, "b.key"))
        self.tool("keygen", "--ring", ring, "--domain", "1", "-o", "keys/b.key", "--force")
        self.assertFalse(os.path.islink(os.path.join(folder, "b.key")))
        self.assertEqual(os.stat(os.path.join(folder, "b.key")).st_mode & 0o777, 0o600)
        with open(victim, "rb") as f:
            self.assertEqual(f.read(), b"precious")
        with open(os.path.join(folder, "b.key")) as f:
            self.assertIn("\nx ", f.read())
        # No temporary file stays, after success or failure.
        self.assertIn("cannot rename", self.tool("keygen", "--ring", ring, "--domain", "1", "-o", "keys", "--force",
                                                 code=1))
        self.assertEqual(sorted(os.listdir(folder)), ["a.key", "b.key"])

    def test_pack_inspect_and_reproducibility(self):
        self.package("one.exe")
        self.package("two.exe")
        with open(self.path("one.exe"), "rb") as f1, open(self.path("two.exe"), "rb") as f2:
            self.assertEqual(f1.read(), f2.read(), "same inputs must give the same package")
        report = self.tool("inspect", "one.exe")
        for text in ("PE32, machine 0x014c, subsystem 2", "alias 'sfx-info.xml'", "alias 'a.txt'",
                     "lzma", "alias 'data/b'", "end record", "verified        yes, key G of key set 3"):
            self.assertIn(text, report)
        self.assertIn("valid, key G", self.tool("verify", "one.exe"))

    def test_pack_refuses_bad_input(self):
        info = self.signed_info()
        self.write("u.xml", INFO)
        cases = [
            (["--info", info, "--key", KEY_G, "--file", "missing.txt"], "cannot open"),
            (["--info", info, "--key", KEY_A], "not in key set 3"),
            (["--info", self.path("u.xml"), "--key", KEY_G], "not signed under key set 3"),
            (["--info", info, "--key", KEY_G, "--file", "x" * 70000 + "=" + info], "at most 65535"),
            (["--info", info, "--key", info], "no key file"),
        ]
        for extra, message in cases:
            with self.subTest(message=message):
                self.assertIn(message, self.tool("pack", "--stub", STUB, "-o", "bad.exe", *extra, code=1))
                self.assertFalse(os.path.exists(self.path("bad.exe")))
        self.write("notpe.exe", b"MZ" + b"\0" * 100)
        self.assertIn("no PE image", self.tool("pack", "--stub", "notpe.exe", "--info", info, "--key", KEY_G,
                                               "-o", "bad.exe", code=1))
        # Stubs sfx.exe would refuse: an optional header too small for its
        # fields, no security directory.
        with open(STUB, "rb") as f:
            stub = f.read()
        pe = struct.unpack_from("<I", stub, 0x3C)[0]
        for name, offset, fmt, value, message in [
                ("SizeOfOptionalHeader 223", pe + 20, "<H", 223, "SizeOfOptionalHeader"),
                ("NumberOfRvaAndSizes 4", pe + 24 + 92, "<I", 4, "NumberOfRvaAndSizes")]:
            with self.subTest(stub=name):
                bad = bytearray(stub)
                struct.pack_into(fmt, bad, offset, value)
                self.write("bad-stub.exe", bytes(bad))
                out = self.tool("pack", "--stub", "bad-stub.exe", "--info", info, "--key", KEY_G, "-o", "bad.exe",
                                code=1)
                self.assertIn("malformed PE image: " + message, out)
                self.assertFalse(os.path.exists(self.path("bad.exe")))
                self.assertIn(message, self.tool("inspect", "bad-stub.exe", code=1))

    def test_bytes_behind_the_signature_are_refused(self):
        self.package("plain.exe")
        with open(self.path("plain.exe"), "rb") as f:
            data = f.read()
        self.write("appended.exe", data + bytes(range(200)) * 11)  # 2,200 bytes
        self.assertIn("not signed", self.tool("verify", "appended.exe", code=1))
        self.write("zeros.exe", data + bytes(8))
        self.tool("verify", "zeros.exe", code=1)

    @unittest.skipUnless(shutil.which("osslsigncode") and shutil.which("openssl"), "needs osslsigncode and openssl")
    def test_authenticode_release_flow(self):
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30",
                        "-subj", "/CN=Orvex Test Code Signing", "-keyout", self.path("cs.key"),
                        "-out", self.path("cs.crt")], check=True, capture_output=True)

        def authenticode(src, dst):
            subprocess.run(["osslsigncode", "sign", "-certs", self.path("cs.crt"), "-key", self.path("cs.key"),
                            "-n", "Morrow", "-in", self.path(src), "-out", self.path(dst)], check=True,
                           capture_output=True)

        # 1. A probe tells how large the certificate table will be.
        self.package("probe.exe")
        authenticode("probe.exe", "probe-signed.exe")
        _, size = security_directory(self.path("probe-signed.exe"))
        # Signed after packing without a reservation, the DSA block no longer
        # stands at the table: that package is refused.
        self.tool("verify", "probe-signed.exe", code=1)
        # 2. The real package reserves the table, then gets its Authenticode signature.
        self.package("release.exe", "--cert-table-size", str(size))
        # Its directory names a table that is not there yet.
        self.assertIn("NOT valid: the certificate table does not end the file",
                      self.tool("verify", "release.exe", code=1))
        authenticode("release.exe", "release-signed.exe")
        self.assertIn("valid, key G", self.tool("verify", "release-signed.exe"))
        peer = subprocess.run(["osslsigncode", "verify", "-CAfile", self.path("cs.crt"), "-in",
                               self.path("release-signed.exe")], capture_output=True, text=True)
        self.assertEqual(peer.returncode, 0, peer.stdout + peer.stderr)
        # Bytes behind the table are covered by no signature: refused.
        with open(self.path("release-signed.exe"), "rb") as f:
            signed = f.read()
        self.assertEqual(sum(security_directory(self.path("release-signed.exe"))), len(signed))
        self.write("release-appended.exe", signed + bytes(range(200)) * 11)
        self.assertIn("NOT valid: the certificate table does not end the file",
                      self.tool("verify", "release-appended.exe", code=1))
        self.assertIn("signature       refused: the certificate table does not end the file",
                      self.tool("inspect", "release-appended.exe", code=1))
        # The certificate table is outside the DSA signature, the payload inside.
        with open(self.path("release-signed.exe"), "rb") as f:
            data = bytearray(f.read())
        offset, size = security_directory(self.path("release-signed.exe"))
        data[offset + size // 2] ^= 0xFF
        self.write("cert-flipped.exe", bytes(data))
        self.tool("verify", "cert-flipped.exe")
        data[offset + size // 2] ^= 0xFF
        data[offset - 200] ^= 0x01
        self.write("payload-flipped.exe", bytes(data))
        self.tool("verify", "payload-flipped.exe", code=1)


if __name__ == "__main__":
    unittest.main(verbosity=2)
