"""The shape of the shipped sfx.exe, read from the file itself: PE32 for i386
with the GUI subsystem, imports of system DLLs only, and its resources
(manifest, version block with ProductId, string table XML 300, icon 128)."""
import os
import struct
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import kro_e2e as e2e  # noqa: E402

# DLLs every Windows from 7 on carries in its system folder.
SYSTEM_DLLS = {
    "kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "shell32.dll", "shlwapi.dll", "ole32.dll",
    "oleaut32.dll", "version.dll", "msvcrt.dll", "ntdll.dll", "winhttp.dll", "gdiplus.dll", "comctl32.dll",
    "crypt32.dll", "bcrypt.dll", "ws2_32.dll", "uxtheme.dll",
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
        rva, _ = self.directories[1]
        names, o = [], self.offset(rva)
        while True:
            entry = struct.unpack_from("<5I", self.data, o)
            if not any(entry):
                return names
            names.append(self.cstring(entry[3]).lower())
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

    def test_imports_only_system_dlls(self):
        imports = self.image.imports()
        self.assertIn("kernel32.dll", imports)
        self.assertEqual([d for d in imports if d not in SYSTEM_DLLS], [])

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


if __name__ == "__main__":
    e2e.main()
