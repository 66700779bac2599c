"""The sample setup master morrow.exe on its own: a temporary folder laid out
as the self-extractor leaves it (common\\ with the setup files and
product-info.xml, the hand-off file morrow-info.xml beside it), started
through launch.exe; the report, the installed copies and the exit codes."""
import hashlib
import json
import os
import shutil
import sys
sys.path.insert(0, os.path.dirname(__file__))
import kro_e2e as e2e  # noqa: E402

SAMPLES_DIR = os.environ.get("KRO_SAMPLES_DIR", os.path.join(e2e.BUILD_DIR, "samples"))
MORROW = os.path.join(SAMPLES_DIR, "morrow.exe")

# name -> content; the sub-folder and the blank are kept when installed.
SETUP_FILES = {
    "morrow.exe": None,  # the program itself
    "data\\payload one.bin": bytes(range(256)) * 40,
    "data/nested/empty.txt": b"",
    "readme \u00e9t\u00e9.txt": "Gr\u00fc\u00dfe\r\n".encode("utf-8"),
}
# Listed only for another platform: never checked, never installed.
FOREIGN_FILE = "arm64-only.dll"


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def product_info(files, digest_of=None):
    digest_of = digest_of or {}
    entries = "".join(
        "    <file><name>%s</name><sha-256>%s</sha-256><timestamp>0</timestamp><size>%d</size></file>\n"
        % (name, digest_of.get(name, sha256(data)), len(data)) for name, data in files.items())
    return (
        '<?xml version="1.0" encoding="utf-8"?>\n<product-info>\n  <name>morrow</name>\n  <version>1.2.3</version>\n'
        "  <setup-files>\n%s  </setup-files>\n"
        "  <setup-files>\n    <conditions><os platform=\"arm64\"/></conditions>\n"
        "    <file><name>%s</name><sha-256>%s</sha-256><size>1</size></file>\n  </setup-files>\n"
        '  <setup-commands executable="morrow.exe" arguments=""/>\n</product-info>\n'
        % (entries, FOREIGN_FILE, "00" * 32)).encode("utf-8")


