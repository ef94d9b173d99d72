#!/usr/bin/env bash
# Makes the Debian package from a built tree with CPack, checks its control data, unpacks it
# into a fresh root and starts the installed program: offscreen, then under Xvfb where its
# window must show.
#   package.sh <build directory> <version>
set -euo pipefail
build=$1
version=$2
here=$(cd "$(dirname "$0")" && pwd)
name=rangefinder-assistant

fail() {
    echo "package: FAILED: $*" >&2
    exit 1
}
. "$here/stop-program.sh"

for tool in cpack dpkg-deb dpkg-shlibdeps file readelf lintian python3 fc-list Xvfb xwininfo xprop; do
    command -v "$tool" >/dev/null || fail "$tool not found (scripts/setup installs it)"
done

tmp=$(mktemp -d)
pid=
cleanup() {
    [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null || true
    rm -rf "$tmp"
}
trap cleanup EXIT

# --- build the package (its own output directory, so build/ is left alone) ---
started=$SECONDS
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$tmp/out" >"$tmp/cpack.log" 2>&1 ||
    fail "cpack failed:"$'\n'"$(cat "$tmp/cpack.log")"
deb="$tmp/out/${name}_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || fail "no $deb; cpack said:"$'\n'"$(cat "$tmp/cpack.log")"
echo "package: built $(basename "$deb") in $((SECONDS - started)) s"

# --- control data ---
field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Package)" = "$name" ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', expected $version"
[[ "$(field Maintainer)" =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] ||
    fail "Maintainer is '$(field Maintainer)'"
[ -n "$(field Section)" ] || fail "no Section"
description=$(field Description)
[ "$(wc -l <<<"$description")" -ge 2 ] || fail "no long description: $description"
depends=$(field Depends)
echo "package: Depends: $depends"
# Package names in Depends, alternatives included.
names=$(tr ',|' '\n\n' <<<"$depends" | sed -E 's/^ *([^ (]+).*/\1/')
for lib in libc6 libstdc++6 libqt5core5a libqt5gui5 libqt5widgets5 libqt5serialport5 \
    fonts-wqy-microhei fonts-liberation2; do
    grep -qxF "$lib" <<<"$names" || fail "Depends lacks $lib"
done
# Every dependency names a real package: the first of each set of alternatives is installed.
while read -r dep; do
    dpkg-query -W -f='${Status}' "$dep" 2>/dev/null | grep -q 'install ok installed' ||
        fail "Depends names $dep, which is not an installed package"
done < <(tr ',' '\n' <<<"$depends" | sed -E 's/^ *([^ (|]+).*/\1/')

# --- Debian's own checks: not one error or warning ---
lintian --fail-on error,warning "$deb" >"$tmp/lintian.log" 2>&1 ||
    fail "lintian:"$'\n'"$(grep -v 'root privileges' "$tmp/lintian.log")"
! grep -q '^[EW]: ' "$tmp/lintian.log" || fail "lintian:"$'\n'"$(cat "$tmp/lintian.log")"
echo "package: lintian reports nothing"
# The fonts it depends on are what draws the window's texts.
"$here/glyphs.py" "$here/../../src/window"

# --- install into a fresh root ---
root="$tmp/root"
dpkg-deb -x "$deb" "$root"
app="$root/usr/bin/$name"
[ -x "$app" ] || fail "no executable usr/bin/$name in the package"
! readelf -d "$app" | grep -qE 'RPATH|RUNPATH' || fail "the installed program keeps an RPATH"
"$here/desktop-entry.sh" "$root/usr/share/applications/$name.desktop"
for size in 16 32 48 64 128 256; do
    icon="$root/usr/share/icons/hicolor/${size}x${size}/apps/$name.png"
    file -b "$icon" | grep -q "^PNG image data, $size x $size," ||
        fail "icon ${size}x${size}: $(file -b "$icon" 2>&1)"
done
for page in rangefinder-assistant rangefinder-cli rangefinder-sim; do
    # grep reads to the end: with -q it would stop at line 2, and zcat's broken pipe would fail
    # the pipeline whenever the page is longer than what the pipe takes at once.
    zcat "$root/usr/share/man/man1/$page.1.gz" | grep "^\.TH \"\?${page^^}" > /dev/null ||
        fail "no manual page $page.1.gz"
done
echo "package: files in place: $(dpkg-deb -c "$deb" | grep -vc '/$') files"

# --- the installed program starts offscreen, stays up, and ends on SIGTERM ---
QT_QPA_PLATFORM=offscreen "$app" >"$tmp/offscreen.log" 2>&1 &
pid=$!
sleep 2
kill -0 "$pid" 2>/dev/null ||
    fail "the program exited within 2 s offscreen:"$'\n'"$(cat "$tmp/offscreen.log")"
stop_program offscreen
echo "package: offscreen start OK"

# --- and under an X server its window shows ---
"$here/show-window.sh" "$app" "$tmp/x11"
echo "package: OK"
