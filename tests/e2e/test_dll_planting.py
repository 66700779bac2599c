"""DLL planting under 32-bit Wine: copies of canary.dll named after system
DLLs lie beside the package, and WINEDLLOVERRIDES makes Wine prefer such a
file to its own DLL of that name, as Windows does for every DLL outside the
KnownDLLs. A canary writes "<its path>.loaded" when a process loads it,
saying how (see tests/tools/canary/canary.cpp).

The names planted are the DLLs sfx.exe imported at start-up or loads by name
at run time: version.dll (once imported for the file version), cryptbase.dll
(where advapi32's RtlGenRandom is forwarded), cryptsp.dll (where advapi32's
CryptoAPI calls are forwarded) and bcrypt.dll (the random source, loaded from
the system folder). A whole offline install runs to its end, and no canary
was loaded by the program: not by a load at run time, not through its import
table (directly or forwarded).

One load is Wine's own: Wine's user32.dll imports version.dll, and Wine
resolves the imports of its DLLs through the program's search order, so the
planted version.dll comes in as an import of the system folder's user32.dll.
Windows' user32.dll imports no such DLL (and Windows takes a KnownDLL's own
imports from the KnownDLLs too), so a start-up load whose importers all lie
in the system folder and that the program's import table does not reach is
Wine's: reported, not held against the program."""
import os
import shutil
import subprocess
import sys
sys.path.insert(0, os.path.dirname(__file__))
import kro_e2e as e2e  # noqa: E402
import package  # noqa: E402

PLANTED = ("version.dll", "cryptbase.dll", "cryptsp.dll", "bcrypt.dll")
CANARY = os.path.join(e2e.TOOLS_DIR, "canary.dll")
LOAD_BY_NAME = os.path.join(e2e.TOOLS_DIR, "load_by_name.exe")
# The usual overrides, and the planted names native first.
OVERRIDES = "mscoree,mshtml=;winedbg.exe=d;%s=n,b" % ",".join(n[:-4] for n in PLANTED)
SYSTEM_FOLDER = "c:\\windows\\system32\\"
INSTALL = "C:\\installed"


def program_fault(marker):
    """Why a canary load is the program's doing, or None when the marker
    shows only a start-up import of one of Wine's own system DLLs."""
    if marker["load"] != ["static"]:
        return "loaded at run time"
    if marker["program-reaches"] != ["no"]:
        return "reached through the program's import table"
    importers = marker.get("imported-by", [])
    if not importers:
        return "loaded at start-up without an importer"
    foreign = [p for p in importers if not p.lower().startswith(SYSTEM_FOLDER)]
    if foreign:
        return "imported by %s" % foreign
    return None


class DllPlanting(e2e.PrefixTest):
    prefix_name = "planting"

    def setUp(self):
        self.folder = self.prefix.unix("C:\\kro")
        for name in PLANTED:
            shutil.copy(CANARY, os.path.join(self.folder, name))
            marker = os.path.join(self.folder, name + ".loaded")
            if os.path.exists(marker):
                os.remove(marker)

    def markers(self):
        """{planted name: {field: [values]}} of the canaries loaded."""
        found = {}
        for name in PLANTED:
            path = os.path.join(self.folder, name + ".loaded")
            if os.path.exists(path):
                fields = {}
                with open(path, encoding="utf-8") as f:
                    for line in f.read().splitlines():
                        key, _, value = line.partition(": ")
                        fields.setdefault(key, []).append(value)
                found[name] = fields
        return found

    def test_planted_dlls_are_found_by_a_plain_load(self):
        # The control: the canaries and the overrides work in this prefix, and
        # a load by name from a program beside them is seen as the program's.
        self.prefix.install_sfx(LOAD_BY_NAME, "load_by_name.exe")
        env = dict(self.prefix.env, WINEDLLOVERRIDES=OVERRIDES)
        out = subprocess.run(["wine", "C:\\kro\\load_by_name.exe", *PLANTED], env=env,
                             stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
        markers = self.markers()
        self.assertEqual(sorted(markers), sorted(PLANTED), out.stdout.decode(errors="replace"))
        for name, marker in markers.items():
            self.assertEqual(marker["program"], ["C:\\kro\\load_by_name.exe"], name)
            self.assertEqual(program_fault(marker), "loaded at run time", name)

    def test_install_loads_no_planted_dll(self):
        work = os.path.join(self.prefix.path, "work")
        path = package.make_offline_package(work)
        program = self.prefix.install_sfx(path, "package.exe")
        code, _ = self.prefix.run_sfx(program, "/silent /offline /install-path=" + INSTALL,
                                      extra_env={"WINEDLLOVERRIDES": OVERRIDES})
        _, records = e2e.read_log(self.prefix.log_file)
        markers = self.markers()
        for name, marker in sorted(markers.items()):
            print("%s loaded by Wine: %s" % (name, marker))
        faults = {name: program_fault(m) for name, m in markers.items() if program_fault(m)}
        self.assertEqual(faults, {}, markers)
        self.assertEqual(code, 0, "\n".join(" | ".join(r[2]) for r in records))
        self.assertTrue(os.path.exists(os.path.join(self.prefix.unix(INSTALL), "morrow-report.json")))


if __name__ == "__main__":
    e2e.main()
