"""The shape of the shipped sfx.exe, read from the file itself: PE32 for i386
with the GUI subsystem, imports of KnownDLLs only, and its resources
(manifest, version block with ProductId, string table XML 300, icon 128);
and the code that runs before the entry point's SSE2 check, read from its
object files (sfx.exe is stripped): no SSE or MMX instruction."""
import os
import re
import struct
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import kro_e2e as e2e  # noqa: E402

# The KnownDLLs: the values of the registry key
# HKLM\System\CurrentControlSet\Control\Session Manager\KnownDLLs that
# Windows 7 SP1, 8.1, 10 and 11 all have (Windows 7 also lists iertutil, lpk,
# urlmon, usp10 and wininet; Windows 8 and later add combase, coml2, gdiplus
# and shcore; neither set is on every system, and crypt32, comctl32, version,
# winhttp, bcrypt and uxtheme are on none), plus ntdll.dll, which every
# process has loaded before its imports. The loader maps these from its own
# list and never searches for them, so a file of that name beside the
# program is never loaded. Anything else named in the import table is
# searched for in the program's folder first, before the entry point can
# narrow the search.
KNOWN_DLLS = {
    "advapi32.dll", "clbcatq.dll", "comdlg32.dll", "gdi32.dll", "imagehlp.dll", "imm32.dll", "kernel32.dll",
    "msctf.dll", "msvcrt.dll", "normaliz.dll", "nsi.dll", "ole32.dll", "oleaut32.dll", "psapi.dll", "rpcrt4.dll",
    "sechost.dll", "setupapi.dll", "shell32.dll", "shlwapi.dll", "user32.dll", "wldap32.dll", "ws2_32.dll",
    "ntdll.dll",
}

# Exports of KnownDLLs that are forwarders into DLLs outside the KnownDLLs:
# importing one makes the loader load the forwarder's target at start-up,
# searching the program's folder first. (Forwarders into kernelbase.dll,
# ntdll.dll, sechost.dll or an API set do no harm: those are loaded before
# the program's imports, KnownDLLs, or resolved without a search.)
#   advapi32 SystemFunction036 (RtlGenRandom), SystemFunction040
#   (RtlEncryptMemory) and SystemFunction041 (RtlDecryptMemory): cryptbase.dll
#   from Windows 7 on;
#   advapi32 Crypt* (the CryptoAPI: CryptAcquireContext, CryptGenRandom,
#   CryptCreateHash, ...): cryptsp.dll.
FORWARDED_OUT = {
    "advapi32.dll": lambda name: name in ("SystemFunction036", "SystemFunction040", "SystemFunction041")
    or name.startswith("Crypt"),
}


class Image:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        d = self.data
        assert d[:2] == b"MZ"
        self.pe = struct.unpack_from("<I", d, 0x3C)[0]
        assert d[self.pe:self.pe + 4] == b"PE\0\0"
        self.machine, self.sections_count = struct.unpack_from("<HH", d, self.pe + 4)
        optional_size = struct.unpack_from("<H", d, self.pe + 20)[0]
        self.optional = self.pe + 24
        self.magic = struct.unpack_from("<H", d, self.optional)[0]
        self.subsystem = struct.unpack_from("<H", d, self.optional + 68)[0]
        self.directories = [struct.unpack_from("<II", d, self.optional + 96 + 8 * i) for i in range(16)]
        self.sections = []
        table = self.optional + optional_size
        for i in range(self.sections_count):
            name, vsize, va, rsize, raw = struct.unpack_from("<8sIIII", d, table + 40 * i)
            self.sections.append((name.rstrip(b"\0"), va, max(vsize, rsize), raw))

    def offset(self, rva):
        for _, va, size, raw in self.sections:
            if va <= rva < va + size:
                return raw + rva - va
        raise ValueError("rva %x outside the sections" % rva)

    def cstring(self, rva):
        o = self.offset(rva)
        return self.data[o:self.data.index(b"\0", o)].decode()

    def imports(self):
        """{DLL name in lower case: [imported function names, "#n" for an ordinal]}."""
        rva, _ = self.directories[1]
        found, o = {}, self.offset(rva)
        while True:
            lookup, _, _, name, first = struct.unpack_from("<5I", self.data, o)
            if not any((lookup, name, first)):
                return found
            functions = found.setdefault(self.cstring(name).lower(), [])
            t = self.offset(lookup or first)
            while True:
                thunk = struct.unpack_from("<I", self.data, t)[0]
                if not thunk:
                    break
                functions.append("#%d" % (thunk & 0xFFFF) if thunk & 0x80000000 else self.cstring(thunk + 2))
                t += 4
            o += 20

    def resources(self):
        """{(type, name): data} of the first language of each resource."""
        base_rva, _ = self.directories[2]
        base = self.offset(base_rva)

        def entries(o):
            named, ids = struct.unpack_from("<HH", self.data, o + 12)
            for i in range(named + ids):
                key, target = struct.unpack_from("<II", self.data, o + 16 + 8 * i)
                if key & 0x80000000:
                    s = base + (key & 0x7FFFFFFF)
                    n = struct.unpack_from("<H", self.data, s)[0]
                    key = self.data[s + 2:s + 2 + 2 * n].decode("utf-16-le")
                yield key, target

        found = {}
        for rtype, t in entries(base):
            for name, n in entries(base + (t & 0x7FFFFFFF)):
                _, leaf = next(entries(base + (n & 0x7FFFFFFF)))
                data_rva, size = struct.unpack_from("<II", self.data, base + leaf)
                o = self.offset(data_rva)
                found[(rtype, name)] = self.data[o:o + size]
        return found


