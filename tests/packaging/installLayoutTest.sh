#!/usr/bin/env bash
# `cmake --install` of the current build tree: exactly the expected files for each component and
# prefix, with the right modes, and a unit that names the files of the same install.
# Arguments: source directory, build directory, ON when the simulator is built.
# shellcheck source=checkHelpers.sh
source "$(dirname "$0")/checkHelpers.sh"
sourceDir=$1 build=$2 withSimulator=$3
requireTools cmake gzip python3

expectLayout() {
    local root=$1 expected=$2 what=$3
    diff -u "$expected" <(listFiles "$root") >"$scratch/layout.diff" ||
        fail "$what: installed files differ from the expected ones (- expected, + installed):
$(cat "$scratch/layout.diff")"
}

expectMode() {
    local file=$1 mode=$2
    [[ "$(stat -c %a "$file")" == "$mode" ]] || fail "$file has mode $(stat -c %a "$file"), not $mode"
}

# The daemon component, for the package prefix, a source install and a self-contained one.
for prefix in /usr /usr/local /opt/quorvamonitord; do
    root="$scratch/daemon${prefix//\//-}"
    installInto "$build" "$root" "$prefix" daemon
    daemonFilesFor "$prefix" >"$scratch/expected"
    expectLayout "$root" "$scratch/expected" "daemon component, prefix $prefix"

    sysconf=$(sysconfDirFor "$prefix")
    daemon="$root$prefix/sbin/quorvamonitord"
    unit="$root$prefix/lib/systemd/system/quorvamonitord.service"
    defaults="$root$sysconf/default/quorvamonitord"
    expectMode "$daemon" 755
    expectMode "$root$prefix/sbin/quorvamonitord-check" 755
    expectMode "$root$prefix/libexec/quorvamonitord/prestart" 755
    expectMode "$unit" 644
    expectMode "$defaults" 644
    expectMode "$root$prefix/share/man/man8/quorvamonitord.8.gz" 644
    [[ "$(head -c 4 "$daemon")" == $'\x7fELF' ]] || fail "$daemon is not an executable"

    # The unit must start the daemon of this install and read the defaults file of this install.
    [[ "$(unitValue "$unit" ExecStart)" == "$prefix/sbin/quorvamonitord \$QUORVAMONITORD_PIDFILES" ]] ||
        fail "prefix $prefix: ExecStart= is '$(unitValue "$unit" ExecStart)'"
    [[ "$(unitValue "$unit" ExecStartPre)" == "-$prefix/libexec/quorvamonitord/prestart $prefix/sbin/quorvamonitord-check" ]] ||
        fail "prefix $prefix: ExecStartPre= is '$(unitValue "$unit" ExecStartPre)'"
    [[ "$(unitValue "$unit" EnvironmentFile)" == "-$sysconf/default/quorvamonitord" ]] ||
        fail "prefix $prefix: EnvironmentFile= is '$(unitValue "$unit" EnvironmentFile)'"
    ! grep -n '@[A-Z_]*@' "$unit" || fail "prefix $prefix: the unit has unreplaced placeholders"

    # The defaults file sets the list empty, which the unit's condition then reports.
    grep -qx 'QUORVAMONITORD_PIDFILES=""' "$defaults" || fail "$defaults does not set an empty list"
done

# The installed manual page is the source page, compressed.
gzip -dc "$scratch/daemon-usr/usr/share/man/man8/quorvamonitord.8.gz" |
    cmp -s - "$sourceDir/packaging/quorvamonitord.8" ||
    fail "the installed manual page is not packaging/quorvamonitord.8"
# The copyright notice is the packages' one; the README is the host's, not the repository's.
cmp -s "$scratch/daemon-usr/usr/share/doc/quorvamonitord/copyright" "$sourceDir/debian/copyright" ||
    fail "the installed copyright notice is not debian/copyright"
cmp -s "$scratch/daemon-usr/usr/share/doc/quorvamonitord/README.md" \
    "$sourceDir/packaging/quorvamonitord.README.md" ||
    fail "the installed README is not packaging/quorvamonitord.README.md"

# Installing everything adds the simulator, when it is built, and nothing else: no stray
# libraries, headers or test binaries from elsewhere in the tree.
installInto "$build" "$scratch/all" /usr
{
    daemonFilesFor /usr
    if [[ "$withSimulator" == ON ]]; then simulatorFilesFor /usr; fi
} | LC_ALL=C sort >"$scratch/expected"
expectLayout "$scratch/all" "$scratch/expected" "all components"
# No link in the installed documentation points into the source tree or at nothing.
checkInstalledLinks "$scratch/all" "$sourceDir"

if [[ "$withSimulator" == ON ]]; then
    installInto "$build" "$scratch/simulator" /usr simulator
    simulatorFilesFor /usr >"$scratch/expected"
    expectLayout "$scratch/simulator" "$scratch/expected" "simulator component"
    expectMode "$scratch/simulator/usr/bin/qvdriversim" 755
    expectMode "$scratch/simulator/usr/share/man/man1/qvdriversim.1.gz" 644
    gzip -dc "$scratch/simulator/usr/share/man/man1/qvdriversim.1.gz" |
        cmp -s - "$sourceDir/packaging/qvdriversim.1" ||
        fail "the installed simulator manual page is not packaging/qvdriversim.1"
fi

echo "install layout: as expected"
