"""sfxtool without the build tree: `cmake --install` of the host build puts
the program and its manual page into a prefix, where the program runs, and
CPack makes a Debian package that holds exactly those two files and names
its shared-library dependencies."""
import os
import subprocess
import tempfile
import unittest

BUILD_DIR = os.environ["KRO_BUILD_DIR"]


def run(*args, **kwargs):
    return subprocess.run(args, check=True, capture_output=True, text=True, **kwargs).stdout


class InstallTest(unittest.TestCase):
    def test_install_puts_the_tool_and_its_manual_page_into_a_prefix(self):
        with tempfile.TemporaryDirectory() as prefix:
            run("cmake", "--install", BUILD_DIR, "--prefix", prefix)
            tool = os.path.join(prefix, "bin", "sfxtool")
            page = os.path.join(prefix, "share", "man", "man1", "sfxtool.1")
            self.assertTrue(os.access(tool, os.X_OK))
            self.assertIn("key ring", run(tool, "keys"))
            with open(page, encoding="utf-8") as f:
                text = f.read()
            self.assertTrue(text.startswith(".TH SFXTOOL 1"))
            # Every command's own --help is in the page.
            for command in ("keygen", "pack", "inspect", "verify", "extract"):
                self.assertIn(".SS " + command + "\n", text)
                self.assertIn("usage: sfxtool " + command, text)

    def test_cpack_makes_a_debian_package_of_the_tool(self):
        with tempfile.TemporaryDirectory() as out:
            run("cpack", "-G", "DEB", "-B", out, cwd=BUILD_DIR)
            debs = [name for name in os.listdir(out) if name.endswith(".deb")]
            self.assertEqual(len(debs), 1, os.listdir(out))
            deb = os.path.join(out, debs[0])
            info = run("dpkg-deb", "-I", deb)
            self.assertIn("Package: sfxtool", info)
            self.assertIn("libpugixml", info)  # dependencies found by dpkg-shlibdeps
            files = sorted(line.split()[-1] for line in run("dpkg-deb", "-c", deb).splitlines()
                           if not line.startswith("d"))
            self.assertEqual(files, ["./usr/bin/sfxtool", "./usr/share/man/man1/sfxtool.1"])


if __name__ == "__main__":
    unittest.main()
