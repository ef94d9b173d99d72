# Sourced by wine-check, whose prefix, helpers and unzipped folder ($app) it uses: the .msi
# ($msi) installed silently, its shortcut, its Add/Remove Programs entry and its window; a
# higher version over it; then removed.

msi_property() { msiinfo export "$1" Property | tr -d '\r' | sed -n "s/^$2\t//p"; }

# The Add/Remove Programs entries named $1: "product-code version publisher", tab-separated.
uninstall_entries() {
    wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null |
        tr -d '\r' | /usr/bin/python3 -c '
import re, sys
entries, key, values = [], None, {}
for line in list(sys.stdin) + ["HKEY_END"]:
    if line.startswith("HKEY_"):
        if key and values.get("DisplayName") == sys.argv[1]:
            print(key.rsplit("\\", 1)[-1], values.get("DisplayVersion"), values.get("Publisher"),
                  sep="\t")
        key, values = line.strip(), {}
    elif m := re.match(r"\s+(\S+)\s+REG_\w+\s+(.*)$", line):
        values[m.group(1)] = m.group(2)' "$1"
}

# The product icon Windows Installer keeps for Add/Remove Programs, as a Linux path.
product_icon() {
    local path
    path=$(wine reg query 'HKLM\Software\Classes\Installer\Products' /s 2>/dev/null | tr -d '\r' |
        sed -n 's/^ *ProductIcon *REG_SZ *//p' | head -n 1)
    [ -z "$path" ] || winepath -u "$path"
}

start_menu_link() { find "$WINEPREFIX/drive_c" -path "*/Start Menu/Programs/$1.lnk" | head -n 1; }

check_installed() {
    local installed=$1 from=$2 version=$3 publisher=$4 entries
    if diff -r "$from" "$installed" >/dev/null; then
        pass "msiexec /qn installed $version's files under $(win "$installed")"
    else
        fail "the files under $(win "$installed") are not $version's:"
        diff -rq "$from" "$installed" >&2 || true
    fi
    entries=$(uninstall_entries "$name")
    if [ "$(echo "$entries" | cut -f2-)" = "$version	$publisher" ]; then
        pass "one Add/Remove Programs entry: $name $version by $publisher"
    else
        fail "the Add/Remove Programs entries for $name are not $version by $publisher: $entries"
    fi
}

check_msi() {
    name=$(msi_property "$msi" ProductName)
    local version publisher installed link icon next_version
    version=$(msi_property "$msi" ProductVersion)
    publisher=$(msi_property "$msi" Manufacturer)
    installed=$WINEPREFIX/drive_c/Program\ Files/$name
    if ! timeout 300 wine msiexec /i "$(win "$msi")" /qn >/dev/null 2>&1; then
        fail "msiexec /i $(basename "$msi") /qn failed"
        return
    fi
    check_installed "$installed" "$app" "$version" "$publisher"

    # Wine puts a per-machine package's shortcuts in the user's Start menu, Windows in the
    # common one: either will do here.
    link=$(start_menu_link "$name")
    icon=$(product_icon)
    # A link holds its paths in 8-bit and in UTF-16 characters.
    if [ -n "$link" ] && strings -a "$link" | grep -q 'rangefinder-assistant\.exe' &&
        strings -a -el "$link" | grep -q '\\program\.ico$' && [ -n "$icon" ] &&
        cmp -s "$icon" resources/app.ico; then
        pass "the Start menu has '$name' with the program's icon, as has Add/Remove Programs"
    else
        fail "no Start menu shortcut '$name' to the program with its icon (${link:-none}, icon ${icon:-none})"
    fi
    if window_shows "$installed/rangefinder-assistant.exe" "$out/window-installed.png"; then
        pass "the installed window starts"
    else
        fail "the installed window does not start"
    fi

    # The next version, told apart by its README.
    next_version=$(echo "$version" | awk -F. '{ $NF = $NF + 1 } 1' OFS=.)
    cp -r "$app" "$work/next"
    echo "the next version" >>"$work/next/README.txt"
    packaging/windows/make-msi "$work/next" "$next_version" "$work/next.msi"
    if timeout 300 wine msiexec /i "$(win "$work/next.msi")" /qn >/dev/null 2>&1; then
        check_installed "$installed" "$work/next" "$next_version" "$publisher"
    else
        fail "msiexec /i of version $next_version over $version failed"
    fi

    local code
    code=$(uninstall_entries "$name" | cut -f1 | head -n 1)
    timeout 300 wine msiexec /x "$code" /qn >/dev/null 2>&1 || fail "msiexec /x $code /qn failed"
    if [ ! -e "$installed" ] && [ -z "$(uninstall_entries "$name")" ] &&
        [ -z "$(start_menu_link "$name")" ] && [ -z "$(product_icon)" ]; then
        pass "msiexec /x /qn leaves neither files, shortcut nor entries"
    else
        fail "after msiexec /x: $(ls "$installed" 2>&1 | head -n 3) entries: $(uninstall_entries "$name")"
    fi
}
