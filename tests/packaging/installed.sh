#!/usr/bin/env bash
# Installs the Debian package with apt on a fresh system, as root, and checks what a user gets:
# the fonts come with it (before it, no font draws the window's texts), the manual pages, and
# the window under Xvfb, with a screenshot to look at.
#   installed.sh <package.deb> <folder for the screenshot>
set -euo pipefail
deb=$(realpath "$1")
out=$2
here=$(cd "$(dirname "$0")" && pwd)
src="$here/../../src/window"
fail() {
    echo "installed: FAILED: $*" >&2
    exit 1
}

. "$here/../../scripts/lib/privileges.sh"
# The tools of the check itself, fc-list among them; none brings a font for the window's texts.
require_packages man-db python3 fontconfig xvfb x11-utils imagemagick
status=0
"$here/glyphs.py" "$src" 2>/dev/null || status=$?
[ "$status" -eq 3 ] || fail "before the package, glyphs.py ended with $status, not 3 (no font)"

DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >/dev/null
echo "installed: $(dpkg-query -W -f='${Package} ${Version} ${Status}' rangefinder-assistant)"
"$here/glyphs.py" "$src"
for page in rangefinder-assistant rangefinder-cli rangefinder-sim; do
    man -P cat "$page" 2>/dev/null | grep "^NAME" > /dev/null || fail "man $page shows no page"
done
echo "installed: man rangefinder-assistant, rangefinder-cli and rangefinder-sim work"
rangefinder-cli --version
rangefinder-sim --version
"$here/show-window.sh" /usr/bin/rangefinder-assistant "$(mktemp -d)" "$out/window.png"
echo "installed: OK"
