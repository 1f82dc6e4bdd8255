#!/usr/bin/env bash
# `cpack -G DEB` of the current build tree: the packages it makes, their files and their control
# data. Arguments: source directory, build directory, ON when the simulator is built.
# shellcheck source=checkHelpers.sh
source "$(dirname "$0")/checkHelpers.sh"
build=$2 withSimulator=$3
requireTools cpack dpkg dpkg-deb dpkg-shlibdeps

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[[ -n "$version" ]] || fail "no project version in $build/CMakeCache.txt"
arch=$(dpkg --print-architecture)
daemonDeb="quorvamonitord_${version}_${arch}.deb"
simulatorDeb="quorvamonitord-simulator_${version}_${arch}.deb"

(cd "$scratch" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/out") \
    >"$scratch/cpack.log" 2>&1 || fail "cpack -G DEB failed: $(cat "$scratch/cpack.log")"

# Exactly one package per component.
{
    echo "$daemonDeb"
    if [[ "$withSimulator" == ON ]]; then echo "$simulatorDeb"; fi
} | LC_ALL=C sort >"$scratch/expected"
diff -u "$scratch/expected" <(cd "$scratch/out" && find . -maxdepth 1 -name "*.deb" -printf "%f\n" | LC_ALL=C sort) ||
    fail "cpack made other packages than expected (- expected, + made)"

field() {
    dpkg-deb --field "$1" "$2"
}

# The control data every package needs, in the form dpkg expects.
expectControl() {
    local deb=$1 package=$2
    dpkg-deb --info "$deb" >/dev/null || fail "$deb: dpkg-deb cannot read its control data"
    [[ "$(field "$deb" Package)" == "$package" ]] || fail "$deb: Package is '$(field "$deb" Package)'"
    [[ "$(field "$deb" Version)" == "$version" ]] || fail "$deb: Version is '$(field "$deb" Version)'"
    [[ "$(field "$deb" Architecture)" == "$arch" ]] ||
        fail "$deb: Architecture is '$(field "$deb" Architecture)', not $arch"
    [[ "$(field "$deb" Section)" == admin ]] || fail "$deb: Section is '$(field "$deb" Section)'"
    [[ "$(field "$deb" Priority)" == optional ]] || fail "$deb: Priority is '$(field "$deb" Priority)'"
    [[ "$(field "$deb" Maintainer)" =~ ^[^\<]+\ \<[^\>@]+@[^\>]+\>$ ]] ||
        fail "$deb: Maintainer '$(field "$deb" Maintainer)' is not 'Name <address>'"
    [[ -z "$(field "$deb" Homepage)" ]] || fail "$deb: has a Homepage field"

    # Dependencies computed from the executables' libraries, in dpkg's syntax.
    local depends
    depends=$(field "$deb" Depends)
    [[ "$depends" =~ (^|, )libc6\ \(\>=\ [0-9.]+\) ]] || fail "$deb: Depends '$depends' lacks libc6 (>= ...)"
    echo "$depends" | tr ',' '\n' | sed 's/^ *//' | while read -r dependency; do
        [[ "$dependency" =~ ^[a-z0-9][a-z0-9.+-]+(\ \((\>=|=|\<=|\>\>|\<\<)\ [0-9][A-Za-z0-9.+:~-]*\))?$ ]] ||
            fail "$deb: malformed dependency '$dependency'"
    done

    # A one-line synopsis, then an extended description.
    local description synopsis
    description=$(field "$deb" Description)
    synopsis=$(head -n 1 <<<"$description")
    [[ -n "$synopsis" && ${#synopsis} -le 80 ]] || fail "$deb: synopsis '$synopsis' is empty or too long"
    (($(wc -l <<<"$description") >= 2)) || fail "$deb: no extended description"
}

# Files of a package (no directories), as absolute paths, sorted.
packageFiles() {
    dpkg-deb --contents "$1" | awk '$1 !~ /^d/ { print $6 }' | sed 's|^\.||' | LC_ALL=C sort
}

expectFiles() {
    local deb=$1 expected=$2
    diff -u "$expected" <(packageFiles "$deb") >"$scratch/files.diff" ||
        fail "$deb: files differ from the expected ones (- expected, + packaged):
$(cat "$scratch/files.diff")"
    dpkg-deb --contents "$deb" | awk '$2 != "root/root" { exit 1 }' ||
        fail "$deb: has files not owned by root"
}

# The daemon package.
deb="$scratch/out/$daemonDeb"
expectControl "$deb" quorvamonitord
daemonFilesFor /usr >"$scratch/expected"
expectFiles "$deb" "$scratch/expected"
[[ "$(field "$deb" Depends)" != *fuse* ]] || fail "$deb: depends on fuse: $(field "$deb" Depends)"

# The defaults file is a conffile, so upgrades keep the administrator's pid-file list; the
# maintainer scripts are executable shell scripts that parse.
mkdir "$scratch/control"
dpkg-deb --control "$deb" "$scratch/control"
[[ "$(cat "$scratch/control/conffiles")" == /etc/default/quorvamonitord ]] ||
    fail "$deb: conffiles is '$(cat "$scratch/control/conffiles")'"
for script in postinst prerm postrm; do
    [[ -x "$scratch/control/$script" ]] || fail "$deb: no executable $script"
    sh -n "$scratch/control/$script" || fail "$deb: $script does not parse"
done

# The unit inside the package starts the packaged daemon with the packaged defaults file.
mkdir "$scratch/daemon"
dpkg-deb --extract "$deb" "$scratch/daemon"
unit="$scratch/daemon/usr/lib/systemd/system/quorvamonitord.service"
[[ "$(unitValue "$unit" ExecStart)" == "/usr/sbin/quorvamonitord \$QUORVAMONITORD_PIDFILES" ]] ||
    fail "$deb: the unit's ExecStart= is '$(unitValue "$unit" ExecStart)'"
[[ "$(unitValue "$unit" EnvironmentFile)" == "-/etc/default/quorvamonitord" ]] ||
    fail "$deb: the unit's EnvironmentFile= is '$(unitValue "$unit" EnvironmentFile)'"

# Its life with dpkg, in a scratch root (the maintainer scripts leave the running system alone
# when DPKG_ROOT is set): install, upgrade keeping the edited defaults file, remove keeping it,
# purge removing it and the link that enabling the service made.
root="$scratch/dpkgroot"
mkdir -p "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/info"
touch "$root/var/lib/dpkg/status"
dpkgIn() {
    dpkg --root="$root" --force-script-chrootless --force-depends --force-unsafe-io "$@" >>"$scratch/dpkg.log" 2>&1 ||
        fail "dpkg $* failed: $(cat "$scratch/dpkg.log")"
}
installedFiles() {
    (cd "$root" && find . -path ./var -prune -o ! -type d -print | sed 's|^\.||' | LC_ALL=C sort)
}
dpkgIn --install "$deb"
diff -u "$scratch/expected" <(installedFiles) || fail "dpkg installed other files than packaged"
echo 'QUORVAMONITORD_PIDFILES="/run/edited.pid"' >"$root/etc/default/quorvamonitord"
dpkgIn --install "$deb"
grep -q edited "$root/etc/default/quorvamonitord" || fail "an upgrade replaced the edited defaults file"
dpkgIn --remove quorvamonitord
[[ "$(installedFiles)" == /etc/default/quorvamonitord ]] ||
    fail "remove left other files than the defaults file: $(installedFiles)"
mkdir -p "$root/etc/systemd/system/multi-user.target.wants"
ln -s /usr/lib/systemd/system/quorvamonitord.service "$root/etc/systemd/system/multi-user.target.wants/"
dpkgIn --purge quorvamonitord
[[ -z "$(installedFiles)" ]] || fail "purge left files behind: $(installedFiles)"

# The simulator package: the test tool alone, with FUSE.
if [[ "$withSimulator" == ON ]]; then
    deb="$scratch/out/$simulatorDeb"
    expectControl "$deb" quorvamonitord-simulator
    simulatorFilesFor /usr >"$scratch/expected"
    expectFiles "$deb" "$scratch/expected"
    depends=$(field "$deb" Depends)
    [[ "$depends" =~ (^|, )fuse3(,|$) ]] || fail "$deb: Depends '$depends' lacks fuse3"
    [[ "$depends" =~ (^|, )libfuse3-3\  ]] || fail "$deb: Depends '$depends' lacks libfuse3-3"
fi

echo "Debian packages: as expected"
