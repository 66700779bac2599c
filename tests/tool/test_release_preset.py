"""The release preset: it refuses to configure without a publisher's key ring
and refuses any ring that holds development keys (by content, whatever the
file is called); with a publisher's ring made by sfxtool keygen it configures
and names the ring's fingerprint. Configuration only, into a temporary
folder; nothing is built."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
import key_ring  # noqa: E402

SOURCE_DIR = os.environ.get("KRO_SOURCE_DIR", os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
TOOL = os.environ.get("KRO_SFXTOOL", os.path.join(SOURCE_DIR, "build", "host", "src", "tool", "sfxtool"))
DEV_RING = os.path.join(SOURCE_DIR, "keys", "dev-ring.txt")


@unittest.skipUnless(shutil.which("i686-w64-mingw32-g++-posix"), "needs the MinGW toolchain (scripts/setup)")
class ReleasePreset(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="kro-release-")
        cls.build = os.path.join(cls.dir, "build")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def configure(self, *extra):
        # One binary folder for every case: the compiler checks run once.
        out = subprocess.run(["cmake", "--preset", "release", "-B", self.build, *extra], cwd=SOURCE_DIR,
                             capture_output=True, text=True, timeout=600)
        return out.returncode, re.sub(r"\s+", " ", out.stdout + out.stderr)

    def publisher_ring(self, path, development=""):
        """A ring on the development domain parameters with fresh keys (the
        keygen flow of README), except the keys named in development."""
        ring = key_ring.read(DEV_RING)
        for name in "ABCDEFGH":
            domain, _ = ring["keys"][name]
            if name in development:
                continue
            key = os.path.join(self.dir, name + ".key")
            out = subprocess.run([TOOL, "keygen", "--ring", DEV_RING, "--domain", str(domain), "-o", key, "--force"],
                                 capture_output=True, text=True, check=True).stdout
            ring["keys"][name] = (domain, int(re.search(r"^y ([0-9a-f]+)$", out, re.M).group(1), 16))
        key_ring.write(path, ring)
        return path

    def test_release_configuration(self):
        # Without a ring (the first run: nothing cached yet).
        code, out = self.configure()
        self.assertNotEqual(code, 0, out)
        self.assertIn("A release build needs the publisher's key ring and has no default", out)
        self.assertIn("cmake --preset release -DKRO_KEY_RING=/path/to/publisher-ring.txt", out)

        # The development ring, under its own name, copied under another, or
        # one development key among the publisher's.
        copy = os.path.join(self.dir, "our-ring.txt")
        with open(DEV_RING) as src, open(copy, "w") as dst:
            dst.write("# looks like ours\n" + src.read().replace("\n\n", "\n"))
        mixed = self.publisher_ring(os.path.join(self.dir, "mixed-ring.txt"), development="H")
        for ring, keys in ((DEV_RING, "ABCDEFGH"), (copy, "ABCDEFGH"), (mixed, "H")):
            with self.subTest(ring=os.path.basename(ring)):
                code, out = self.configure("-DKRO_KEY_RING=" + ring)
                self.assertNotEqual(code, 0, out)
                self.assertIn("holds keys of the development ring (%s)" % keys, out)
                self.assertIn("A release build refuses them", out)
                self.assertIn("-DKRO_KEY_RING=/path/to/publisher-ring.txt", out)

        # A broken ring is named as such.
        broken = os.path.join(self.dir, "broken-ring.txt")
        with open(broken, "w") as f:
            f.write("domain 1\np 17\n")
        code, out = self.configure("-DKRO_KEY_RING=" + broken)
        self.assertNotEqual(code, 0, out)
        self.assertIn("is no usable key ring", out)

        # The publisher's own ring configures, without the development warning.
        own = self.publisher_ring(os.path.join(self.dir, "publisher-ring.txt"))
        code, out = self.configure("-DKRO_KEY_RING=" + own)
        self.assertEqual(code, 0, out)
        self.assertIn("Key ring %s, fingerprint %s" % (own, key_ring.fingerprint(own)), out)
        self.assertNotIn("development ring", out)


if __name__ == "__main__":
    unittest.main(verbosity=2)
