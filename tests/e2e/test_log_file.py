"""A signed package under 32-bit Wine, started with /silent: the log file of
the run, its rotation and its recovery from a foreign file. The package is
offline and carries no product-info.xml: the run passes the signature check
and the payload, creates its temporary folder and stops in setup preparation
(code 44051); the folder is gone afterwards, and stays with /xperf."""
import os
import sys
sys.path.insert(0, os.path.dirname(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
import key_ring  # noqa: E402
import kro_e2e as e2e  # noqa: E402
import package  # noqa: E402

LIMIT = 4194304


class LogFile(e2e.PrefixTest):
    prefix_name = "log"

    @classmethod
    def program(cls):
        return package.make_package(os.path.join(cls.prefix.path, "package"))

    def setUp(self):
        os.makedirs(self.prefix.log_dir, exist_ok=True)
        for name in os.listdir(self.prefix.log_dir):
            os.remove(os.path.join(self.prefix.log_dir, name))

    def run_silent(self):
        code, _ = self.prefix.run_sfx(self.sfx, "/silent /offline")
        self.assertEqual(code, 44051)
        return e2e.read_log(self.prefix.log_file)

    def test_silent_run_writes_the_whole_log(self):
        data, records = self.run_silent()
        self.assertTrue(data.startswith(e2e.BOM))
        self.assertNotIn(b"\n", data.replace(b"\r\n", b""), "every line ends in CR LF")
        level, tag, lines = records[0]
        self.assertEqual((level, tag), ("info", "msfx"))
        self.assertEqual(lines[0], "*** Starting SFX (1.0.0.1), System(Windows 7 SP1 x86) ***")
        # The next record names the build's key ring by its fingerprint,
        # computed here from the ring the build was configured with.
        ring = key_ring.build_ring(e2e.BUILD_DIR)
        expected = "Key ring " + key_ring.fingerprint(ring)
        if key_ring.development_keys(ring):
            expected += " (development)"
        self.assertEqual(records[1], ["info", "msfx", [expected]])
        messages = [r[2][0] for r in records]
        self.assertIn("SFX started with command line '/silent /offline'", messages)
        self.assertIn("DSA for file 'C:\\kro\\sfx.exe' verified with result '1'", messages)
        found = [m for m in messages if m.startswith("Data file sha=")]
        self.assertEqual(len(found), 1, messages)
        self.assertRegex(found[0], r"^Data file sha='[0-9a-f]{64}', alias='sfx-info.xml', found in payload\.$")
        # Setup preparation names the missing document, then the run logs the
        # failure with the setup master line received so far.
        failure = [r[2] for r in records if r[0] == "error"]
        missing = "The product-info.xml 'morrow/stable.xml' has not been found in SFX, fail!"
        self.assertEqual(failure[0], [missing], records)
        self.assertEqual(failure[1][:2], ["Execute setup master process '' failed!", "Exception: " + missing], records)
        self.assertEqual(len(failure), 2, records)
        # Continuation lines start under the message's first character.
        raw_lines = data[3:].split(b"\r\n")
        continuation = [l for l in raw_lines if l.startswith(b" ")]
        self.assertTrue(continuation)
        for line in continuation:
            self.assertEqual(line[:e2e.HEADER_WIDTH], b" " * e2e.HEADER_WIDTH)
            self.assertNotEqual(line[e2e.HEADER_WIDTH:e2e.HEADER_WIDTH + 1], b" ")
        self.assertEqual(records[-2][1:], ["log_module", ["LogModule is going to be destroyed."]])
        self.assertEqual(records[-1][2], ["=" * 117])
        self.assertTrue(data.endswith(b"=" * 117 + b"\r\n"))

    def kro_folders(self):
        temp = self.prefix.temp_dir()
        return set(n for n in os.listdir(temp) if n.startswith("kro-")) if os.path.isdir(temp) else set()

    def test_temporary_folder_is_removed_unless_xperf(self):
        before = self.kro_folders()
        self.run_silent()
        self.assertEqual(self.kro_folders(), before)
        code, _ = self.prefix.run_sfx(self.sfx, "/silent /offline /xperf")
        self.assertEqual(code, 44051)
        _, records = e2e.read_log(self.prefix.log_file)
        kept = self.kro_folders() - before
        self.assertEqual(len(kept), 1, records)
        self.assertRegex(kept.pop(), r"^kro-[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")

    def test_unsigned_program_is_refused(self):
        program = self.prefix.install_sfx(e2e.SFX, "unsigned.exe")
        code, _ = self.prefix.run_sfx(program, "/silent")
        self.assertEqual(code, 44024)
        _, records = e2e.read_log(self.prefix.log_file)
        messages = [r[2][0] for r in records]
        self.assertIn("DSA for file 'C:\\kro\\unsigned.exe' verified with result '0'", messages)
        self.assertIn(["error", "msfx", ["SFX is not DSA signed!"]], records)
        self.assertFalse(any(m.startswith("Data file sha=") for m in messages))

    def test_full_log_is_rotated_at_the_next_start(self):
        old = e2e.BOM + b"previous run\r\n"
        full = old + b"x" * (LIMIT - len(old))
        with open(self.prefix.log_file, "wb") as f:
            f.write(full)
        with open(self.prefix.log_file + ".old", "wb") as f:
            f.write(e2e.BOM + b"older run\r\n")
        data, records = self.run_silent()
        with open(self.prefix.log_file + ".old", "rb") as f:
            self.assertEqual(f.read(), full)
        self.assertTrue(data.startswith(e2e.BOM))
        self.assertLess(len(data), 64 * 1024)
        self.assertTrue(records[0][2][0].startswith("*** Starting SFX"))
        self.assertEqual(sorted(os.listdir(self.prefix.log_dir)), ["sfx.log", "sfx.log.old"])

    def test_foreign_log_is_moved_away_at_first_open(self):
        foreign = b"written by someone else\n" * 1000
        with open(self.prefix.log_file, "wb") as f:
            f.write(foreign)
        data, records = self.run_silent()
        with open(self.prefix.log_file + ".old", "rb") as f:
            self.assertEqual(f.read(), foreign)
        self.assertTrue(data.startswith(e2e.BOM))
        self.assertTrue(records[0][2][0].startswith("*** Starting SFX"))


if __name__ == "__main__":
    e2e.main()
