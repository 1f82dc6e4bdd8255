#!/usr/bin/env bash
# Builds the Debian packages with scripts/package twice, from two different folders, and fails
# unless every .deb of the two builds is byte-identical; then builds them once more with a
# higher version, for the upgrade check. Leaves first/, second-elsewhere/ and upgrade/ in the
# output folder for the checks that follow.
# Arguments: source directory, output folder (emptied first).
# shellcheck source=checkHelpers.sh
source "$(dirname "$0")/checkHelpers.sh"
sourceDir=$1 out=$2
requireTools dpkg-buildpackage dh dpkg-parsechangelog cmake ninja pkg-config

rm -rf "$out"
mkdir -p "$out"
version=$(dpkg-parsechangelog -l "$sourceDir/debian/changelog" -S Version)

for copy in first second-elsewhere; do
    bash "$sourceDir/scripts/package" "$out/$copy" >"$scratch/package.log" 2>&1 ||
        fail "scripts/package failed: $(cat "$scratch/package.log")"
done

# Both builds make the same packages, byte for byte.
(cd "$out/first" && ls -- *.deb) >"$scratch/first"
(cd "$out/second-elsewhere" && ls -- *.deb) >"$scratch/second"
diff -u "$scratch/first" "$scratch/second" || fail "the two builds made different sets of packages"
[[ -s "$scratch/first" ]] || fail "the build made no package"
while read -r deb; do
    cmp "$out/first/$deb" "$out/second-elsewhere/$deb" ||
        fail "$deb differs between two builds from different folders"
done <"$scratch/first"

bash "$sourceDir/scripts/package" "$out/upgrade" "$version+1" >"$scratch/package.log" 2>&1 ||
    fail "scripts/package for version $version+1 failed: $(cat "$scratch/package.log")"

echo "Debian packages: $(wc -l <"$scratch/first") packages of version $version, identical from two folders"
