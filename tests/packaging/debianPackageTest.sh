#!/usr/bin/env bash
# The Debian packages made by debianPackageBuild: lintian finds nothing, their control data and
# files are as expected, the executables are stripped with their debug information in the
# -dbgsym packages, and their life with dpkg in a scratch root: install, upgrade to the higher
# version keeping an edited defaults file, remove, purge leaving no file behind. Runs in a
# private mount namespace; the machine's own systemd state must stay untouched.
# Arguments: source directory, folder of the packages.
privateMounts=yes
# shellcheck source=checkHelpers.sh
source "$(dirname "$0")/checkHelpers.sh"
sourceDir=$1 packages=$2
requireTools dpkg dpkg-deb dpkg-parsechangelog lintian readelf systemctl python3

version=$(dpkg-parsechangelog -l "$sourceDir/debian/changelog" -S Version)
arch=$(dpkg --print-architecture)
debOf() {
    echo "$packages/${2:-first}/${1}_${3:-$version}_$arch.deb"
}
for package in quorvamonitord quorvamonitord-simulator quorvamonitord-dbgsym quorvamonitord-simulator-dbgsym; do
    [[ -f "$(debOf $package)" ]] || fail "no $(debOf $package): run debianPackageBuild first"
done

# lintian, pedantic and with informational tags: nothing at all to report. Debian 12's lintian
# notes every systemd unit that has no init.d script beside it; Debian 13's no longer has that
# informational tag, and an override of a tag it does not know is an error there, so the tag is
# suppressed here where lintian knows it instead of overridden in the package. The one tag that
# is overridden (debian/quorvamonitord.lintian-overrides) must still be found without its
# override, which shows that lintian looked at the packages.
lintianOptions=(--pedantic --display-info --display-experimental)
if lintian-explain-tags package-supports-alternative-init-but-no-init.d-script >/dev/null 2>&1; then
    lintianOptions+=(--suppress-tags package-supports-alternative-init-but-no-init.d-script)
fi
lintian "${lintianOptions[@]}" "$packages/first/quorvamonitord_${version}_$arch.changes" \
    >"$scratch/lintian.txt" 2>"$scratch/lintian.err" || fail "lintian failed: $(cat "$scratch/lintian.txt" "$scratch/lintian.err")"
[[ ! -s "$scratch/lintian.txt" ]] || fail "lintian reports: $(cat "$scratch/lintian.txt")"
dpkg-deb --raw-extract "$(debOf quorvamonitord)" "$scratch/unpacked"
rm "$scratch/unpacked/usr/share/lintian/overrides/quorvamonitord"
sed -i '/^usr\/share\/lintian\//d' "$scratch/unpacked/DEBIAN/md5sums"
dpkg-deb --root-owner-group --build "$scratch/unpacked" "$scratch/no-overrides.deb" >/dev/null
lintian "${lintianOptions[@]}" "$scratch/no-overrides.deb" >"$scratch/lintian.txt" 2>/dev/null || true
grep -q '^W: quorvamonitord: maintainer-script-calls-systemctl \[postinst:' "$scratch/lintian.txt" ||
    fail "lintian no longer finds the overridden tag; drop the override: $(cat "$scratch/lintian.txt")"

field() {
    dpkg-deb --field "$1" "$2"
}

# The control data every package needs, in the form dpkg expects.
expectControl() {
    local deb=$1 package=$2 section=$3
    [[ "$(field "$deb" Package)" == "$package" ]] || fail "$deb: Package is '$(field "$deb" Package)'"
    [[ "$(field "$deb" Version)" == "$version" ]] || fail "$deb: Version is '$(field "$deb" Version)'"
    [[ "$(field "$deb" Architecture)" == "$arch" ]] ||
        fail "$deb: Architecture is '$(field "$deb" Architecture)', not $arch"
    [[ "$(field "$deb" Section)" == "$section" ]] || fail "$deb: Section is '$(field "$deb" Section)'"
    [[ "$(field "$deb" Priority)" == optional ]] || fail "$deb: Priority is '$(field "$deb" Priority)'"
    [[ "$(field "$deb" Maintainer)" =~ ^[^\<]+\ \<[^\>@]+@[^\>]+\>$ ]] ||
        fail "$deb: Maintainer '$(field "$deb" Maintainer)' is not 'Name <address>'"

    # Dependencies computed from the executables' libraries, in dpkg's syntax.
    local depends
    depends=$(field "$deb" Depends)
    [[ "$depends" =~ (^|, )libc6\ \(\>=\ [0-9.]+\) ]] || fail "$deb: Depends '$depends' lacks libc6 (>= ...)"
    echo "$depends" | tr ',' '\n' | sed 's/^ *//' | while read -r dependency; do
        [[ "$dependency" =~ ^[a-z0-9][a-z0-9.+-]+(\ \((\>=|=|\<=|\>\>|\<\<)\ [0-9][A-Za-z0-9.+:~-]*\))?$ ]] ||
            fail "$deb: malformed dependency '$dependency'"
    done
}

