#!/usr/bin/env bash
# A pid file missing at start-up. With a third, absent pid file listed between the two services'
# files, the journal names it once when the unit starts (and names no other); the daemon stays
# silent and still stops the two others. The file appearing later changes nothing for this run:
# the process it names is not signalled.
set -uo pipefail
# shellcheck source=tests/vm/lib.sh
source "${QV_VM_TESTS:-$(dirname "$0")}/lib.sh" || exit 1

ensureWatching
absent=/run/qv-absent.pid
rm -f "$absent"
cp /etc/default/quorvamonitord /run/qv-default.saved
late=
restore() {
    cp /run/qv-default.saved /etc/default/quorvamonitord
    rm -f "$absent"
    [[ -n "$late" ]] && kill "$late" 2>/dev/null
    systemctl restart --no-block "$unit"
}
trap restore EXIT
sed -i "s|^QUORVAMONITORD_PIDFILES=.*|QUORVAMONITORD_PIDFILES=\"$acquirePid $absent $exporterPid\"|" \
    /etc/default/quorvamonitord

cursor=$(journalMark)
systemctl restart "$unit" || fail "systemctl restart $unit"
waitFor 30 "the daemon active and registered" watching
daemon=$(mainPid)
lines=$(journalSince "$cursor" -u "$unit")
echo "$lines" | sed 's/^/journal: /'
named=$(grep -c "pid file $absent .*not watched" <<<"$lines")
((named == 1)) || fail "the journal names $absent $named times, expected once"
if grep -E "pid file ($acquirePid|$exporterPid)" <<<"$lines"; then
    fail "the journal names a pid file that exists"
fi
ok "journal: '$(grep "pid file $absent" <<<"$lines")', once; the present files not named"
if journalSince "$cursor" _PID="$daemon" | grep .; then
    fail "the daemon itself wrote to the journal"
fi
ok "the daemon $daemon wrote nothing"

# The file appears after start-up, naming a process of root's.
sleep 600 &
late=$!
echo "$late" >"$absent"
acquireMark=$(logSize "$acquireLog")
exporterMark=$(logSize "$exporterLog")
qvdriversim --kernel notify || fail "qvdriversim --kernel notify"
waitFor 10 "both services signalled" bothSignalled "$acquireMark" "$exporterMark"
read -r tA _ <<<"$(signalsSince "$acquireLog" "$acquireMark")"
read -r tE _ <<<"$(signalsSince "$exporterLog" "$exporterMark")"
gap=$(awk -v a="$tA" -v e="$tE" 'BEGIN { printf "%.3f", e - a }')
# One second after the first, as if the dropped file were not listed.
awk -v g="$gap" 'BEGIN { exit !(g >= 0.9 && g <= 1.6) }' || fail "the second service was signalled $gap s after the first"
ok "both others stopped, $gap s apart"
kill -0 "$late" 2>/dev/null || fail "the process named by the late file was signalled"
ok "$absent, created after start-up, not watched: sleep $late untouched"
unitIs active && [[ "$(mainPid)" == "$daemon" ]] || fail "the daemon ended"
