"""The operating-system check at start-up, with the Windows version the test
prefix reports set in its registry."""
import os
import sys
sys.path.insert(0, os.path.dirname(__file__))
import kro_e2e as e2e  # noqa: E402


class WindowsVersion(e2e.PrefixTest):
    prefix_name = "winver"

    def run_and_read(self):
        if os.path.exists(self.prefix.log_file):
            os.remove(self.prefix.log_file)
        code, _ = self.prefix.run_sfx(self.sfx, "/silent")
        _, records = e2e.read_log(self.prefix.log_file)
        return code, records

    def test_versions(self):
        cases = [
            # (winecfg name, build, service pack, exit code, system name, refused)
            ("win7", 7600, 0, 45056, "Windows 7 x86", True),
            ("win7", 7601, 1, 44024, "Windows 7 SP1 x86", False),
            ("win10", 19045, 0, 44024, "Windows 10 (10.0.19045) x86", False),
        ]
        for version, build, sp, exit_code, name, refused in cases:
            with self.subTest(version=version, build=build, sp=sp):
                self.prefix.set_windows(version, build, sp)
                code, records = self.run_and_read()
                self.assertEqual(code, exit_code)
                self.assertEqual(records[0][2][0], "*** Starting SFX (1.0.0.1), System(%s) ***" % name)
                fatal = [r for r in records if r[0] == "fatal"]
                if refused:
                    self.assertEqual(fatal, [["fatal", "msfx", ["This operating system (6.1.7600) is not supported."]]])
                    # The run never started.
                    self.assertFalse(any("SFX started" in r[2][0] for r in records))
                else:
                    self.assertEqual(fatal, [])


if __name__ == "__main__":
    e2e.main()
