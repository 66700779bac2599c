"""The error message box under Xvfb: its language follows /lang-id, and
/silent shows no window at all."""
import os
import subprocess
import sys
import time
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(__file__))
import kro_e2e as e2e  # noqa: E402


def table_text(identifier, lang):
    root = ET.parse(os.path.join(e2e.SOURCE_DIR, "src", "resources", "strings.xml")).getroot()
    for node in root.iter("identifier"):
        if node.get("id") == identifier:
            for language in node.iter("language"):
                if language.get("lang") == lang:
                    return language.text
    raise KeyError((identifier, lang))


class MessageBox(e2e.PrefixTest):
    prefix_name = "gui"

    @classmethod
    def prepare_prefix(cls):
        cls.xvfb = e2e.Xvfb()
        cls.prefix.display = cls.xvfb.display
        # The test prefix has no display driver; this copy draws on Xvfb.
        cls.prefix.wine("reg", "delete", r"HKCU\Software\Wine\Drivers", "/v", "Graphics", "/f")

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        cls.xvfb.close()

    def start(self, args):
        env = self.prefix.env
        env["KRO_LAUNCH_COMMAND"] = "%s %s" % (self.sfx, args)
        return subprocess.Popen(["wine", os.path.join(e2e.TOOLS_DIR, "launch.exe")], env=env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def finish(self, proc):
        out, err = proc.communicate(timeout=60)
        self.assertIn(b"exit=", out, err)
        return int(out.split(b"exit=")[1].split()[0])

    def close_box(self, window):
        env = dict(os.environ, DISPLAY=self.xvfb.display)
        subprocess.run(["xdotool", "key", "--window", window, "Return"], env=env, check=True)

    def test_box_language(self):
        german = table_text("@Sfx_MsgBoxTitle", "de-de")
        english = table_text("@Sfx_MsgBoxTitle", "en-us")
        self.assertNotEqual(german, english)
        for args, title, shot in [("/lang-id=1031", german, "message-box-de.png"),
                                  ("/lang-id=9999", english, "message-box-9999.png"),
                                  ("/lang-id=abc", english, "message-box-abc.png")]:
            with self.subTest(args=args):
                proc = self.start(args)
                try:
                    windows = e2e.wait_for_window(self.xvfb.display, title)
                    self.assertTrue(windows, "no box titled %r" % title)
                    time.sleep(1)
                    e2e.screenshot(self.xvfb.display, shot)
                    self.close_box(windows[0])
                    self.assertEqual(self.finish(proc), 44024)
                finally:
                    if proc.poll() is None:
                        proc.kill()

    def test_unsupported_system_in_german(self):
        # An identifier as message: title and body both German.
        self.prefix.set_windows("win7", 7600, 0)
        try:
            proc = self.start("/lang-id=1031")
            windows = e2e.wait_for_window(self.xvfb.display, table_text("@Sfx_MsgBoxTitle", "de-de"))
            self.assertTrue(windows)
            out = subprocess.run(["xdotool", "getwindowname", windows[0]], capture_output=True, text=True,
                                 env=dict(os.environ, DISPLAY=self.xvfb.display))
            self.assertTrue(out.stdout.strip())
            time.sleep(1)
            e2e.screenshot(self.xvfb.display, "message-box-de-unsupported-os.png")
            self.close_box(windows[0])
            self.assertEqual(self.finish(proc), 45056)
        finally:
            self.prefix.set_windows("win7", 7601, 1)

    def test_silent_shows_no_window(self):
        proc = self.start("/silent")
        seen = []
        env = dict(os.environ, DISPLAY=self.xvfb.display)
        while proc.poll() is None:
            out = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "."], env=env,
                                 capture_output=True, text=True)
            seen += out.stdout.split()
            time.sleep(0.2)
        self.assertEqual(self.finish(proc), 44024)
        self.assertEqual(seen, [])


if __name__ == "__main__":
    e2e.main()
