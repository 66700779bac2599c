#!/usr/bin/env python3
"""Writes sfxtool's manual page from its own --help texts.

    gen_manpage.py SFXTOOL VERSION OUTPUT

The page holds `sfxtool --help` and, for every command it lists,
`sfxtool COMMAND --help`, verbatim, so that it never differs from the program.
"""
import re
import subprocess
import sys


def help_text(tool, *args):
    run = subprocess.run([tool, *args, "--help"], capture_output=True, text=True, check=False)
    text = run.stdout or run.stderr
    if run.returncode != 0 or not text.strip():
        sys.exit(f"gen_manpage: {tool} {' '.join(args)} --help failed ({run.returncode})")
    return text.rstrip("\n")


def roff_verbatim(text):
    lines = []
    for line in text.split("\n"):
        line = line.replace("\\", "\\e")
        if line.startswith((".", "'")):
            line = "\\&" + line
        lines.append(line)
    return "\n".join(lines)


def main():
    tool, version, output = sys.argv[1:4]
    overview = help_text(tool)
    commands = re.findall(r"^  ([a-z][a-z0-9-]*)  ", overview, re.MULTILINE)
    if not commands:
        sys.exit("gen_manpage: no commands found in sfxtool --help")
    page = [
        f'.TH SFXTOOL 1 "" "sfxtool {version}" "User Commands"',
        ".SH NAME",
        "sfxtool \\- build, sign, inspect and unpack self-extracting packages",
        ".SH SYNOPSIS",
        ".B sfxtool",
        "\\fICOMMAND\\fR [\\fIOPTIONS\\fR]",
        ".SH DESCRIPTION",
        ".nf",
        roff_verbatim(overview),
        ".fi",
        ".SH COMMANDS",
    ]
    for command in commands:
        page += [".SS " + command, ".nf", roff_verbatim(help_text(tool, command)), ".fi"]
    with open(output, "w", encoding="utf-8") as out:
        out.write("\n".join(page) + "\n")


if __name__ == "__main__":
    main()