# Files of a package (no directories), as absolute paths, sorted.
packageFiles() {
    dpkg-deb --contents "$1" | awk '$1 !~ /^d/ { print $6 }' | sed 's|^\.||' | LC_ALL=C sort
}

expectFiles() {
    local deb=$1
    shift
    printf '%s\n' "$@" | LC_ALL=C sort >"$scratch/expected"
    diff -u "$scratch/expected" <(packageFiles "$deb") >"$scratch/files.diff" ||
        fail "$deb: files differ from the expected ones (- expected, + packaged):
$(cat "$scratch/files.diff")"
}

# An executable without symbols or debug information, whose build id names the file in the
# -dbgsym package that carries them.
expectStrippedWithDebugFile() {
    local deb=$1 executable=$2 dbgsym=$3
    mkdir -p "$scratch/x" && rm -rf "$scratch/x"/*
    dpkg-deb --extract "$deb" "$scratch/x"
    dpkg-deb --extract "$dbgsym" "$scratch/x"
    readelf -S --wide "$scratch/x$executable" >"$scratch/sections"
    ! grep -qE ' \.(symtab|debug_info) ' "$scratch/sections" || fail "$deb: $executable is not stripped"
    local id
    id=$(readelf -n "$scratch/x$executable" | sed -n 's/^ *Build ID: //p')
    [[ -n "$id" ]] || fail "$deb: $executable has no build id"
    local debugFile="$scratch/x/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug"
    [[ -f "$debugFile" ]] || fail "$dbgsym: no debug file for build id $id"
    readelf -S --wide "$debugFile" 2>/dev/null | grep -q ' \.debug_info ' || fail "$dbgsym: $debugFile has no .debug_info"
}

doc=/usr/share/doc
deb=$(debOf quorvamonitord)
expectControl "$deb" quorvamonitord admin
[[ "$(field "$deb" Suggests)" == "strace, gdb" ]] || fail "$deb: Suggests is '$(field "$deb" Suggests)'"
[[ "$(field "$deb" Depends)" != *fuse* ]] || fail "$deb: depends on fuse: $(field "$deb" Depends)"
expectFiles "$deb" /usr/sbin/quorvamonitord /usr/sbin/quorvamonitord-check \
    /usr/libexec/quorvamonitord/prestart /usr/lib/systemd/system/quorvamonitord.service \
    /etc/default/quorvamonitord /usr/share/man/man8/quorvamonitord.8.gz \
    /usr/share/man/man8/quorvamonitord-check.8.gz \
    $doc/quorvamonitord/README.md.gz $doc/quorvamonitord/changelog.gz $doc/quorvamonitord/copyright \
    /usr/share/lintian/overrides/quorvamonitord
expectStrippedWithDebugFile "$deb" /usr/sbin/quorvamonitord "$(debOf quorvamonitord-dbgsym)"
expectStrippedWithDebugFile "$deb" /usr/sbin/quorvamonitord-check "$(debOf quorvamonitord-dbgsym)"
cmp -s "$scratch/x$doc/quorvamonitord/copyright" "$sourceDir/debian/copyright" ||
    fail "$deb: the copyright file is not debian/copyright"

# The defaults file is a conffile, so upgrades keep the administrator's pid-file list.
mkdir "$scratch/control"
dpkg-deb --control "$deb" "$scratch/control"
[[ "$(cat "$scratch/control/conffiles")" == /etc/default/quorvamonitord ]] ||
    fail "$deb: conffiles is '$(cat "$scratch/control/conffiles")'"

# The unit inside the package starts the packaged daemon with the packaged defaults file.
unit="$scratch/x/usr/lib/systemd/system/quorvamonitord.service"
[[ "$(unitValue "$unit" ExecStart)" == "/usr/sbin/quorvamonitord \$QUORVAMONITORD_PIDFILES" ]] ||
    fail "$deb: the unit's ExecStart= is '$(unitValue "$unit" ExecStart)'"
[[ "$(unitValue "$unit" EnvironmentFile)" == "-/etc/default/quorvamonitord" ]] ||
    fail "$deb: the unit's EnvironmentFile= is '$(unitValue "$unit" EnvironmentFile)'"

deb=$(debOf quorvamonitord-simulator)
# A tool for testing the daemon without the device: development, not system administration.
expectControl "$deb" quorvamonitord-simulator devel
depends=$(field "$deb" Depends)
[[ "$depends" =~ (^|, )fuse3(,|$) ]] || fail "$deb: Depends '$depends' lacks fuse3"
# libfuse3-3 on Debian 12, libfuse3-4 on Debian 13.
[[ "$depends" =~ (^|, )libfuse3-[0-9]+\  ]] || fail "$deb: Depends '$depends' lacks libfuse3"
expectFiles "$deb" /usr/bin/qvdriversim /usr/share/man/man1/qvdriversim.1.gz \
    $doc/quorvamonitord-simulator/README.md.gz $doc/quorvamonitord-simulator/changelog.gz \
    $doc/quorvamonitord-simulator/copyright
expectStrippedWithDebugFile "$deb" /usr/bin/qvdriversim "$(debOf quorvamonitord-simulator-dbgsym)"

# Their life with dpkg in a scratch root. The machine's own unit links and debhelper's state of
# enabled units must not change.
hideRunningSystem
systemState() {
    local dir
    for dir in /etc/systemd/system /var/lib/systemd/deb-systemd-helper-enabled \
        /var/lib/systemd/deb-systemd-helper-masked; do
        if [[ -e "$dir" ]]; then find "$dir" -printf '%p %l %T@\n'; fi
    done | LC_ALL=C sort
}
systemState >"$scratch/state.before"

root="$scratch/root"
makeDpkgRoot "$root"
# Every file outside dpkg's own database, sorted.
rootFiles() {
    (cd "$root" && find . -path ./var/lib/dpkg -prune -o ! -type d -print | sed 's|^\.||' | LC_ALL=C sort)
}
installedVersion() {
    dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${Version} ${Status}' "$1"
}

dpkgIn "$root" --install "$(debOf quorvamonitord)" "$(debOf quorvamonitord-simulator)"
[[ "$(installedVersion quorvamonitord)" == "$version install ok installed" ]] ||
    fail "after install: quorvamonitord is '$(installedVersion quorvamonitord)'"
{
    packageFiles "$(debOf quorvamonitord)"
    packageFiles "$(debOf quorvamonitord-simulator)"
    # debhelper's record of the links that enabling the unit makes, for purge to remove them.
    echo /var/lib/systemd/deb-systemd-helper-enabled/quorvamonitord.service.dsh-also
} | LC_ALL=C sort >"$scratch/expected"
diff -u "$scratch/expected" <(rootFiles) || fail "dpkg installed other files than packaged (- expected, + installed)"
# The documentation on the host links to nothing that exists only in the source tree.
checkInstalledLinks "$root" "$sourceDir"

# The administrator enables the service, lists the pid files and adds a drop-in (as
# `systemctl edit` does); then the upgrade.
systemctl --root="$root" enable quorvamonitord.service >/dev/null 2>&1 ||
    fail "systemctl --root enable failed"
link=/etc/systemd/system/multi-user.target.wants/quorvamonitord.service
[[ -L "$root$link" ]] || fail "enabling made no link $link"
echo 'QUORVAMONITORD_PIDFILES="/run/edited.pid"' >"$root/etc/default/quorvamonitord"
dropIn=/etc/systemd/system/quorvamonitord.service.d/override.conf
mkdir -p "$(dirname "$root$dropIn")"
printf '[Unit]\nAfter=acquire.service\n' >"$root$dropIn"
upgraded=$version+1
dpkgIn "$root" --install "$(debOf quorvamonitord upgrade "$upgraded")" "$(debOf quorvamonitord-simulator upgrade "$upgraded")"
[[ "$(installedVersion quorvamonitord)" == "$upgraded install ok installed" ]] ||
    fail "after the upgrade: quorvamonitord is '$(installedVersion quorvamonitord)'"
grep -qx 'QUORVAMONITORD_PIDFILES="/run/edited.pid"' "$root/etc/default/quorvamonitord" ||
    fail "the upgrade replaced the edited defaults file"
[[ -L "$root$link" ]] || fail "the upgrade removed the link that enabled the service"
zcat "$root$doc/quorvamonitord/changelog.gz" | head -n 1 | grep -qF "($upgraded)" ||
    fail "the upgrade did not install the new version's files"

# Remove keeps the administrator's files: the defaults file and the enabling link, which
# debhelper's state (updated by the upgrade) records for purge.
dpkgIn "$root" --remove quorvamonitord quorvamonitord-simulator
state=/var/lib/systemd/deb-systemd-helper-enabled
printf '%s\n' /etc/default/quorvamonitord "$link" "$state/quorvamonitord.service.dsh-also" \
    "$state/multi-user.target.wants/quorvamonitord.service" "$dropIn" |
    LC_ALL=C sort >"$scratch/expected"
diff -u "$scratch/expected" <(rootFiles) || fail "remove left other files than expected (- expected, + left)"

# Purge removes them too, but not the administrator's drop-in: no other file is left outside
# dpkg's database.
dpkgIn "$root" --purge quorvamonitord quorvamonitord-simulator
[[ "$(rootFiles)" == "$dropIn" ]] || fail "purge left other files than the drop-in: $(rootFiles)"
rm -r "$(dirname "$root$dropIn")"
[[ -z "$(cd "$root" && find . -name '*quorvamonitord*')" ]] ||
    fail "purge left folders behind: $(cd "$root" && find . -name '*quorvamonitord*')"

# An upgrade from a package with the unit in /lib/systemd/system (as 18.5.0 had it) on a
# merged-/usr system, as Debian 12 and 13 are, where the old path and the new one are one file:
# the unit stays, enabled, and dpkg's records match the files.
merged="$scratch/merged"
makeDpkgRoot "$merged"
mkdir -p "$merged/usr/lib"
ln -s usr/lib "$merged/lib"
old="$scratch/old"
dpkg-deb --raw-extract "$(debOf quorvamonitord)" "$old"
mkdir -p "$old/lib/systemd"
mv "$old/usr/lib/systemd/system" "$old/lib/systemd/"
rmdir "$old/usr/lib/systemd"
sed -i 's| usr/lib/systemd/system/| lib/systemd/system/|' "$old/DEBIAN/md5sums"
sed -i "s/^Version: .*/Version: $version~old/" "$old/DEBIAN/control"
dpkg-deb --root-owner-group --build "$old" "$scratch/old.deb" >/dev/null
dpkgIn "$merged" --install "$scratch/old.deb"
systemctl --root="$merged" enable quorvamonitord.service >/dev/null 2>&1 || fail "systemctl --root enable failed"
dpkgIn "$merged" --install "$(debOf quorvamonitord)"
[[ -f "$merged/usr/lib/systemd/system/quorvamonitord.service" ]] ||
    fail "the upgrade from the unit in /lib lost the unit"
[[ -L "$merged$link" ]] || fail "the upgrade from the unit in /lib lost the link that enabled the service"
dpkg --root="$merged" --verify quorvamonitord >"$scratch/verify" 2>&1 ||
    fail "dpkg --verify after the upgrade from the unit in /lib: $(cat "$scratch/verify")"
[[ ! -s "$scratch/verify" ]] || fail "dpkg --verify after the upgrade from the unit in /lib: $(cat "$scratch/verify")"

systemState >"$scratch/state.after"
diff -u "$scratch/state.before" "$scratch/state.after" ||
    fail "installing into the scratch root changed the machine's systemd state"

echo "Debian packages: lintian clean; installed, upgraded to $upgraded and purged in a scratch root;" \
    "upgraded from the unit in /lib on a merged /usr"
