"""Removal of the temporary folder never follows a link. Linux symbolic
links can be made only from this side; Wine shows a link to a folder as a
reparse point. win_tests.exe (case temp_dir.links_inside_are_not_followed)
creates a folder, names it in a handshake file and removes it once the links
are in place; the links' targets must keep everything they hold."""
import os
import subprocess
import sys
import time
sys.path.insert(0, os.path.dirname(__file__))
import kro_e2e as e2e  # noqa: E402


class TempDirLinks(e2e.PrefixTest):
    prefix_name = "links"

    def test_links_to_folders_are_not_followed(self):
        target = self.prefix.unix("C:\\kro\\target")
        full = os.path.join(target, "full")
        empty = os.path.join(target, "empty")
        os.makedirs(os.path.join(full, "deeper"), exist_ok=True)
        os.makedirs(empty, exist_ok=True)
        kept = [os.path.join(full, "a.txt"), os.path.join(full, "deeper", "b.txt")]
        for path in kept:
            with open(path, "w") as f:
                f.write("keep")
        handshake = "C:\\kro\\links"
        env = self.prefix.env
        env["KRO_LINK_HANDSHAKE"] = handshake
        test = subprocess.Popen(
            ["wine", os.path.join(e2e.BUILD_DIR, "tests", "win_tests.exe"),
             "--gtest_filter=temp_dir.links_inside_are_not_followed"],
            env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        try:
            path_file = self.prefix.unix(handshake + ".path")
            deadline = time.monotonic() + 120
            while not os.path.exists(path_file):
                self.assertLess(time.monotonic(), deadline, "win_tests.exe named no folder")
                self.assertIsNone(test.poll(), test.stdout.read() if test.poll() is not None else "")
                time.sleep(0.1)
            time.sleep(0.2)
            with open(path_file) as f:
                folder_windows = f.read()
            # drive_c keeps Wine's own spelling of the Temp folder.
            name = folder_windows.rsplit("\\", 1)[1]
            temp = self.prefix.temp_dir()
            if not os.path.isdir(temp):
                temp = os.path.join(self.prefix.path, "drive_c", "windows", "temp")
            folder = os.path.join(temp, name)
            self.assertTrue(os.path.isdir(folder), folder)
            os.symlink(full, os.path.join(folder, "full-link"))
            os.symlink(empty, os.path.join(folder, "empty-link"))
            open(self.prefix.unix(handshake + ".ready"), "w").close()
            out, _ = test.communicate(timeout=120)
        finally:
            if test.poll() is None:
                test.kill()
        self.assertEqual(test.returncode, 0, out.decode(errors="replace"))
        self.assertIn(b"[  PASSED  ] 1 test", out)
        for path in kept:
            self.assertTrue(os.path.exists(path), path)
        self.assertTrue(os.path.isdir(empty), "the empty target folder was removed through its link")
        # The folder's own file is gone; the links stay where removing them
        # would reach their targets.
        self.assertFalse(os.path.exists(os.path.join(folder, "own.bin")))


if __name__ == "__main__":
    e2e.main()
