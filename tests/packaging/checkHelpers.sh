#!/usr/bin/env bash
# Shared by the packaging checks (sourced): failing with a message, the tools a check needs, a
# scratch folder removed on exit, and the files each install component must lay out.
set -euo pipefail

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# The Debian package that provides each tool, for the message when one is missing.
packageOfTool() {
    case "$1" in
        cmake | cpack) echo cmake ;;
        dpkg | dpkg-deb) echo dpkg ;;
        dpkg-shlibdeps | dpkg-architecture) echo dpkg-dev ;;
        systemd-analyze) echo systemd ;;
        groff) echo groff ;;
        man | lexgrog) echo man-db ;;
        python3) echo python3 ;;
        gzip) echo gzip ;;
        *) echo "?" ;;
    esac
}

# A missing tool is a failure, never a skip: these checks must run wherever the tests run.
requireTools() {
    local tool
    for tool in "$@"; do
        command -v "$tool" >/dev/null ||
            fail "'$tool' is not installed; install the Debian package $(packageOfTool "$tool") (scripts/setup does)"
    done
}

scratch=$(mktemp -d "${TMPDIR:-/tmp}/qvpackaging.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# Where configuration goes for a prefix: /etc for /usr, /etc/opt/<name> for /opt/<name>, else
# under the prefix.
sysconfDirFor() {
    case "$1" in
        /usr) echo /etc ;;
        /opt/*) echo "/etc$1" ;;
        *) echo "$1/etc" ;;
    esac
}

# Files of the daemon component for a prefix, sorted.
daemonFilesFor() {
    local prefix=$1
    printf '%s\n' \
        "$prefix/sbin/quorvamonitord" \
        "$prefix/share/man/man8/quorvamonitord.8.gz" \
        "$prefix/lib/systemd/system/quorvamonitord.service" \
        "$prefix/share/doc/quorvamonitord/README.md" \
        "$prefix/share/doc/quorvamonitord/copyright" \
        "$(sysconfDirFor "$prefix")/default/quorvamonitord" | LC_ALL=C sort
}

# Files of the simulator component for a prefix, sorted.
simulatorFilesFor() {
    printf '%s\n' \
        "$1/bin/qvdriversim" \
        "$1/share/doc/quorvamonitord-simulator/README.md" \
        "$1/share/doc/quorvamonitord-simulator/copyright" | LC_ALL=C sort
}

# Every file, link or other non-directory under a root, as absolute paths inside it, sorted.
listFiles() {
    (cd "$1" && find . ! -type d | sed 's|^\.||' | LC_ALL=C sort)
}

# Installs one component (or all, when the component is empty) of the build tree into a DESTDIR.
installInto() {
    local build=$1 destdir=$2 prefix=$3 component=${4:-}
    local args=(--install "$build" --prefix "$prefix")
    [[ -n "$component" ]] && args+=(--component "$component")
    DESTDIR="$destdir" cmake "${args[@]}" >"$scratch/install.log" 2>&1 ||
        fail "cmake ${args[*]} failed: $(cat "$scratch/install.log")"
}

# Value of the first "Key=" line of a unit file.
unitValue() {
    sed -n "s/^$2=//p" "$1" | head -n 1
}
