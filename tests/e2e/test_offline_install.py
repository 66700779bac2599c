"""Offline packages made by sfxtool installed end to end under 32-bit Wine
with the sample setup master: its command line and hand-off file, the files
in place when it starts, exit codes, the module DLL's channel, and the
failure paths, each with its exit code, its log line and no temporary
folder left behind."""
import json
import os
import shutil
import subprocess
import sys
import time
sys.path.insert(0, os.path.dirname(__file__))
import kro_e2e as e2e  # noqa: E402
import package  # noqa: E402

SCHEMAS = os.path.join(e2e.SOURCE_DIR, "schemas")
INSTALL = "C:\\installed"
DATA = bytes(range(256)) * 400          # 100 KiB, packed
NOTE = b"a note for the setup master\r\n"


class OfflineInstall(e2e.PrefixTest):
    prefix_name = "offline"

    def setUp(self):
        self.work = os.path.join(self.prefix.path, "work", self.id().rsplit(".", 1)[-1])
        shutil.rmtree(self.work, ignore_errors=True)
        shutil.rmtree(self.prefix.unix(INSTALL), ignore_errors=True)
        os.makedirs(self.prefix.log_dir, exist_ok=True)
        for name in os.listdir(self.prefix.log_dir):
            os.remove(os.path.join(self.prefix.log_dir, name))

    # -- helpers ----------------------------------------------------------
    def kro_folders(self):
        temp = self.prefix.temp_dir()
        return set(n for n in os.listdir(temp) if n.startswith("kro-"))

    def install(self, package_path, args="/silent /offline", env=None, install=INSTALL, directory=None,
                program=None):
        """Runs the package as C:\\kro\\<name> (or as the Windows path
        program), started in the current directory `directory` when given;
        returns (exit code, log records, report or None). Checks that no
        temporary folder stays unless /xperf was given."""
        if program is None:
            program = self.prefix.install_sfx(package_path, os.path.basename(package_path))
        else:
            os.makedirs(os.path.dirname(self.prefix.unix(program)), exist_ok=True)
            shutil.copy(package_path, self.prefix.unix(program))
        before = self.kro_folders()
        if install:
            args += ' "/install-path=%s"' % install if " " in install else " /install-path=%s" % install
        code, _ = self.prefix.run_sfx(program, args, extra_env=env, directory=directory)
        if "/xperf" not in args:
            self.assertEqual(self.kro_folders(), before, "temporary folder left behind")
        _, records = e2e.read_log(self.prefix.log_file)
        report = None
        if install:
            path = os.path.join(self.prefix.unix(install), "morrow-report.json")
            if os.path.exists(path):
                with open(path, encoding="utf-8") as f:
                    report = json.load(f)
        return code, records, report

    def package(self, **kw):
        return package.make_offline_package(self.work, **kw)

    def assert_logged(self, records, text, level=None):
        for r in records:
            if any(text in line for line in r[2]) and (level is None or r[0] == level):
                return
        self.fail("no %s record with %r in:\n%s" % (level or "", text, "\n".join(" | ".join(r[2]) for r in records)))

    # -- the whole run ------------------------------------------------------
    def test_setup_master_gets_its_command_line_hand_off_file_and_files(self):
        setup = [("morrow.exe", package.morrow_bytes()), ("data\\table.bin", DATA), ("note.txt", NOTE)]
        path = self.package(setup_files=setup, arguments="/own-switch:1 plain", lzma={"data\\table.bin"},
                            extra=[("sub\\extra.edat", b"edat bytes", False)])
        code, records, report = self.install(path, "/silent /offline /cookie=c-123 /lang-id=1031")
        self.assertEqual(code, 0, records)
        self.assertIsNotNone(report, "the setup master wrote no report")

        temp = report["temp_base_dir"]
        self.assertRegex(temp, r"^C:\\windows\\Temp\\kro-[0-9a-f-]{36}$")
        self.assertEqual(report["executable"].lower(), (temp + "\\common\\morrow.exe").lower())
        # It runs in the working folder, not in the folder this run started in.
        self.assertEqual(report["current_directory"], temp + "\\common")
        hand_off = temp + "\\morrow-info.xml"
        self.assertEqual(report["morrow_info_path"], hand_off)
        # The launcher renders the whole line once more: switches first, in
        # order (its own, the hand-off path, install, then the converted
        # switches of this run), arguments behind them.
        self.assertEqual(report["arguments"],
                         ["/own-switch:1", "/morrow-info-path:" + hand_off, "/install", "/silent", "/offline",
                          "/cookie:c-123", "/lang-id:1031", "/install-path:" + INSTALL, "plain"])
        # Every setup file in place, with the right digest, when it started.
        self.assertEqual(sorted((f["name"], f["ok"]) for f in report["files"]),
                         sorted((n, True) for n, _ in setup))
        in_temp = {f["path"]: f["sha256"] for f in report["temp_files"]}
        for name, data in setup:
            self.assertEqual(in_temp["common\\" + name], package.sha256(data))
        self.assertEqual(in_temp["sub\\extra.edat"], package.sha256(b"edat bytes"))
        self.assertIn("common\\product-info.xml", in_temp)
        with open(os.path.join(self.prefix.unix(INSTALL), "data", "table.bin"), "rb") as f:
            self.assertEqual(f.read(), DATA)

        # The hand-off file: its elements in order, valid by its schema.
        import xml.etree.ElementTree as ET
        copy = os.path.join(self.prefix.unix(INSTALL), "morrow-info.xml")
        root = ET.parse(copy).getroot()
        self.assertEqual([c.tag for c in root],
                         ["file-list", "file-mapping-sfx", "sfx-cmd", "session-id", "temp-base-dir",
                          "eula", "config-def", "repository", "products", "title", "cookie"])
        self.assertEqual(root.find("temp-base-dir").text, temp)
        self.assertEqual(root.find("cookie").text, "c-123")
        self.assertEqual(root.find("sfx-cmd").text, "/silent /offline /cookie:c-123 /lang-id:1031 /install-path:" + INSTALL)
        aliases = [f.find("alias").text or "" for f in root.find("file-list")]
        self.assertIn("morrow/release.xml", aliases)
        out = subprocess.run(["xmllint", "--noout", "--schema", os.path.join(SCHEMAS, "morrow-info.xsd"), copy],
                             capture_output=True, text=True)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assert_logged(records, "Process '", "info")

    def read_report(self, folder):
        with open(os.path.join(self.prefix.unix(folder), "morrow-report.json"), encoding="utf-8") as f:
            return json.load(f)

    def test_relative_install_folder_arrives_as_a_full_path(self):
        """Started from C:\\dl (as from a download folder) with a relative
        /DIR=: the setup master, which runs in the working folder, gets the
        folder made absolute against C:\\dl, and installs there."""
        os.makedirs(self.prefix.unix("C:\\dl"), exist_ok=True)
        shutil.rmtree(self.prefix.unix("C:\\dl\\inst dir"), ignore_errors=True)
        code, records, _ = self.install(self.package(), '/silent /offline "/DIR=inst dir\\sub"', install=None,
                                        directory="C:\\dl")
        self.assertEqual(code, 0, records)
        full = "C:\\dl\\inst dir\\sub"
        report = self.read_report(full)
        self.assertEqual(report["switches"]["install-path"], full)
        self.assertEqual(report["install_path"], full)
        self.assertEqual(report["current_directory"], report["temp_base_dir"] + "\\common")
        self.assertIn("/install-path:" + full, report["arguments"])
        self.assertTrue(os.path.isfile(os.path.join(self.prefix.unix(full), "morrow.exe")))
        self.assert_logged(records, "Switch 'install-path': relative path 'inst dir\\sub' resolved to '%s'" % full,
                           "info")
        self.assert_logged(records, "Process current directory '%s\\common'" % report["temp_base_dir"], "info")
        import xml.etree.ElementTree as ET
        hand_off = ET.parse(os.path.join(self.prefix.unix(full), "morrow-info.xml")).getroot()
        self.assertEqual(hand_off.find("sfx-cmd").text, '/silent /offline "/install-path:%s"' % full)

    def test_names_outside_latin1_reach_the_log_and_hand_off_file_intact(self):
        """Cyrillic, CJK and emoji in the product name, the setup file and
        EDAT names, the package's folder, the folder the run starts in and
        the install folder: the log and the hand-off file hold them as UTF-8."""
        product = "\u041c\u043e\u0440\u0440\u043e\u0443-\u65e5\u672c-\U0001F600"
        setup_name = "\u0434\u0430\u043d\u043d\u044b\u0435\\\u8868-\U0001F600.txt"
        edat_name = "\u0434\u043e\u043f\\\U0001F4E6.edat"
        start_folder = "C:\\\u0417\u0430\u0433\u0440\u0443\u0437\u043a\u0438 \u4e0b\u8f7d \U0001F4E5"
        install_folder = start_folder + "\\\u0423\u0441\u0442\u0430\u043d\u043e\u0432\u043a\u0430 \u5b89\u88c5 \U0001F680"
        setup = [("morrow.exe", package.morrow_bytes()), (setup_name, NOTE)]
        sfx_info = package.SFX_INFO.replace('name="morrow"', 'name="%s"' % product).replace(
            ">Morrow</title>", ">%s</title>" % product)
        path = self.package(setup_files=setup, sfx_info=sfx_info,
                            product_infos={product + "/release.xml": package.product_info(setup)},
                            extra=[(edat_name, b"edat bytes", False)])
        shutil.rmtree(self.prefix.unix(start_folder), ignore_errors=True)
        os.makedirs(self.prefix.unix(start_folder))
        # The install folder is given relative to the folder the run starts in.
        relative = install_folder[len(start_folder) + 1:]
        program = start_folder + "\\\u043f\u0430\u043a\u0435\u0442.exe"
        # Wine takes the command line from the environment in the locale's
        # character set: a UTF-8 locale carries it intact.
        code, records, _ = self.install(path, '/silent /offline "/DIR=%s"' % relative, install=None,
                                        directory=start_folder, program=program, env={"LC_ALL": "C.UTF-8"})
        self.assertEqual(code, 0, records)
        data, _ = e2e.read_log(self.prefix.log_file)
        for text in ("The product-info.xml '%s/release.xml' has been correctly unpacked" % product,
                     "File '%s' has been correctly unpacked from SFX archive" % setup_name,
                     "Unpacking EDAT (%s)" % edat_name,
                     "DSA for file '%s' verified" % program,
                     "relative path '%s' resolved to '%s'" % (relative, install_folder),
                     "SFX started with command line '/silent /offline \"/DIR=%s\"'" % relative):
            self.assertIn(text.encode("utf-8"), data, text)

        report = self.read_report(install_folder)
        self.assertEqual(report["switches"]["install-path"], install_folder)
        self.assertEqual(sorted(f["name"] for f in report["files"]), sorted(n for n, _ in setup))
        self.assertTrue(all(f["ok"] for f in report["files"]), report["files"])
        import xml.etree.ElementTree as ET
        copy = os.path.join(self.prefix.unix(install_folder), "morrow-info.xml")
        root = ET.parse(copy).getroot()
        self.assertEqual(root.find("products/product").get("name"), product)
        self.assertEqual(root.find("title").text, product)
        aliases = [f.find("alias").text or "" for f in root.find("file-list")]
        for alias in (product + "/release.xml", setup_name, edat_name):
            self.assertIn(alias, aliases)
        self.assertEqual(root.find("sfx-cmd").text, '/silent /offline "/install-path:%s"' % install_folder)
        out = subprocess.run(["xmllint", "--noout", "--schema", os.path.join(SCHEMAS, "morrow-info.xsd"), copy],
                             capture_output=True, text=True)
        self.assertEqual(out.returncode, 0, out.stderr)

    def test_exit_code_of_the_setup_master_is_the_exit_code(self):
        path = self.package()
        for chosen in (0, 3, 44080):
            code, records, report = self.install(path, "/silent /offline /exit-code=%d" % chosen)
            self.assertEqual(code, chosen)
            self.assertEqual(report["exit_code"], chosen)
            restart = any(r[2][0] == "Restart is required" for r in records)
            self.assertEqual(restart, chosen == 44080)

    def test_xperf_keeps_the_folder_and_the_hand_off_file(self):
        path = self.package()
        before = self.kro_folders()
        code, _, report = self.install(path, "/silent /offline /xperf")
        self.assertEqual(code, 0)
        kept = self.kro_folders() - before
        self.assertEqual(len(kept), 1)
        folder = os.path.join(self.prefix.temp_dir(), kept.pop())
        self.assertTrue(os.path.isfile(os.path.join(folder, "morrow-info.xml")))
        self.assertTrue(os.path.isfile(os.path.join(folder, "common", "morrow.exe")))
        shutil.rmtree(folder)

    def test_run_that_is_not_silent_goes_on_without_a_splash_window(self):
        code, records, report = self.install(self.package(), "/offline")
        self.assertEqual(code, 0, records)
        self.assert_logged(records, "Splash window not shown", "warning")
        self.assertFalse(any(a.startswith("/sssid") for a in report["arguments"]), report["arguments"])

    def test_setup_master_path_with_blanks(self):
        setup = [("my setup\\morrow.exe", package.morrow_bytes())]
        info = package.product_info(setup, executable="my setup\\morrow.exe")
        path = self.package(setup_files=setup, product_infos={"morrow/release.xml": info})
        code, records, report = self.install(path)
        self.assertEqual(code, 0, records)
        self.assertTrue(report["executable"].endswith("\\common\\my setup\\morrow.exe"), report["executable"])
        self.assertTrue(report["command_line"].startswith('"'), report["command_line"])

    def test_group_excluded_by_its_conditions_contributes_nothing(self):
        setup = [("morrow.exe", package.morrow_bytes())]
        absent = [("arm64-only.bin", b"not in the package")]
        info = package.product_info(setup, groups=[('<conditions><os platform="arm64"/></conditions>', absent)])
        path = self.package(setup_files=setup, product_infos={"morrow/release.xml": info})
        code, records, report = self.install(path)
        self.assertEqual(code, 0, records)
        self.assertEqual([f["name"] for f in report["files"]], ["morrow.exe"])
        self.assertFalse(any("arm64-only" in f["path"] for f in report["temp_files"]))

    def test_two_runs_at_once_get_different_folders(self):
        path = self.package()
        program = self.prefix.install_sfx(path, "twice.exe")
        runs = []
        for i in range(2):
            env = self.prefix.env
            env["KRO_LAUNCH_COMMAND"] = "%s /silent /offline /sleep-ms=3000 /install-path=C:\\twice%d" % (program, i)
            runs.append(subprocess.Popen(["wine", os.path.join(e2e.TOOLS_DIR, "launch.exe")], env=env,
                                         stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL))
        for r in runs:
            out, _ = r.communicate(timeout=180)
            self.assertIn(b"exit=0", out)
        folders = []
        for i in range(2):
            with open(os.path.join(self.prefix.unix("C:\\twice%d" % i), "morrow-report.json"), encoding="utf-8") as f:
                folders.append(json.load(f)["temp_base_dir"])
        self.assertNotEqual(folders[0], folders[1])

    # -- module DLL ---------------------------------------------------------
    def module_run(self, module, answer=None, channels=None):
        """A package whose DLL answers `answer`; channels maps channel -> a
        file that only that channel's product-info.xml lists."""
        master = ("morrow.exe", package.morrow_bytes())
        channels = channels or {}
        infos = {"morrow/release.xml": package.product_info([master, ("release.txt", b"release")])}
        extra = [("release.txt", b"release", False)]
        for channel, marker in channels.items():
            infos["morrow/%s.xml" % channel] = package.product_info([master, (marker, channel.encode())])
            extra.append((marker, channel.encode(), False))
        path = self.package(setup_files=[master], product_infos=infos, module=module, extra=extra)
        calls = "C:\\kro\\module-calls.txt"
        if os.path.exists(self.prefix.unix(calls)):
            os.remove(self.prefix.unix(calls))
        env = {"MORROW_MOD_LOG": calls}
        if answer is not None:
            env["MORROW_MOD_CHANNEL"] = answer
        code, records, report = self.install(path, env=env)
        lines = []
        if os.path.exists(self.prefix.unix(calls)):
            with open(self.prefix.unix(calls), encoding="utf-8") as f:
                lines = f.read().splitlines()
        return code, records, report, lines

    def installed_names(self, report):
        return sorted(f["name"] for f in report["files"])

    def test_module_dll_moves_the_product_to_another_channel(self):
        code, records, report, calls = self.module_run("signed", "beta", {"beta": "beta.txt"})
        self.assertEqual(code, 0, records)
        self.assertEqual(calls, ["product=morrow channel=release capacity=100 result=0"])
        self.assertEqual(self.installed_names(report), ["beta.txt", "morrow.exe"])
        self.assert_logged(records, "The product-info.xml 'morrow/beta.xml' has been correctly unpacked")

    def test_module_dll_answer_in_other_case_changes_nothing(self):
        code, records, report, calls = self.module_run("signed", "RELEASE", {"RELEASE": "upper.txt"})
        self.assertEqual(code, 0, records)
        self.assertEqual(len(calls), 1)
        self.assertEqual(self.installed_names(report), ["morrow.exe", "release.txt"])

    def test_module_dll_long_answer_is_asked_again_with_its_length(self):
        long_channel = "c" * 150
        code, records, report, calls = self.module_run("signed", long_channel, {long_channel: "long.txt"})
        self.assertEqual(code, 0, records)
        self.assertEqual(calls, ["product=morrow channel=release capacity=100 result=234",
                                 "product=morrow channel=release capacity=150 result=0"])
        self.assertEqual(self.installed_names(report), ["long.txt", "morrow.exe"])

    def test_unsigned_module_dll_is_not_called(self):
        code, records, report, calls = self.module_run("unsigned", "beta", {"beta": "beta.txt"})
        self.assertEqual(code, 0, records)
        self.assertEqual(calls, [])
        self.assert_logged(records, "morrow_mod.dll' is not DSA signed!", "error")
        self.assertEqual(self.installed_names(report), ["morrow.exe", "release.txt"])

    def test_module_dll_channel_without_product_info_fails(self):
        code, records, _, _ = self.module_run("signed", "gamma")
        self.assertEqual(code, 44051, records)
        self.assert_logged(records, "The product-info.xml 'morrow/gamma.xml' has not been found in SFX, fail!", "error")

    # -- failure paths ------------------------------------------------------
    def assert_failure(self, path, code, text, args="/silent /offline"):
        got, records, report = self.install(path, args)
        self.assertEqual(got, code, records)
        self.assertIsNone(report, "the setup master ran")
        self.assert_logged(records, text, "error")
        self.assert_logged(records, "Execute setup master process '' failed!", "error")
        return records

    def test_no_product_info_in_an_offline_package(self):
        path = self.package(product_infos={})
        self.assert_failure(path, 44051, "The product-info.xml 'morrow/release.xml' has not been found in SFX, fail!")

    def test_broken_sfx_info_signature(self):
        path = self.package()
        package.edit_record(path, "sfx-info.xml", lambda d: d.replace(b"/morrow/config.xml", b"/morrow/CONFIG.xml"))
        self.assert_failure(path, 0xFFFFFFFF, "DSA verification check of file 'sfx-info.xml' fail!")

    def test_broken_product_info_signature(self):
        path = self.package()
        package.edit_record(path, "morrow/release.xml", lambda d: d.replace(b"<version>1.0<", b"<version>2.0<"))
        self.assert_failure(path, 0xFFFFFFFF, "DSA verification check of file data 'morrow/release.xml' fail!")

    def test_setup_file_missing_offline(self):
        setup = [("morrow.exe", package.morrow_bytes())]
        info = package.product_info(setup + [("missing.bin", b"nowhere")])
        path = self.package(setup_files=setup, product_infos={"morrow/release.xml": info})
        self.assert_failure(path, 0xFFFFFFFF, "File 'missing.bin'|'%s' not found in SFX archive, mode 'offline', "
                            "product 'morrow'" % package.sha256(b"nowhere"))

    def test_payload_bytes_that_do_not_match_their_digest(self):
        setup = [("morrow.exe", package.morrow_bytes()), ("note.txt", NOTE)]
        path = self.package(setup_files=setup)
        package.edit_record(path, "note.txt", lambda d: bytes([d[0] ^ 1]) + d[1:], fix_digest=False)
        before = self.kro_folders()
        records = self.assert_failure(path, 13, "File 'note.txt' from SFX archive has not been unpacked, fail with "
                                      "error 13!", args="/silent /offline /xperf")
        kept = self.kro_folders() - before
        self.assertEqual(len(kept), 1, records)
        common = os.path.join(self.prefix.temp_dir(), kept.pop(), "common")
        self.assertFalse(os.path.exists(os.path.join(common, "note.txt")), "partial file left at the target")
        shutil.rmtree(os.path.dirname(common))

    def test_name_that_would_leave_the_temporary_folder(self):
        for name in ("..\\..\\escaped.txt", "C:\\escaped.txt", "note.txt:stream", "nul"):
            with self.subTest(name=name):
                setup = [("morrow.exe", package.morrow_bytes())]
                info = package.product_info(setup + [(name, NOTE)])
                path = self.package(setup_files=setup, product_infos={"morrow/release.xml": info},
                                    extra=[(name, NOTE, False)], unchecked_names=True)
                self.assert_failure(path, 123, "in product-info.xml is not a relative path inside the temp folder")
                self.assertFalse(os.path.exists(os.path.join(self.prefix.temp_dir(), "escaped.txt")))
                self.assertFalse(os.path.exists(self.prefix.unix("C:\\escaped.txt")))

    def test_malformed_channel_override(self):
        path = self.package()
        got, records, _ = self.install(path, "/silent /offline /channels=morrow=beta;")
        self.assertEqual(got, 44030, records)
        self.assert_logged(records, "Channel override has wrong format.")


if __name__ == "__main__":
    e2e.main()
