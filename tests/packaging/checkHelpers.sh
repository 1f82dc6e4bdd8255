#!/usr/bin/env bash
# Shared by the packaging checks (sourced): failing with a message, the tools a check needs, a
# scratch folder removed on exit, the files each install component must lay out, and scratch
# roots to install Debian packages into.
set -euo pipefail

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# The Debian package that provides each tool, for the message when one is missing.
packageOfTool() {
    case "$1" in
        cmake) echo cmake ;;
        dpkg | dpkg-deb) echo dpkg ;;
        dpkg-buildpackage | dpkg-parsechangelog) echo dpkg-dev ;;
        dh) echo debhelper ;;
        lintian) echo lintian ;;
        gdb) echo gdb ;;
        readelf) echo binutils ;;
        ninja) echo ninja-build ;;
        pkg-config) echo pkg-config ;;
        unshare | mount) echo util-linux ;;
        systemd-analyze | systemctl) echo systemd ;;
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

# A check that sets privateMounts=yes before sourcing this file runs in a mount namespace of its
# own: it re-runs itself there at once (exec keeps the process id, which marks it as done).
if [[ "${privateMounts:-}" == yes && "${QV_PRIVATE_MOUNTS_OF:-}" != "$$" ]]; then
    command -v unshare >/dev/null || fail "'unshare' is not installed; install the Debian package util-linux"
    exec env QV_PRIVATE_MOUNTS_OF=$$ unshare --mount --propagation private bash "$0" "$@"
fi

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
        "$prefix/sbin/quorvamonitord-check" \
        "$prefix/libexec/quorvamonitord/prestart" \
        "$prefix/share/man/man8/quorvamonitord.8.gz" \
        "$prefix/share/man/man8/quorvamonitord-check.8.gz" \
        "$prefix/lib/systemd/system/quorvamonitord.service" \
        "$prefix/share/doc/quorvamonitord/README.md" \
        "$prefix/share/doc/quorvamonitord/copyright" \
        "$(sysconfDirFor "$prefix")/default/quorvamonitord" | LC_ALL=C sort
}

# Files of the simulator component for a prefix, sorted.
simulatorFilesFor() {
    printf '%s\n' \
        "$1/bin/qvdriversim" \
        "$1/share/man/man1/qvdriversim.1.gz" \
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

# The links of every Markdown file installed under a root (checkMarkdownLinks.py).
checkInstalledLinks() {
    python3 "$(dirname "${BASH_SOURCE[0]}")/checkMarkdownLinks.py" "$1" "$2" >"$scratch/links.txt" ||
        fail "installed documentation under $1: $(cat "$scratch/links.txt")"
}

# Value of the first "Key=" line of a unit file.
unitValue() {
    sed -n "s/^$2=//p" "$1" | head -n 1
}

# Hides the machine's /run behind an empty one, so that maintainer scripts run for a scratch
# root find no running systemd to reload or start units in. Only in a check's private mount
# namespace (privateMounts=yes), never in the machine's own.
hideRunningSystem() {
    requireTools mount
    [[ "${privateMounts:-}" == yes && "${QV_PRIVATE_MOUNTS_OF:-}" == "$$" ]] ||
        fail "hideRunningSystem outside a private mount namespace"
    mount -t tmpfs -o mode=0755 tmpfs /run || fail "cannot mount an empty /run"
}

# An empty dpkg database under a scratch root.
makeDpkgRoot() {
    mkdir -p "$1/var/lib/dpkg/updates" "$1/var/lib/dpkg/info"
    touch "$1/var/lib/dpkg/status"
}

# dpkg acting on a scratch root: the maintainer scripts run outside it with DPKG_ROOT set, and
# the libraries the packages depend on are those of the machine.
dpkgIn() {
    local root=$1
    shift
    dpkg --root="$root" --force-script-chrootless --force-depends --force-unsafe-io "$@" \
        >>"$scratch/dpkg.log" 2>&1 || fail "dpkg $* failed: $(tail -n 20 "$scratch/dpkg.log")"
}
