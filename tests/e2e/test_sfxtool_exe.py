"""sfxtool.exe, the Windows build of the packaging tool, under Wine: it packs,
inspects and verifies like the native tool, and refuses a changed package."""
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
import key_ring  # noqa: E402
import kro_e2e as e2e  # noqa: E402
import package  # noqa: E402

TOOL_EXE = os.environ.get("KRO_SFXTOOL_EXE", os.path.join(e2e.BUILD_DIR, "src", "tool", "sfxtool.exe"))


class SfxtoolExe(e2e.PrefixTest):
    prefix_name = "sfxtool"

    def tool(self, *args):
        return subprocess.run(["wine", TOOL_EXE, *args], env=self.prefix.env, stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, timeout=300)

    def test_pack_inspect_verify(self):
        work = self.prefix.unix("C:\\work")
        os.makedirs(work, exist_ok=True)
        with open(os.path.join(work, "sfx-info.xml"), "wb") as f:
            f.write(package.INFO)
        with open(os.path.join(work, "G.txt"), "wb") as f, open(package.KEY_G, "rb") as key:
            f.write(key.read())
        with open(os.path.join(work, "stub.exe"), "wb") as f, open(e2e.SFX, "rb") as stub:
            f.write(stub.read())
        signed = self.tool("sign-xml", "--key", "C:\\work\\G.txt", "C:\\work\\sfx-info.xml")
        self.assertEqual(signed.returncode, 0, signed.stderr)
        packed = self.tool("pack", "--stub", "C:\\work\\stub.exe", "--info", "C:\\work\\sfx-info.xml", "--key",
                           "C:\\work\\G.txt", "--time", "1700000000", "-o", "C:\\work\\package.exe")
        self.assertEqual(packed.returncode, 0, packed.stdout + packed.stderr)
        inspected = self.tool("inspect", "C:\\work\\package.exe")
        self.assertIn("verified        yes, key G of key set 3", inspected.stdout)
        # The Windows and the native tool make the same package.
        native = package.make_package(os.path.join(self.prefix.path, "native"))
        with open(native, "rb") as a, open(os.path.join(work, "package.exe"), "rb") as b:
            self.assertEqual(a.read(), b.read())
        with open(os.path.join(work, "package.exe"), "r+b") as f:
            f.seek(-100, os.SEEK_END)
            byte = f.read(1)
            f.seek(-100, os.SEEK_END)
            f.write(bytes([byte[0] ^ 1]))
        verified = self.tool("verify", "C:\\work\\package.exe")
        self.assertEqual(verified.returncode, 1, verified.stdout)
        self.assertIn("NOT valid", verified.stdout)

    def test_keygen_and_key_ring(self):
        work = self.prefix.unix("C:\\keys")
        os.makedirs(work, exist_ok=True)
        ring = os.path.join(work, "ring.txt")
        with open(ring, "wb") as f, open(key_ring.DEV_RING, "rb") as src:
            f.write(src.read())
        for force in ([], ["--force"]):
            made = self.tool("keygen", "--ring", "C:\\keys\\ring.txt", "--domain", "1", "-o", "C:\\keys\\new.key",
                             *force)
            self.assertEqual(made.returncode, 0, made.stdout + made.stderr)
        with open(os.path.join(work, "new.key")) as f:
            self.assertIn("\nx ", f.read())
        self.assertEqual(sorted(os.listdir(work)), ["new.key", "ring.txt"], "no temporary file stays")
        keys = self.tool("keys")
        ring_in_build = key_ring.build_ring(e2e.BUILD_DIR)
        self.assertIn("key ring        " + key_ring.fingerprint(ring_in_build), keys.stdout)


if __name__ == "__main__":
    e2e.main()
