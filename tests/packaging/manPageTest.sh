#!/usr/bin/env bash
# The manual pages: groff finds nothing to warn about, man renders each installed page cleanly
# with its sections, the indexers find its NAME line, and each names the project's version; the
# daemon's page documents every status code the program defines.
# Arguments: source directory, build directory, ON when the simulator is built.
# shellcheck source=checkHelpers.sh
source "$(dirname "$0")/checkHelpers.sh"
sourceDir=$1 build=$2 withSimulator=$3
requireTools cmake groff man lexgrog

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
installInto "$build" "$scratch/root" /usr

# checkPage NAME SECTION NAME-LINE-START SECTION-HEADING...: renders packaging/NAME.SECTION and
# its installed copy; leaves the plain text in $scratch/NAME.txt.
checkPage() {
    local name=$1 section=$2 nameLine=$3
    shift 3
    local page="$sourceDir/packaging/$name.$section"
    local installed="$scratch/root/usr/share/man/man$section/$name.$section.gz"

    # With the table preprocessor, which man runs for a page with tables because its first line
    # asks for it (groff 1.23 of Debian 13 warns about the tables when run without it).
    if grep -q '^\.TS' "$page"; then
        [[ "$(head -n 1 "$page")" == "'\\\" t" ]] ||
            fail "$name: a page with tables whose first line does not ask for tbl ('\\\" t)"
    fi
    groff -t -man -ww -z "$page" >"$scratch/groff.log" 2>&1 || fail "$name: groff -t -man -ww -z failed"
    [[ ! -s "$scratch/groff.log" ]] || fail "$name: groff -t -man -ww -z warned: $(cat "$scratch/groff.log")"

    # The installed, compressed page as a reader gets it, on an 80-column terminal.
    env -u MAN_KEEP_FORMATTING LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$installed" \
        >"$scratch/rendered" 2>"$scratch/man.log" || fail "$name: man -l failed: $(cat "$scratch/man.log")"
    [[ ! -s "$scratch/man.log" ]] || fail "$name: man -l warned: $(cat "$scratch/man.log")"
    # Plain text: without overstriking, in case the formatting was kept.
    sed 's/.\x08//g' "$scratch/rendered" >"$scratch/$name.txt"

    local heading
    for heading in "$@"; do
        grep -qx "$heading" "$scratch/$name.txt" || fail "$name: the rendered page has no $heading section"
    done
    (($(wc -L <"$scratch/$name.txt") <= 80)) || fail "$name: the rendered page has lines over 80 columns"

    # mandb and apropos index the page by its NAME line.
    [[ "$(lexgrog "$installed")" == *": \"$nameLine"* ]] ||
        fail "$name: lexgrog cannot read the NAME line: $(lexgrog "$installed")"

    grep -q "^\.TH ${name^^} $section .* \"quorvamonitord $version\"" "$page" ||
        fail "$name: the page's .TH line does not name version $version"
}

checkPage quorvamonitord 8 "quorvamonitord - stop recorded processes " \
    NAME SYNOPSIS DESCRIPTION "PID FILES" "EXIT STATUS" SCHEDULING "DRIVER INTERFACE" FILES \
    DIAGNOSTICS EXAMPLES "SEE ALSO"

checkPage quorvamonitord-check 8 "quorvamonitord-check - say whether quorvamonitord would use " \
    NAME SYNOPSIS DESCRIPTION OPTIONS OUTPUT "EXIT STATUS" EXAMPLES "SEE ALSO"

# Every status code the program can record is explained under DIAGNOSTICS.
codes=$(grep -o '= -520[0-9][0-9]' "$sourceDir/status/tStatusRecord.h" | tr -d '= ')
[[ -n "$codes" ]] || fail "no status codes found in status/tStatusRecord.h"
diagnostics=$(sed -n '/^DIAGNOSTICS$/,/^EXAMPLES$/p' "$scratch/quorvamonitord.txt")
for code in $codes; do
    grep -q -- "^ *${code}  " <<<"$diagnostics" || fail "status code $code is not explained"
done

if [[ "$withSimulator" == ON ]]; then
    checkPage qvdriversim 1 "qvdriversim - simulate the qv device driver " \
        NAME SYNOPSIS DESCRIPTION COMMANDS CONFIGURATION "EXIT STATUS" ENVIRONMENT FILES \
        EXAMPLES "SEE ALSO"
    # Every command in the tool's own usage text is in the synopsis, and the other way round.
    "$build/tools/qvdriversim/qvdriversim" help >"$scratch/usage" || fail "qvdriversim help failed"
    commandsOf() { sed -n 's/^ *qvdriversim \([a-z-]*\).*/\1/p' "$1" | LC_ALL=C sort -u; }
    sed -n '/^SYNOPSIS$/,/^DESCRIPTION$/p' "$scratch/qvdriversim.txt" |
        sed 's/ | /\nqvdriversim /g' >"$scratch/synopsis"
    # help prints the usage text and is not listed in it.
    diff -u <({ commandsOf "$scratch/usage"; echo help; } | LC_ALL=C sort -u) <(commandsOf "$scratch/synopsis") ||
        fail "qvdriversim: the page's synopsis and the usage text name other commands (- usage, + page)"
fi

echo "manual pages: render cleanly"
