"""The XML schemas of schemas/ against the sample documents, signed copies of
them, the hand-off file as the program writes it, and small documents that
must be refused or accepted (checked with xmllint --schema)."""
import glob
import os
import shutil
import subprocess
import tempfile
import unittest
import xml.etree.ElementTree as ET

SOURCE_DIR = os.environ.get("KRO_SOURCE_DIR", os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
TOOL = os.environ.get("KRO_SFXTOOL", os.path.join(SOURCE_DIR, "build", "host", "src", "tool", "sfxtool"))
KEY_G = os.path.join(SOURCE_DIR, "keys", "dev-private", "G.txt")
SCHEMAS = os.path.join(SOURCE_DIR, "schemas")
SAMPLES = os.path.join(SOURCE_DIR, "samples")

# The schema of a document, by its root element.
SCHEMA_OF = {
    "sfx-info": "sfx-info.xsd",
    "product-info": "product-info.xsd",
    "conditions": "conditions.xsd",
    "morrow-info": "morrow-info.xsd",
}

XSI = 'xmlns:xs="http://www.w3.org/2001/XMLSchema-instance"'
SHA = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08"


def sfx_info(body, attributes=XSI + ' xs:noNamespaceSchemaLocation="sfx-info.xsd"'):
    return '<?xml version="1.0" encoding="utf-8"?>\n<sfx-info %s>%s</sfx-info>\n' % (attributes, body)


PRODUCTS = '<products><product name="morrow" channel="release"/></products>'


def product_info(groups, head="<name>morrow</name><version>1.0</version>"):
    return "<product-info>%s%s</product-info>" % (head, groups)


def setup_file(name="<name>morrow.exe</name>", sha="<sha-256>%s</sha-256>" % SHA,
               timestamp="<timestamp>1700000000</timestamp>", size="<size>100</size>", extra=""):
    return "<file>%s%s%s%s%s</file>" % (name, sha, timestamp, size, extra)


def with_size(size):
    return product_info("<setup-files>%s</setup-files>" % setup_file(size="<size>%s</size>" % size))


def with_timestamp(stamp):
    return product_info("<setup-files>%s</setup-files>" % setup_file(timestamp="<timestamp>%s</timestamp>" % stamp))


def conditions(body):
    return "<conditions>%s</conditions>" % body


def in_group(condition_xml):
    """A conditions element on a setup-files group of a product-info.xml."""
    return product_info("<setup-files>%s%s</setup-files>" % (condition_xml, setup_file()))


FILE_LIST = ("<file-list><file><alias>sfx-info.xml</alias><sha-256>%s</sha-256><offset>4096</offset>"
             "<size>11</size><timestamp>1700000000</timestamp><flags>0</flags></file></file-list>" % SHA)
MAPPING = "<file-mapping-sfx><handle>1a4</handle><size>90112</size></file-mapping-sfx>"
CMD = "<sfx-cmd>/silent</sfx-cmd>"
SESSION = "<session-id>0f8fad5b-d9cb-469f-a165-70867728950e</session-id>"
TEMP = "<temp-base-dir>C:\\users\\u\\Temp\\kro-1</temp-base-dir>"
COOKIE = "<cookie>campaign=7</cookie>"


def morrow_info(*children):
    return '<?xml version="1.0" encoding="utf-8"?>\n<morrow-info %s>%s</morrow-info>\n' % (XSI, "".join(children))


LEADING = (FILE_LIST, MAPPING, CMD, SESSION, TEMP)

# The hand-off file byte for byte as the program saves it: declaration, one
# tab per level, "<x />" for an element without content.
WRITTEN_HAND_OFF = (
    '<?xml version="1.0" encoding="utf-8"?>\n'
    '<morrow-info xmlns:xs="http://www.w3.org/2001/XMLSchema-instance">\n'
    "\t<file-list>\n"
    "\t\t<file>\n"
    "\t\t\t<alias>sfx-info.xml</alias>\n"
    "\t\t\t<sha-256>" + SHA + "</sha-256>\n"
    "\t\t\t<offset>4154</offset>\n"
    "\t\t\t<size>402</size>\n"
    "\t\t\t<timestamp>1700000000</timestamp>\n"
    "\t\t\t<flags>0</flags>\n"
    "\t\t</file>\n"
    "\t\t<file>\n"
    "\t\t\t<alias></alias>\n"
    "\t\t\t<sha-256>e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855</sha-256>\n"
    "\t\t\t<offset>4614</offset>\n"
    "\t\t\t<size>0</size>\n"
    "\t\t\t<timestamp>0</timestamp>\n"
    "\t\t\t<flags>1</flags>\n"
    "\t\t</file>\n"
    "\t</file-list>\n"
    "\t<file-mapping-sfx>\n"
    "\t\t<handle>1a4</handle>\n"
    "\t\t<size>5120</size>\n"
    "\t</file-mapping-sfx>\n"
    '\t<sfx-cmd>/silent "/log:C:\\my logs\\x.log"</sfx-cmd>\n'
    "\t<session-id>0f8fad5b-d9cb-469f-a165-70867728950e</session-id>\n"
    "\t<temp-base-dir>C:\\users\\u\\AppData\\Local\\Temp\\kro-5c1a</temp-base-dir>\n"
    "\t<eula>\n"
    "\t\t<url>http://127.0.0.1/morrow/eula.html</url>\n"
    "\t</eula>\n"
    "\t<config-def>\n"
    "\t\t<url>http://127.0.0.1/morrow/config.xml</url>\n"
    "\t</config-def>\n"
    "\t<repository>\n"
    "\t\t<base-url>127.0.0.1/morrow/repository</base-url>\n"
    "\t</repository>\n"
    "\t<products>\n"
    '\t\t<product name="morrow" channel="release" />\n'
    "\t</products>\n"
    '\t<title lang="en-us">Morrow</title>\n'
    "\t<cookie>campaign=7</cookie>\n"
    "</morrow-info>\n")

# (schema, what, document, a fragment of xmllint's complaint)
REFUSED = [
    ("sfx-info.xsd", "product without channel", sfx_info('<products><product name="morrow"/></products>'),
     "'channel' is required"),
    ("sfx-info.xsd", "product without name", sfx_info('<products><product channel="release"/></products>'),
     "'name' is required"),
    ("sfx-info.xsd", "empty product name", sfx_info('<products><product name="" channel="release"/></products>'),
     "'name'"),
    ("sfx-info.xsd", "products without product", sfx_info("<products/>"), "Missing child element"),
    ("sfx-info.xsd", "unknown child of products", sfx_info(PRODUCTS.replace("</products>", "<x/></products>")),
     "'x'"),
    ("sfx-info.xsd", "language tag not in the table", sfx_info(PRODUCTS + '<title lang="EN-US">M</title>'),
     "EN-US"),
    ("sfx-info.xsd", "title with an element inside", sfx_info(PRODUCTS + "<title><b>M</b></title>"), "title"),
    ("sfx-info.xsd", "switch that reads as false by accident",
     sfx_info(PRODUCTS + "<params><silent>on</silent></params>"), "'on'"),
    ("sfx-info.xsd", "switch with a leading blank", sfx_info(PRODUCTS + "<params><clear> yes</clear></params>"),
     "clear"),
    ("sfx-info.xsd", "switch twice", sfx_info(PRODUCTS + "<params><silent>1</silent><silent>0</silent></params>"),
     "silent"),
    ("sfx-info.xsd", "repository without base-url", sfx_info(PRODUCTS + "<repository/>"), "base-url"),
    ("sfx-info.xsd", "known element checked inside an unknown one",
     sfx_info(PRODUCTS + "<extra><products/></extra>"), "products"),
    ("sfx-info.xsd", "wrong root", '<sfx-infos>%s</sfx-infos>' % PRODUCTS, "No matching global declaration"),

    ("product-info.xsd", "no name", product_info("", head="<version>1.0</version>"), "name"),
    ("product-info.xsd", "version before name", product_info("", head="<version>1</version><name>m</name>"),
     "version"),
    ("product-info.xsd", "sha-256 too short", in_group("").replace(SHA, SHA[:-1]), "sha-256"),
    ("product-info.xsd", "sha-256 with a non-hex digit", in_group("").replace(SHA, "g" + SHA[1:]), "sha-256"),
    ("product-info.xsd", "sha-256 with blanks around it", in_group("").replace(SHA, " %s " % SHA), "sha-256"),
    ("product-info.xsd", "file without sha-256", product_info("<setup-files>%s</setup-files>" % setup_file(sha="")),
     "sha-256"),
    ("product-info.xsd", "file without name", product_info("<setup-files>%s</setup-files>" % setup_file(name="")),
     "name"),
    ("product-info.xsd", "size twice", product_info("<setup-files>%s</setup-files>" %
                                                   setup_file(extra="<size>1</size>")), "size"),
    ("product-info.xsd", "size with trailing characters", with_size("12abc"), "12abc"),
    ("product-info.xsd", "size as a word", with_size("big"), "big"),
    ("product-info.xsd", "empty size", with_size(""), "size"),
    ("product-info.xsd", "0x without digits", with_size("0x"), "0x"),
    ("product-info.xsd", "decimal beyond 64 bits", with_size("9223372036854775808"), "9223372036854775808"),
    ("product-info.xsd", "hex beyond 64 bits", with_size("0x8000000000000000"), "0x8000000000000000"),
    ("product-info.xsd", "two signs", with_timestamp("+-5"), "+-5"),
    ("product-info.xsd", "unknown condition element", in_group(conditions('<os-at-leats major="6"/>')),
     "os-at-leats"),
    ("product-info.xsd", "condition names are case-sensitive", in_group(conditions('<OS major="6"/>')), "OS"),
    ("product-info.xsd", "text inside conditions", in_group(conditions("windows 7")), "conditions"),
    ("product-info.xsd", "empty and", in_group(conditions("<and/>")), "and"),
    ("product-info.xsd", "not with two children",
     in_group(conditions('<not><os major="5"/><os major="6"/></not>')), "not"),
    ("product-info.xsd", "empty not-not", in_group(conditions("<not-not/>")), "not-not"),
    ("product-info.xsd", "boolean without value", in_group(conditions("<boolean/>")), "value"),
    ("product-info.xsd", "boolean value in capitals", in_group(conditions('<not-boolean value="TRUE"/>')), "TRUE"),
    ("product-info.xsd", "platform on os-at-least (not read there)",
     in_group(conditions('<os-at-least major="10" platform="x64"/>')), "platform"),
    ("product-info.xsd", "unknown platform", in_group(conditions('<os platform="ia64"/>')), "ia64"),
    ("product-info.xsd", "empty platform never matches", in_group(conditions('<os platform=""/>')), "platform"),
    ("product-info.xsd", "unknown type", in_group(conditions('<not-os type="client"/>')), "client"),
    ("product-info.xsd", "version number that is no number", in_group(conditions('<os major="abc"/>')), "abc"),
    ("product-info.xsd", "version number with a trailing blank", in_group(conditions('<os-at-most build="10 "/>')),
     "build"),
    ("product-info.xsd", "version number beyond 32 bits",
     in_group(conditions('<os-at-least build="2147483648"/>')), "2147483648"),
    ("product-info.xsd", "hex version number", in_group(conditions('<os major="0xA"/>')), "0xA"),
    ("product-info.xsd", "child of a leaf", in_group(conditions('<os major="6"><os minor="1"/></os>')), "os"),
    ("product-info.xsd", "conditions after the files of a group",
     product_info("<setup-files>%s%s</setup-files>" % (setup_file(), conditions(""))), "conditions"),
    ("product-info.xsd", "two sfx children",
     product_info('<setup-commands><sfx arguments="a"/><sfx arguments="b"/></setup-commands>'), "sfx"),
    ("product-info.xsd", "unknown setup-commands attribute",
     product_info('<setup-commands program="m.exe"/>'), "program"),
    ("conditions.xsd", "unknown element in a template", conditions("<windows/>"), "windows"),

    ("morrow-info.xsd", "empty document root", morrow_info(), "Missing child element"),
    ("morrow-info.xsd", "session-id before sfx-cmd", morrow_info(FILE_LIST, MAPPING, SESSION, CMD, TEMP),
     "session-id"),
    ("morrow-info.xsd", "file-mapping-sfx before file-list", morrow_info(MAPPING, FILE_LIST, CMD, SESSION, TEMP),
     "file-mapping-sfx"),
    ("morrow-info.xsd", "cookie before temp-base-dir",
     morrow_info(FILE_LIST, MAPPING, CMD, SESSION, COOKIE, TEMP), "cookie"),
    ("morrow-info.xsd", "no temp-base-dir", morrow_info(FILE_LIST, MAPPING, CMD, SESSION, PRODUCTS),
     "products"),
    ("morrow-info.xsd", "file entry fields out of order",
     morrow_info(FILE_LIST.replace("<offset>4096</offset><size>11</size>", "<size>11</size><offset>4096</offset>"),
                 *LEADING[1:]), "size"),
    ("morrow-info.xsd", "upper-case sha-256 (the program writes lower case)",
     morrow_info(FILE_LIST.replace(SHA, SHA.upper()), *LEADING[1:]), "sha-256"),
    ("morrow-info.xsd", "upper-case handle", morrow_info(FILE_LIST, MAPPING.replace("1a4", "1A4"), *LEADING[2:]),
     "1A4"),
    ("morrow-info.xsd", "handle with a leading zero",
     morrow_info(FILE_LIST, MAPPING.replace("1a4", "01a4"), *LEADING[2:]), "01a4"),
    ("morrow-info.xsd", "hex file-mapping size",
     morrow_info(FILE_LIST, MAPPING.replace("90112", "0x16000"), *LEADING[2:]), "0x16000"),
    ("morrow-info.xsd", "negative timestamp in the file list",
     morrow_info(FILE_LIST.replace("1700000000", "-1"), *LEADING[1:]), "-1"),
    ("morrow-info.xsd", "session id in upper case", morrow_info(*LEADING[:3], SESSION.upper().replace(
        "SESSION-ID", "session-id"), TEMP), "session-id"),
    ("morrow-info.xsd", "copied sfx-info element still checked",
     morrow_info(*LEADING, '<products><product name="m"/></products>'), "'channel' is required"),
    ("morrow-info.xsd", "cookie with an element inside", morrow_info(*LEADING, "<cookie><b/></cookie>"), "cookie"),
]

ACCEPTED = [
    ("sfx-info.xsd", "only products", sfx_info(PRODUCTS, attributes="")),
    ("sfx-info.xsd", "unknown top-level elements with any content, in any order",
     sfx_info('<config-def><url>u</url></config-def>' + PRODUCTS + '<eula><url a="1">u</url><x/></eula>'
              '<future-thing level="2">text</future-thing>')),
    ("sfx-info.xsd", "everything the program reads",
     sfx_info('<repository><base-url>127.0.0.1/r</base-url></repository><report><url>http://127.0.0.1/r</url>'
              '</report><params><clear>0</clear><silent>yes</silent><nosplash>T</nosplash></params>' + PRODUCTS +
              '<products><product name="morrow" channel="beta"/><product name="morrow" channel="x"/></products>'
              '<title>Morrow</title><title lang="cs-cz">Morrow</title><title lang="zh-tw">M</title>')),
    ("sfx-info.xsd", "empty switches read as false",
     sfx_info(PRODUCTS + "<params><silent/><clear></clear></params>")),
    ("sfx-info.xsd", "a namespaced extension", sfx_info(PRODUCTS + '<e:x xmlns:e="urn:example"><e:y/></e:x>')),
    ("sfx-info.xsd", "signature comment after the root",
     sfx_info(PRODUCTS) + "\r\n\n<!-- KROSig2A" + "0A" * 64 + "KROSig2A -->"),

    ("product-info.xsd", "hex and signed sizes, negative timestamp",
     product_info("<setup-files>%s%s%s</setup-files>" % (
         setup_file(size="<size>0x1F000</size>", timestamp="<timestamp>-1</timestamp>"),
         setup_file(size="<size>-0X7fffffffffffffff</size>", timestamp="<timestamp>+0x0</timestamp>"),
         setup_file(size="<size> 9223372036854775807 </size>",
                    timestamp="<timestamp>-9223372036854775808</timestamp>")))),
    ("product-info.xsd", "lowest hex value", with_timestamp("-0x8000000000000000")),
    ("product-info.xsd", "upper-case sha-256, fields in any order",
     product_info("<setup-files><file><size>1</size><sha-256>%s</sha-256><conditions/><name>a</name>"
                  "<timestamp>0</timestamp></file></setup-files>" % SHA.upper())),
    ("product-info.xsd", "no groups at all", product_info("")),
    ("product-info.xsd", "empty group and empty conditions",
     product_info("<setup-files><conditions/></setup-files>")),
    ("product-info.xsd", "all 14 condition elements, nested",
     in_group(conditions(
         '<and><os major="6"/><not-os type="Server"/></and><not-and><boolean value="true"/></not-and>'
         '<or><os platform="ARM64"/><os platform="x64" type="workstation"/></or><not-or><boolean value="false"/>'
         '</not-or><not><os-at-most major="5"/></not><not-not><not-boolean value="false"/></not-not>'
         '<os-at-least major=" 6" minor="+1" sp="-0" build="7601"/><not-os-at-least build="2147483647"/>'
         '<not-os-at-most major="-2147483648"/>'))),
    ("product-info.xsd", "conditions on a file and on setup-commands, sfx overrides",
     product_info("<setup-files>%s</setup-files><setup-commands executable=\"morrow.exe\" arguments=\"/s\">"
                  "<sfx arguments=\"\"/><conditions><os platform=\"x86\"/></conditions></setup-commands>"
                  "<setup-files/><setup-commands/>" % setup_file(extra=conditions('<os-at-least major="10"/>')))),
    ("conditions.xsd", "empty template", "<conditions/>"),

    ("morrow-info.xsd", "without cookie", morrow_info(*LEADING, PRODUCTS)),
    ("morrow-info.xsd", "nothing copied from sfx-info, empty file list and command line",
     morrow_info("<file-list />", MAPPING.replace("90112", "0"), "<sfx-cmd />", *LEADING[3:])),
    ("morrow-info.xsd", "copied elements of any name, cookie",
     morrow_info(*LEADING, "<eula><url>u</url></eula><anything-else/>", PRODUCTS, "<title>M</title>", COOKIE)),
    ("morrow-info.xsd", "largest handle and sizes",
     morrow_info(FILE_LIST.replace("1700000000", "18446744073709551615").replace("4096", "4294967295"),
                 MAPPING.replace("1a4", "ffffffffffffffff").replace("90112", "18446744073709551615"),
                 *LEADING[2:])),
    ("morrow-info.xsd", "as the program writes it", WRITTEN_HAND_OFF),
]


class Schemas(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not shutil.which("xmllint"):
            raise RuntimeError("xmllint is missing (Debian package libxml2-utils; scripts/setup installs it)")
        cls.dir = tempfile.mkdtemp(prefix="schemas-")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def xmllint(self, schema, path):
        out = subprocess.run(["xmllint", "--noout", "--schema", os.path.join(SCHEMAS, schema), path],
                             capture_output=True, text=True)
        self.assertNotIn("failed to compile", out.stderr)
        return out.returncode == 0, out.stderr

    def check(self, schema, text):
        path = os.path.join(self.dir, "doc.xml")
        with open(path, "w", encoding="utf-8", newline="") as f:
            f.write(text)
        return self.xmllint(schema, path)

    def schema_of(self, path):
        root = ET.parse(path).getroot().tag
        self.assertIn(root, SCHEMA_OF, "no schema for the root element of " + path)
        return SCHEMA_OF[root]

    def test_every_schema_compiles_and_names_its_document(self):
        for schema in sorted(glob.glob(os.path.join(SCHEMAS, "*.xsd"))):
            with self.subTest(schema=os.path.basename(schema)):
                self.xmllint(os.path.basename(schema), os.path.join(SAMPLES, "sfx-info.xml"))
                with open(schema, encoding="utf-8") as f:
                    head = f.read(400)
                self.assertRegex(head, r"^<\?xml[^>]*\?>\s*<!--", "starts with a comment on its document")

    def test_samples_validate(self):
        samples = sorted(glob.glob(os.path.join(SAMPLES, "*.xml")))
        roots = {ET.parse(p).getroot().tag for p in samples}
        self.assertLessEqual({"sfx-info", "product-info", "conditions"}, roots)
        for path in samples:
            with self.subTest(sample=os.path.basename(path)):
                valid, errors = self.xmllint(self.schema_of(path), path)
                self.assertTrue(valid, errors)

    def test_signed_samples_validate(self):
        if not os.path.exists(TOOL):
            self.skipTest("no sfxtool at %s: build the host preset first" % TOOL)
        for path in sorted(glob.glob(os.path.join(SAMPLES, "*.xml"))):
            with self.subTest(sample=os.path.basename(path)):
                signed = os.path.join(self.dir, "signed-" + os.path.basename(path))
                out = subprocess.run([TOOL, "sign-xml", "--key", KEY_G, path, "-o", signed],
                                     capture_output=True, text=True)
                self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
                with open(signed, "rb") as f:
                    data = f.read()
                self.assertRegex(data, rb"<!-- KROSig2A[0-9a-fA-F]{128}KROSig2A -->\r?\n?$")
                valid, errors = self.xmllint(self.schema_of(path), signed)
                self.assertTrue(valid, errors)

    def test_refused_documents(self):
        for schema, what, text, complaint in REFUSED:
            with self.subTest(schema=schema, case=what):
                valid, errors = self.check(schema, text)
                self.assertFalse(valid, "accepted: " + text)
                self.assertIn("validity error", errors)
                self.assertIn(complaint, errors)

    def test_accepted_documents(self):
        for schema, what, text in ACCEPTED:
            with self.subTest(schema=schema, case=what):
                valid, errors = self.check(schema, text)
                self.assertTrue(valid, errors)

    def test_hand_off_file_carries_what_sfx_info_allows(self):
        """The sample's top-level elements, copied behind the leading elements,
        make a valid hand-off file, with and without cookie."""
        root = ET.parse(os.path.join(SAMPLES, "sfx-info.xml")).getroot()
        copied = "".join(ET.tostring(child, encoding="unicode") for child in root)
        for tail in ("", COOKIE):
            with self.subTest(cookie=bool(tail)):
                valid, errors = self.check("morrow-info.xsd", morrow_info(*LEADING, copied, tail))
                self.assertTrue(valid, errors)


if __name__ == "__main__":
    unittest.main()
