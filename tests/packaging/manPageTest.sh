#!/usr/bin/env bash
# The manual page: groff finds nothing to warn about, man renders the installed page cleanly with
# the usual sections, the indexers find its NAME line, and it documents every status code the
# program defines and the project's version.
# Arguments: source directory, build directory, ON when the simulator is built.
# shellcheck source=checkHelpers.sh
source "$(dirname "$0")/checkHelpers.sh"
sourceDir=$1 build=$2
requireTools cmake groff man lexgrog

page="$sourceDir/packaging/quorvamonitord.8"

# As groff reads it alone, and with the table preprocessor that man runs for this page.
for options in "-man -ww -z" "-t -man -ww -z"; do
    # shellcheck disable=SC2086
    groff $options "$page" >"$scratch/groff.log" 2>&1 || fail "groff $options failed"
    [[ ! -s "$scratch/groff.log" ]] || fail "groff $options warned: $(cat "$scratch/groff.log")"
done

# The installed, compressed page as a reader gets it, on an 80-column terminal.
installInto "$build" "$scratch/root" /usr daemon
installed="$scratch/root/usr/share/man/man8/quorvamonitord.8.gz"
env -u MAN_KEEP_FORMATTING LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$installed" \
    >"$scratch/rendered" 2>"$scratch/man.log" || fail "man -l failed: $(cat "$scratch/man.log")"
[[ ! -s "$scratch/man.log" ]] || fail "man -l warned: $(cat "$scratch/man.log")"
# Plain text: without overstriking, in case the formatting was kept.
sed 's/.\x08//g' "$scratch/rendered" >"$scratch/page.txt"

for section in NAME SYNOPSIS DESCRIPTION "PID FILES" "EXIT STATUS" SCHEDULING \
    "DRIVER INTERFACE" FILES DIAGNOSTICS EXAMPLES "SEE ALSO"; do
    grep -qx "$section" "$scratch/page.txt" || fail "the rendered page has no $section section"
done
(($(wc -L <"$scratch/page.txt") <= 80)) || fail "the rendered page has lines over 80 columns"

# mandb and apropos index the page by its NAME line.
[[ "$(lexgrog "$installed")" == *': "quorvamonitord - stop recorded processes '* ]] ||
    fail "lexgrog cannot read the NAME line: $(lexgrog "$installed")"

# Every status code the program can record is explained under DIAGNOSTICS.
codes=$(grep -o '= -520[0-9][0-9]' "$sourceDir/status/tStatusRecord.h" | tr -d '= ')
[[ -n "$codes" ]] || fail "no status codes found in status/tStatusRecord.h"
diagnostics=$(sed -n '/^DIAGNOSTICS$/,/^EXAMPLES$/p' "$scratch/page.txt")
for code in $codes; do
    grep -q -- "^ *${code}  " <<<"$diagnostics" || fail "status code $code is not explained"
done

# The header names the project's version.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
grep -q "^\.TH QUORVAMONITORD 8 .* \"quorvamonitord $version\"" "$page" ||
    fail "the page's .TH line does not name version $version"

echo "manual page: renders cleanly"
