#!/usr/bin/env bash
# Builds the Debian packages with scripts/package twice, from two different folders, and fails
# unless every .deb of the two builds is byte-identical; then builds them once more with a
# higher version, for the upgrade check. Leaves first/, second-elsewhere/ and upgrade/ in the
# output folder for the checks that follow.
# Warnings are errors in the presets only: the package build compiles without -Werror, this
# build tree (made by a preset) with it.
# Arguments: source directory, output folder (emptied first), this build tree.
# shellcheck source=checkHelpers.sh
source "$(dirname "$0")/checkHelpers.sh"
sourceDir=$1 out=$2 build=$3
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

# The package build's log shows each compile command (ninja -v): the project's warnings, none
# of them made an error (the distribution's own -Werror=format-security stays).
grep -E ' -c [^ ]+\.cpp$' "$out/first/dpkg-buildpackage.log" >"$scratch/compiles" || true
[[ -s "$scratch/compiles" ]] || fail "the package build's log shows no compile command"
! grep -v -e ' -Wall ' "$scratch/compiles" >"$scratch/bad" ||
    fail "the package build compiled without the project's warnings: $(head -n 3 "$scratch/bad")"
! grep -E ' -Werror( |$)' "$scratch/compiles" >"$scratch/bad" ||
    fail "the package build makes warnings errors: $(head -n 3 "$scratch/bad")"
grep '"command":' "$build/compile_commands.json" >"$scratch/presetCompiles" ||
    fail "no compile command in $build/compile_commands.json"
! grep -v -e ' -Werror ' "$scratch/presetCompiles" >"$scratch/bad" ||
    fail "this build tree compiles without -Werror: $(head -n 3 "$scratch/bad")"

bash "$sourceDir/scripts/package" "$out/upgrade" "$version+1" >"$scratch/package.log" 2>&1 ||
    fail "scripts/package for version $version+1 failed: $(cat "$scratch/package.log")"

echo "Debian packages: $(wc -l <"$scratch/first") packages of version $version, identical from two folders;" \
    "$(wc -l <"$scratch/compiles") compiles without -Werror, $(wc -l <"$scratch/presetCompiles") with it in $build"