class ShippedImage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.image = Image(e2e.SFX)

    def test_pe32_gui_for_i386(self):
        self.assertEqual(self.image.machine, 0x14C)
        self.assertEqual(self.image.magic, 0x10B)
        self.assertEqual(self.image.subsystem, 2)  # Windows GUI
        print("sfx.exe: %d bytes" % len(self.image.data))

    def test_imports_only_known_dlls_and_no_forwarder_out_of_them(self):
        imports = self.image.imports()
        self.assertIn("kernel32.dll", imports)
        self.assertEqual(sorted(d for d in imports if d not in KNOWN_DLLS), [])
        forwarded = ["%s!%s" % (dll, name) for dll, names in imports.items() if dll in FORWARDED_OUT
                     for name in names if FORWARDED_OUT[dll](name)]
        self.assertEqual(forwarded, [])
        # No delay-load table either: MinGW's delay-load helper calls plain
        # LoadLibraryA, which searches the program's folder.
        self.assertEqual(self.image.directories[13], (0, 0))
        print("imports: %s" % ", ".join("%s (%d)" % (d, len(n)) for d, n in sorted(imports.items())))

    def test_resources(self):
        res = self.image.resources()
        manifest = res[(24, 1)].decode()
        self.assertIn('level="requireAdministrator"', manifest)
        self.assertIn("PerMonitorV2", manifest)
        self.assertIn("{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", manifest)  # Windows 7
        version = res[(16, 1)]
        self.assertIn("ProductId\0".encode("utf-16-le"), version)
        self.assertIn("orvex-morrow\0".encode("utf-16-le"), version)
        self.assertIn("ProductVersion\0".encode("utf-16-le"), version)
        with open(os.path.join(e2e.SOURCE_DIR, "src", "resources", "strings.xml"), "rb") as f:
            self.assertEqual(res[("XML", 300)], f.read())
        group = res[(14, 128)]  # RT_GROUP_ICON
        self.assertGreaterEqual(struct.unpack_from("<H", group, 4)[0], 1)


# The object files of the image's entry (src/main/sfx_main.cpp) and of the
# loader hardening (src/sfx/loader_win32.cpp), "|"-separated.
EARLY_OBJECTS = os.environ.get("KRO_EARLY_OBJECTS", "|".join([
    os.path.join(e2e.BUILD_DIR, "src", "main", "CMakeFiles", "sfx.dir", "sfx_main.cpp.obj"),
    os.path.join(e2e.BUILD_DIR, "src", "CMakeFiles", "kro.dir", "sfx", "loader_win32.cpp.obj")])).split("|")
ENTRY = "_entry@0"
# What the early code may refer to outside itself: the import address table
# (__imp__*), import thunks of system functions (stdcall names, _Name@N), its
# data, and the runtime's start-up, which the entry enters after the check.
RUNTIME_START = "_WinMainCRTStartup"
SSE_REGISTER = re.compile(r"%(x|y|z)mm\d|%mm\d")


def disassembly(paths):
    """{code section: (instruction lines, relocation targets)} and {symbol:
    section} of the object files, each function in a section of its own."""
    sections, owner = {}, {}
    for path in paths:
        out = subprocess.run(["i686-w64-mingw32-objdump", "-dr", "--no-show-raw-insn", path], check=True,
                             capture_output=True, text=True).stdout
        section = None
        for line in out.splitlines():
            m = re.match(r"^Disassembly of section (\S+):$", line)
            if m:
                section = m.group(1)
                sections[section] = ([], [])
                owner[section] = section
                continue
            m = re.match(r"^[0-9a-f]+ <(\S+)>:$", line)
            if m and section:
                owner[m.group(1)] = section
                continue
            m = re.match(r"^\s+[0-9a-f]+: (?:DISP32|dir32|secrel32|rva32)\s+(\S+)$", line)
            if m and section:
                sections[section][1].append(m.group(1))
            elif section and re.match(r"^\s+[0-9a-f]+:\t", line):
                sections[section][0].append(line)
    return sections, owner


class EarlyCode(unittest.TestCase):
    """Everything the entry reaches before it enters the runtime: the loader
    hardening, the module callback of the fallback path (reached through its
    address) and the SSE2 check itself."""

    def test_no_sse_before_the_sse2_check(self):
        for path in EARLY_OBJECTS:
            self.assertTrue(os.path.exists(path), path)
        sections, owner = disassembly(EARLY_OBJECTS)
        self.assertIn(ENTRY, owner)
        reached, todo, outside = set(), [owner[ENTRY]], []
        while todo:
            section = todo.pop()
            if section in reached:
                continue
            reached.add(section)
            for target in sections[section][1]:
                if target in owner and owner[target] in sections:
                    todo.append(owner[target])
                elif not (target.startswith(("__imp__", ".rdata", ".data", ".bss")) or target == RUNTIME_START
                          or re.match(r"^_[A-Za-z]\w*@\d+$", target)):
                    outside.append("%s -> %s" % (section, target))
        # Calls into code outside these files (a C library copy loop, a
        # template from a header that another file's copy may replace) are
        # not checked here, so there must be none.
        self.assertEqual(outside, [])
        names = " ".join(sorted(reached))
        for function in ("entry", "harden_loader", "first_module"):
            self.assertIn(function, names)
        for section in sorted(reached):
            found = [line.strip() for line in sections[section][0] if SSE_REGISTER.search(line)]
            self.assertEqual(found, [], section)
        print("checked: %s" % names)


if __name__ == "__main__":
    e2e.main()
