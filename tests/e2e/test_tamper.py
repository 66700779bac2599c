"""A signed package refuses every changed byte of what its signature covers:
headers, section data, each payload record, the end record and the signature
block. Most positions are checked with the native verifier (sfxtool verify,
the same code as sfx.exe), and one or more per region by whole runs of
sfx.exe under Wine, which end with 44024 and leave no temporary folder.
Bytes behind the certificate table, which no signature covers, are refused
as well."""
import hashlib
import os
import random
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import kro_e2e as e2e  # noqa: E402
import package  # noqa: E402

POSITIONS_PER_REGION = 45


class Tamper(e2e.PrefixTest):
    prefix_name = "tamper"

    @classmethod
    def prepare_prefix(cls):
        cls.work = tempfile.mkdtemp(prefix="tamper-", dir=os.path.join(e2e.BUILD_DIR, "e2e-prefixes"))
        cls.package = package.make_package(cls.work, files=[
            ("a.txt", b"hello\n", False), ("data/b.bin", bytes(range(256)) * 64, True)])
        with open(cls.package, "rb") as f:
            cls.data = f.read()
        cls.regions = package.regions(cls.data)

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        shutil.rmtree(cls.work, ignore_errors=True)

    def flipped(self, position, name):
        data = bytearray(self.data)
        data[position] ^= 0x20
        path = os.path.join(self.work, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def verify_all(self, paths):
        """{path: True when valid} through one sfxtool verify run."""
        out = package.subprocess.run([package.TOOL, "verify", *paths], capture_output=True, text=True)
        result = {}
        for line in out.stdout.splitlines():
            path, _, verdict = line.partition(": ")
            result[path] = verdict.startswith("valid")
        return result

    def test_every_region_refuses_changed_bytes(self):
        self.assertIn("valid", package.tool("verify", self.package))
        rng = random.Random(44024)
        checksum = package.checksum_field(self.data)
        checked = 0
        for name, start, end in self.regions:
            positions = sorted(set(rng.randrange(start, end) for _ in range(POSITIONS_PER_REGION)) | {start, end - 1})
            positions = [p for p in positions if not checksum <= p < checksum + 4]
            paths = [self.flipped(p, "flip-%d.exe" % p) for p in positions]
            verdicts = self.verify_all(paths)
            for p, path in zip(positions, paths):
                self.assertFalse(verdicts[path], "%s: byte %#x changed and still valid" % (name, p))
                os.remove(path)
            checked += len(positions)
        self.assertGreaterEqual(checked, 500)
        # The CheckSum field is outside the signature.
        for p in range(checksum, checksum + 4):
            self.assertTrue(self.verify_all([self.flipped(p, "checksum.exe")])[os.path.join(self.work, "checksum.exe")])
        print("checked %d positions in %d regions" % (checked, len(self.regions)))

    def test_whole_runs_refuse_a_tampered_package(self):
        temp = self.prefix.temp_dir()
        before = set(n for n in os.listdir(temp) if n.startswith("kro-")) if os.path.isdir(temp) else set()
        runs = package.inert_positions(self.data)
        rng = random.Random(7)
        payload = [r for r in self.regions if not r[0].startswith(("dos", "nt", "section"))]
        while len(runs) < 20:
            name, start, end = payload[rng.randrange(len(payload))]
            runs.append((name, rng.randrange(start, end)))
        covered = set(name for name, _ in runs)
        self.assertTrue(any(n.startswith("section .") for n in covered), covered)
        for name, position in runs:
            with self.subTest(region=name, position=position):
                path = self.flipped(position, "run.exe")
                program = self.prefix.install_sfx(path, "tampered.exe")
                code, _ = self.prefix.run_sfx(program, "/silent")
                self.assertEqual(code, 44024)
                _, records = e2e.read_log(self.prefix.log_file)
                self.assertIn(["error", "msfx", ["SFX is not DSA signed!"]], records)
        print("%d whole runs over %d regions" % (len(runs), len(covered)))
        after = set(n for n in os.listdir(temp) if n.startswith("kro-")) if os.path.isdir(temp) else set()
        self.assertEqual(after, before, "a refused package left a temporary folder")

    def test_bytes_behind_the_certificate_table_are_refused(self):
        path = package.make_package(self.work, "with-table.exe", files=[("a.txt", b"hello\n", False)],
                                    extra=("--cert-table-size", "1024"))
        with open(path, "rb") as f:
            data = f.read()
        table = bytes((i * 7) & 0xFF for i in range(1024))  # where the Authenticode certificate goes
        cases = [("the table ends the file", data + table, False),
                 ("2,200 bytes behind the table", data + table + bytes(range(200)) * 11, True)]
        for name, content, refused in cases:
            with self.subTest(name):
                path = os.path.join(self.work, "table.exe")
                with open(path, "wb") as f:
                    f.write(content)
                program = self.prefix.install_sfx(path, "table.exe")
                seen = len(e2e.read_log(self.prefix.log_file)[1]) if os.path.exists(self.prefix.log_file) else 0
                code, _ = self.prefix.run_sfx(program, "/silent /offline")
                records = e2e.read_log(self.prefix.log_file)[1][seen:]
                self.assertEqual(["error", "msfx", ["SFX is not DSA signed!"]] in records, refused, records)
                if refused:
                    self.assertEqual(code, 44024)
                    self.assertIn(["error", "msfx", ["DSA check refused the data: the certificate table does "
                                                     "not end the file."]], records)
                else:
                    self.assertNotEqual(code, 44024)
                    # The run went past the check and read the payload.
                    digest = hashlib.sha256(b"hello\n").hexdigest()
                    line = "Data file sha='%s', alias='a.txt', found in payload." % digest
                    self.assertIn(["debug", "msfx", [line]], records)


if __name__ == "__main__":
    e2e.main()
