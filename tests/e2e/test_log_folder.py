"""The log folder under 32-bit Wine, with /silent runs of an offline package
that stop in setup preparation (code 44051) whether or not a log file is
written.

Links: Linux symbolic links can be made only from this side; a link planted
in place of the log file, the Logs folder or a folder above it must not be
followed: what it points to keeps its bytes, and no rotated, temporary or
doomed file lands beside it. Ownership and access: a folder owned by another
Unix user shows a foreign owner under Wine and is refused; a folder whose
Unix mode lets others write shows an access list that lets everyone change
it and is reset; a log file like that is refused.

The common application data folder: with the shell's answer gone, the
program reads "Shell Folders"; an empty or relative value there ends the run
with a non-zero code and creates nothing at the root of the drive (both
registry forms of an empty value are shown by win_tests.exe, case
log_folder_win.common_folder_from_the_registry_must_be_a_full_path)."""
import os
import shutil
import stat
import sys
sys.path.insert(0, os.path.dirname(__file__))
import kro_e2e as e2e  # noqa: E402
import package  # noqa: E402

LIMIT = 4194304
COMPANY = os.path.join("drive_c", "ProgramData", "Orvex Software")


def remove(path):
    if os.path.islink(path) or os.path.isfile(path):
        os.remove(path)
    elif os.path.isdir(path):
        shutil.rmtree(path)


def tree(folder):
    """Every file under folder with its bytes."""
    out = {}
    for root, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                out[os.path.relpath(path, folder)] = f.read()
    return out


class LogFolder(e2e.PrefixTest):
    prefix_name = "log-folder"

    @classmethod
    def program(cls):
        return package.make_package(os.path.join(cls.prefix.path, "package"))

    def setUp(self):
        self.company = os.path.join(self.prefix.path, COMPANY)
        self.logs = self.prefix.log_dir
        self.target = self.prefix.unix("C:\\elsewhere")
        for path in (self.company, self.target):
            remove(path)
        os.makedirs(self.target)

    def run_silent(self):
        code, _ = self.prefix.run_sfx(self.sfx, "/silent /offline")
        self.assertEqual(code, 44051, "the run goes on without a log file")

    def victims(self):
        """Files a link could lead to: one the logger would append to, one
        it would move away as foreign, one it would rotate as full."""
        full = e2e.BOM + b"full\r\n"
        return {
            "appended.log": e2e.BOM + b"precious\r\n",
            "foreign.log": b"no byte-order mark\r\n",
            "full.log": full + b"x" * (LIMIT - len(full)),
        }

    def test_link_in_place_of_the_log_file_is_not_followed(self):
        for name, data in self.victims().items():
            with self.subTest(name):
                self.setUp()
                victim = os.path.join(self.target, name)
                with open(victim, "wb") as f:
                    f.write(data)
                os.makedirs(self.logs)
                os.symlink(victim, self.prefix.log_file)
                self.run_silent()
                self.assertEqual(tree(self.target), {name: data})
                self.assertEqual(os.listdir(self.logs), ["sfx.log"])
                self.assertEqual(os.readlink(self.prefix.log_file), victim)

    def test_link_in_place_of_a_folder_is_not_followed(self):
        full = e2e.BOM + b"x" * LIMIT
        for level in ("Logs", "Morrow", "Orvex Software"):
            with self.subTest(level):
                self.setUp()
                # The target holds what the linked folder would hold.
                inside = {"Logs": "", "Morrow": "Logs", "Orvex Software": os.path.join("Morrow", "Logs")}[level]
                os.makedirs(os.path.join(self.target, inside), exist_ok=True)
                with open(os.path.join(self.target, inside, "sfx.log"), "wb") as f:
                    f.write(full)
                link = {"Logs": self.logs, "Morrow": os.path.dirname(self.logs), "Orvex Software": self.company}[level]
                os.makedirs(os.path.dirname(link), exist_ok=True)
                os.symlink(self.target, link)
                self.run_silent()
                self.assertEqual(tree(self.target), {os.path.join(inside, "sfx.log"): full})
                self.assertTrue(os.path.islink(link))

    def test_folder_of_another_owner_is_refused(self):
        os.makedirs(self.logs)
        with open(self.prefix.log_file, "wb") as f:
            f.write(e2e.BOM + b"theirs\r\n")
        os.chown(os.path.dirname(self.logs), 65534, 65534)
        self.run_silent()
        with open(self.prefix.log_file, "rb") as f:
            self.assertEqual(f.read(), e2e.BOM + b"theirs\r\n")
        self.assertEqual(os.listdir(self.logs), ["sfx.log"])

    def test_folder_others_may_change_is_reset(self):
        os.makedirs(self.logs)
        morrow = os.path.dirname(self.logs)
        os.chmod(morrow, 0o777)
        self.run_silent()
        self.assertFalse(os.stat(morrow).st_mode & stat.S_IWOTH)
        _, records = e2e.read_log(self.prefix.log_file)
        self.assertTrue(records[0][2][0].startswith("*** Starting SFX"), records[:2])
        note = "The access list of the log folder 'C:\\ProgramData\\Orvex Software\\Morrow' was reset to " \
               "administrators only."
        self.assertIn(["info", "msfx", [note]], records)

    def test_log_file_others_may_change_is_refused(self):
        os.makedirs(self.logs)
        with open(self.prefix.log_file, "wb") as f:
            f.write(e2e.BOM + b"open to all\r\n")
        os.chmod(self.prefix.log_file, 0o666)
        self.run_silent()
        with open(self.prefix.log_file, "rb") as f:
            self.assertEqual(f.read(), e2e.BOM + b"open to all\r\n")
        self.assertEqual(os.listdir(self.logs), ["sfx.log"])


class CommonFolderFromRegistry(e2e.PrefixTest):
    prefix_name = "common-folder"

    @classmethod
    def program(cls):
        return package.make_package(os.path.join(cls.prefix.path, "package"))

    USER_SHELL = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders"

    def test_empty_or_relative_value_is_a_failure(self):
        # Wine's shell answers from "User Shell Folders"; when that is not a
        # full path it fails and writes the value, unexpanded, to "Shell
        # Folders", where the program then finds it.
        root = os.path.join(self.prefix.path, "drive_c")
        before = sorted(os.listdir(root))
        for value, code in (("", 2), ("Relative\\Data", 161)):  # ERROR_FILE_NOT_FOUND, ERROR_BAD_PATHNAME
            with self.subTest(value):
                self.prefix.wine("reg", "add", self.USER_SHELL, "/v", "Common AppData", "/t", "REG_EXPAND_SZ",
                                 "/d", value, "/f")
                self.assertEqual(self.prefix.run_sfx(self.sfx, "/silent /offline")[0], code)
                self.assertEqual(sorted(os.listdir(root)), before, "nothing lands at the root of the drive")


if __name__ == "__main__":
    e2e.main()
