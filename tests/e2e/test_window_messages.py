"""The splash window's messages under 32-bit Wine: sfx.exe registers
"KroSplashScreenHide" and "TaskbarButtonCreated" at static initialisation,
before its program entry runs, and the entry logs both ids (debug record
after the start line). Registered message ids lie in 0xC000-0xFFFF; a
registration the linker dropped from the image would log 0."""
import os
import re
import sys
sys.path.insert(0, os.path.dirname(__file__))
import kro_e2e as e2e  # noqa: E402

RECORD = re.compile(r"^Window messages: KroSplashScreenHide=0x([0-9a-f]+), TaskbarButtonCreated=0x([0-9a-f]+)$")


class WindowMessages(e2e.PrefixTest):
    prefix_name = "messages"

    def setUp(self):
        # The prefix is a copy of the shared one, whose log may hold earlier
        # runs (make demo): this run starts a log of its own.
        if os.path.exists(self.prefix.log_file):
            os.remove(self.prefix.log_file)

    def test_both_messages_are_registered_before_the_entry(self):
        # The bare program is not signed: the run stops at its signature
        # check, after the entry has logged the ids.
        code, _ = self.prefix.run_sfx(self.sfx, "/silent")
        self.assertEqual(code, 44024)
        _, records = e2e.read_log(self.prefix.log_file)
        messages = [r[2][0] for r in records]
        self.assertTrue(messages[0].startswith("*** Starting SFX ("), messages)
        found = [(i, RECORD.match(m)) for i, m in enumerate(messages) if RECORD.match(m)]
        self.assertEqual(len(found), 1, messages)
        index, match = found[0]
        self.assertEqual(records[index][:2], ["debug", "msfx"])
        self.assertLess(index, messages.index("SFX started with command line '/silent'"))
        hide, taskbar = (int(g, 16) for g in match.groups())
        for value in (hide, taskbar):
            self.assertTrue(0xC000 <= value <= 0xFFFF, messages[index])
        self.assertNotEqual(hide, taskbar)


if __name__ == "__main__":
    e2e.main()