class SampleProduct(e2e.PrefixTest):
    prefix_name = "sample"

    @classmethod
    def setUpClass(cls):
        # A prefix of its own; no sfx.exe is needed.
        cls.prefix = e2e.Prefix(cls.prefix_name)
        cls.prefix.start_server()
        with open(MORROW, "rb") as f:
            cls.morrow_bytes = f.read()
        cls.files = {name: (cls.morrow_bytes if data is None else data) for name, data in SETUP_FILES.items()}

    def make_temp(self, windows_dir, files=None, info=None, handoff=None):
        """Lays out a temporary folder; returns the hand-off file's Windows path."""
        files = self.files if files is None else files
        root = self.prefix.unix(windows_dir)
        shutil.rmtree(root, ignore_errors=True)
        common = os.path.join(root, "common")
        for name, data in files.items():
            path = os.path.join(common, *name.replace("/", "\\").split("\\"))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
        with open(os.path.join(common, "product-info.xml"), "wb") as f:
            f.write(product_info(files) if info is None else info)
        if handoff is None:
            handoff = ('<?xml version="1.0" encoding="utf-8"?>\n'
                       '<morrow-info xmlns:xs="http://www.w3.org/2001/XMLSchema-instance">\n'
                       "\t<sfx-cmd>/silent</sfx-cmd>\n\t<session-id>0f0e0d0c-0b0a-4908-8706-050403020100</session-id>\n"
                       "\t<temp-base-dir>%s</temp-base-dir>\n</morrow-info>\n" % windows_dir).encode("utf-8")
        with open(os.path.join(root, "morrow-info.xml"), "wb") as f:
            f.write(handoff)
        return windows_dir + "\\morrow-info.xml"

    def run_morrow(self, temp_windows, args, extra_env=None):
        program = temp_windows + "\\common\\morrow.exe"
        code, _ = self.prefix.run_sfx(program, args, extra_env=extra_env)
        return code

    def report(self, install_windows):
        with open(os.path.join(self.prefix.unix(install_windows), "morrow-report.json"), "rb") as f:
            return json.loads(f.read().decode("utf-8"))

    def assert_installed(self, install_windows, handoff_windows):
        install = self.prefix.unix(install_windows)
        for name, data in self.files.items():
            with open(os.path.join(install, *name.replace("/", "\\").split("\\")), "rb") as f:
                self.assertEqual(f.read(), data, name)
        self.assertFalse(os.path.exists(os.path.join(install, FOREIGN_FILE)))
        with open(os.path.join(install, "morrow-info.xml"), "rb") as f, \
                open(self.prefix.unix(handoff_windows), "rb") as g:
            self.assertEqual(f.read(), g.read())

    def test_default_install_and_report(self):
        temp = "C:\\kro\\temp\\kro-sample-default"
        handoff = self.make_temp(temp)
        shutil.rmtree(self.prefix.unix("C:\\kro\\temp\\morrow-installed"), ignore_errors=True)
        args = '/morrow-info-path:"%s" /install --extra=a"b""c" plain "with blank"' % handoff
        self.assertEqual(self.run_morrow(temp, args), 0)
        install = "C:\\kro\\temp\\morrow-installed"
        self.assert_installed(install, handoff)
        r = self.report(install)
        self.assertEqual(r["exit_code"], 0)
        self.assertEqual(r["arguments"], ["/morrow-info-path:%s" % handoff, "/install", '--extra=ab"c', "plain",
                                          "with blank"])
        self.assertTrue(r["command_line"].endswith(args), r["command_line"])
        self.assertEqual(r["executable"].lower(), (temp + "\\common\\morrow.exe").lower())
        self.assertEqual(r["morrow_info_path"].lower(), handoff.lower())
        self.assertEqual(r["temp_base_dir"], temp)
        self.assertEqual(r["install_path"].lower(), install.lower())
        self.assertEqual(r["errors"], [])
        self.assertEqual([(f["name"], f["sha256"], f["size"], f["ok"]) for f in r["files"]],
                         [(n, sha256(d), len(d), True) for n, d in self.files.items()])
        # Everything the temporary folder held, with its digests.
        expected = {"morrow-info.xml", "common\\product-info.xml"}
        expected |= {"common\\" + n.replace("/", "\\") for n in self.files}
        self.assertEqual({f["path"] for f in r["temp_files"]}, expected)
        by_path = {f["path"]: f for f in r["temp_files"]}
        self.assertEqual(by_path["common\\data\\payload one.bin"]["sha256"], sha256(self.files["data\\payload one.bin"]))
        self.assertEqual(by_path["common\\data\\nested\\empty.txt"]["size"], 0)

    def test_exit_codes(self):
        temp = "C:\\kro\\temp\\kro-sample-codes"
        cases = [
            ("no code", "", None, 0),
            ("chosen", "/exit-code:3", None, 3),
            ("restart required", "/exit-code=44080", None, 44080),
            ("largest", "/exit-code:4294967295", None, 4294967295),
            ("from the environment", "", {"MORROW_EXIT_CODE": "17"}, 17),
            ("switch over environment", "/exit-code:5", {"MORROW_EXIT_CODE": "17"}, 5),
            ("unusable switch", "/exit-code:4294967296", {"MORROW_EXIT_CODE": "9"}, 9),
        ]
        for label, extra, env, code in cases:
            with self.subTest(label):
                handoff = self.make_temp(temp)
                install = "C:\\kro\\codes"
                args = "/morrow-info-path:%s /install /install-path:%s %s" % (handoff, install, extra)
                self.assertEqual(self.run_morrow(temp, args, extra_env=env), code)
                self.assertEqual(self.report(install)["exit_code"], code)
                self.assertEqual(self.report(install)["switches"].get("install"), "")

    def test_wrong_setup_file_gives_1002_and_installs_nothing(self):
        temp = "C:\\kro\\temp\\kro-sample-bad"
        for label, change in [("wrong hash", "hash"), ("missing", "missing"), ("wrong size", "size")]:
            with self.subTest(label):
                install = "C:\\kro\\bad " + change
                shutil.rmtree(self.prefix.unix(install), ignore_errors=True)
                files = dict(self.files)
                info = product_info(files, {"data\\payload one.bin": "ab" * 32} if change == "hash" else None)
                handoff = self.make_temp(temp, files, info)
                common = self.prefix.unix(temp + "\\common")
                if change == "missing":
                    os.remove(os.path.join(common, "readme \u00e9t\u00e9.txt"))
                if change == "size":
                    # The digest holds, the size in the document does not.
                    info = info.replace(b"<size>0</size>", b"<size>1</size>")
                    with open(os.path.join(common, "product-info.xml"), "wb") as f:
                        f.write(info)
                code = self.run_morrow(temp, '/morrow-info-path:%s /install /install-path:"%s" /exit-code:3'
                                       % (handoff, install))
                self.assertEqual(code, 1002)
                r = self.report(install)
                self.assertEqual(r["exit_code"], 1002)
                bad = {"hash": "data\\payload one.bin", "missing": "readme \u00e9t\u00e9.txt",
                       "size": "data/nested/empty.txt"}[change]
                self.assertEqual([f["name"] for f in r["files"] if not f["ok"]], [bad])
                self.assertTrue(r["errors"])
                installed = sorted(os.listdir(self.prefix.unix(install)))
                self.assertEqual(installed, ["morrow-info.xml", "morrow-report.json"])

    def test_unusable_handoff_gives_1001(self):
        temp = "C:\\kro\\temp\\kro-sample-handoff"
        install = "C:\\kro\\handoff"
        cases = [
            ("not XML", b"<morrow-info><temp-base-dir>", True),
            ("no temporary folder", b"<morrow-info/>", True),
            ("missing file", None, True),
            ("missing, no install path", None, False),
        ]
        for label, handoff_bytes, with_install in cases:
            with self.subTest(label):
                shutil.rmtree(self.prefix.unix(install), ignore_errors=True)
                handoff = self.make_temp(temp, handoff=handoff_bytes or b"")
                if handoff_bytes is None:
                    os.remove(self.prefix.unix(handoff))
                args = "/morrow-info-path:%s /install" % handoff
                if with_install:
                    args += " /install-path:%s" % install
                self.assertEqual(self.run_morrow(temp, args), 1001)
                if with_install:
                    r = self.report(install)
                    self.assertEqual(r["exit_code"], 1001)
                    self.assertIsNone(r["temp_base_dir"])
                    self.assertEqual(r["files"], [])
                else:
                    self.assertFalse(os.path.exists(self.prefix.unix(install)))

    def test_paths_with_blanks(self):
        temp = "C:\\Temp Folder\\kro sample (1)"
        handoff = self.make_temp(temp)
        install = "C:\\Program Files\\Morrow Sample\\deep er"
        shutil.rmtree(self.prefix.unix("C:\\Program Files\\Morrow Sample"), ignore_errors=True)
        args = '/clear /morrow-info-path:"%s" "/install-path:%s" /exit-code:3' % (handoff, install)
        self.assertEqual(self.run_morrow(temp, args), 3)
        self.assert_installed(install, handoff)
        r = self.report(install)
        self.assertEqual(r["install_path"], install)
        self.assertEqual(r["temp_base_dir"], temp)
        self.assertIn("clear", r["switches"])
        self.assertTrue(all(f["ok"] for f in r["files"]))

    def test_default_install_folder_beside_a_temp_folder_with_blanks(self):
        temp = "C:\\Temp Folder\\kro default"
        handoff = self.make_temp(temp)
        install = "C:\\Temp Folder\\morrow-installed"
        shutil.rmtree(self.prefix.unix(install), ignore_errors=True)
        self.assertEqual(self.run_morrow(temp, '/morrow-info-path:"%s" /install' % handoff), 0)
        self.assert_installed(install, handoff)

    def test_sleep_delays_the_exit(self):
        temp = "C:\\kro\\temp\\kro-sample-sleep"
        handoff = self.make_temp(temp)
        started = self.prefix.run_sfx(temp + "\\common\\morrow.exe",
                                      "/morrow-info-path:%s /install-path:C:\\kro\\sleep /sleep-ms:1500" % handoff)
        self.assertEqual(started[0], 0)
        self.assertGreaterEqual(started[1], 1.5)


if __name__ == "__main__":
    e2e.main()
