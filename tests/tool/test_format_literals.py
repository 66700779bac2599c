"""Keeps the program's texts UTF-8 whatever the locale: no narrow string
literal in src/ or samples/ holds a wide string or character conversion
("%ls", "%lc", with any flags, width or precision). A narrow format would
hand such an argument to a C runtime's wide-to-narrow conversion, which loses
characters outside the locale; wide formats (L"...%ls...") or "%s" with
text::to_utf8 convert with the program's own code instead."""
import os
import re
import unittest

SOURCE_DIR = os.environ.get("KRO_SOURCE_DIR", os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
SCANNED = ("src", "samples")
EXTENSIONS = (".cpp", ".h", ".c", ".hpp")

WIDE_CONVERSION = re.compile(r"%[-+ #0']*(?:\d+|\*)?(?:\.(?:\d+|\*))?l[sc]")
# One token of C++ source that matters here: a comment, a character literal,
# a raw string literal or a string literal, each with its prefix.
TOKEN = re.compile(r"""
    (?P<comment>//[^\n]*|/\*.*?\*/)
  | (?P<raw>(?P<raw_prefix>u8|[uUL])?R"(?P<delim>[^()\\\s]{0,16})\((?P<raw_body>.*?)\)(?P=delim)")
  | (?P<string>(?P<prefix>u8|[uUL])?"(?P<body>(?:[^"\\\n]|\\.)*)")
  | (?P<char>(?:u8|[uUL])?'(?:[^'\\\n]|\\.)*')
""", re.VERBOSE | re.DOTALL)


def narrow_literals_with_wide_conversions(text):
    """(line, literal) of each narrow literal that holds a wide conversion."""
    found = []
    for m in TOKEN.finditer(text):
        if m.group("string") is not None:
            prefix, body = m.group("prefix"), m.group("body")
        elif m.group("raw") is not None:
            prefix, body = m.group("raw_prefix"), m.group("raw_body")
        else:
            continue
        if prefix in (None, "u8") and WIDE_CONVERSION.search(body):
            found.append((text.count("\n", 0, m.start()) + 1, m.group(0)))
    return found


class FormatLiterals(unittest.TestCase):
    def test_the_scanner_tells_narrow_literals_from_wide_ones_and_comments(self):
        sample = '\n'.join([
            'log::write(log::info, "File \'%ls\' done.", p.c_str());',        # narrow: found
            'log::write(log::info, L"File \'%ls\' done.", p.c_str());',       # wide: fine
            '// "Unable to open file \'%ls\'!" in a comment',                  # comment: fine
            '/* "%ls" */ auto c = \'"\'; auto s = "%s %-12.*lc";',             # narrow %lc: found
            'auto r = R"x(a "%5ls" b)x"; auto w = LR"(%ls)";',                 # raw narrow: found
            'auto e = "escaped \\" quote %ls";',                               # found despite the escape
            'auto k = "100%% of %s";',                                         # fine
        ])
        lines = [line for line, _ in narrow_literals_with_wide_conversions(sample)]
        self.assertEqual(lines, [1, 4, 5, 6])

    def test_no_narrow_literal_in_the_sources_holds_a_wide_conversion(self):
        offenders = []
        for folder in SCANNED:
            for root, _, names in os.walk(os.path.join(SOURCE_DIR, folder)):
                for name in sorted(names):
                    if not name.endswith(EXTENSIONS):
                        continue
                    path = os.path.join(root, name)
                    with open(path, encoding="utf-8") as f:
                        text = f.read()
                    for line, literal in narrow_literals_with_wide_conversions(text):
                        offenders.append("%s:%d: %s" % (os.path.relpath(path, SOURCE_DIR), line, literal))
        self.assertEqual(offenders, [], "narrow literals with a wide conversion (use L\"...\" or "
                                        "\"%s\" with text::to_utf8):\n" + "\n".join(offenders))


if __name__ == "__main__":
    unittest.main(verbosity=2)
