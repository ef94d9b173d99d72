#!/usr/bin/env bash
# The desktop entry validates without a single error, warning or hint, and carries what the
# install relies on: the program, the theme icon, and the names in English and Chinese.
#   desktop-entry.sh <desktop entry>
set -euo pipefail
entry=$1

fail() {
    echo "desktop-entry: FAILED: $*" >&2
    exit 1
}

command -v desktop-file-validate >/dev/null ||
    fail "desktop-file-validate not found (Debian package desktop-file-utils)"
[ -f "$entry" ] || fail "no file $entry"

status=0
report=$(desktop-file-validate "$entry" 2>&1) || status=$?
[ "$status" -eq 0 ] && [ -z "$report" ] ||
    fail "desktop-file-validate (exit $status) reports:"$'\n'"$report"

for line in 'Type=Application' 'Exec=rangefinder-assistant' 'Icon=rangefinder-assistant' \
    'Terminal=false' 'StartupWMClass=rangefinder-assistant'; do
    grep -qxF "$line" "$entry" || fail "missing line: $line"
done
for key in 'Name' 'Name\[zh_CN\]' 'Comment' 'Comment\[zh_CN\]' 'Categories'; do
    grep -qE "^$key=.+" "$entry" || fail "missing or empty key: ${key//\\/}"
done
echo "desktop-entry: $entry OK"
