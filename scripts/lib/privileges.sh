# Sourced, from the project's root, by the scripts in scripts/: what needs root (Debian packages, a link in /dev) goes
# through sudo, shown first; everything else, the build folders above all, stays the user's.

# Started with sudo by a normal user, a script would leave root-owned build folders behind:
# it starts again as that user, whose own sudo then does the few steps that need root.
drop_sudo() {
    if [ "$(id -u)" -eq 0 ] && [ -n "${SUDO_USER:-}" ] && [ "$SUDO_USER" != root ]; then
        echo "$(basename "$0"): going on as $SUDO_USER; only the steps that need root use sudo" >&2
        exec sudo -u "$SUDO_USER" -- "$PWD/scripts/$(basename "$0")" "$@"
    fi
}

# True when root's steps can be run: as root, or through sudo (asking for the password only
# on a terminal).
can_be_root() {
    [ "$(id -u)" -eq 0 ] && return 0
    command -v sudo >/dev/null || return 1
    if [ -t 0 ]; then
        sudo -v
    else
        sudo -n true 2>/dev/null
    fi
}

# Runs a command as root, through sudo for a normal user, showing the command first.
as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    else
        echo "+ sudo$(printf ' %q' "$@")" >&2
        sudo -- "$@"
    fi
}

# Prints the exact commands an administrator would run for a user who cannot, and fails.
ask_administrator() {
    echo "$(basename "$0"): this needs root, and $(id -un) cannot use sudo here." >&2
    echo "Ask an administrator to run:" >&2
    local line
    for line in "$@"; do
        echo "    $line" >&2
    done
    return 1
}

# Installs those of the given Debian packages that are missing.
require_packages() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$' ||
            missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "$(basename "$0"): installing ${missing[*]}" >&2
    if ! can_be_root; then
        ask_administrator "sudo apt-get update" \
            "sudo apt-get install --no-install-recommends ${missing[*]}"
        return 1
    fi
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
