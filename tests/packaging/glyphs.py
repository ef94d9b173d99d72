#!/usr/bin/env python3
"""Exits with 3 when a character of the window's texts has no installed font to draw it.

Reads the texts from the Designer form and the tr() strings of the window's sources, and the
fonts' character sets from fontconfig, as a program on this system would find them.
  glyphs.py <source folder>
"""
import pathlib
import re
import subprocess
import sys
import xml.etree.ElementTree as ET

src = pathlib.Path(sys.argv[1])
texts = [s.text or "" for s in ET.parse(src / "forms" / "widget.ui").iter("string")]
for source in src.glob("*.cpp"):
    texts += re.findall(r'\btr\("((?:[^"\\]|\\.)*)"', source.read_text(encoding="utf-8"))
wanted = {c for text in texts for c in text if not c.isspace()}

covered = set()
listing = subprocess.run(["fc-list", "--format", "%{charset}\n"], check=True,
                         capture_output=True, text=True).stdout
for charset in listing.split():
    for part in charset.split():
        first, _, last = part.partition("-")
        covered.update(range(int(first, 16), int(last or first, 16) + 1))

missing = sorted(c for c in wanted if ord(c) not in covered)
if missing:
    # Its own exit code: a caller that expects missing fonts must not take a crash for them.
    print("glyphs: no installed font draws %s (%d of the window's %d characters); "
          "scripts/setup installs fonts-wqy-microhei" % ("".join(missing), len(missing), len(wanted)),
          file=sys.stderr)
    sys.exit(3)
print("glyphs: every one of the window's %d characters has a font" % len(wanted))
