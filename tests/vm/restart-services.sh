#!/usr/bin/env bash
# Two services watched by the packaged unit (root's qv-acquire with its pid file in /run, the
# service user's qv-exporter with its pid file in a runtime directory it owns). Each restart
# notification sent by the module stops both, in the configured order, one second apart; systemd
# starts them again; the daemon stays active and registered. Twice in a row.
set -uo pipefail
# shellcheck source=tests/vm/lib.sh
source "${QV_VM_TESTS:-$(dirname "$0")}/lib.sh" || exit 1

ensureWatching
daemon=$(mainPid)
after=$(systemctl show -P After "$unit")
for service in qv-acquire.service qv-exporter.service; do
    [[ " $after " == *" $service "* ]] || fail "$unit is not ordered after $service: $after"
done
grep -qx 'QUORVAMONITORD_PIDFILES="/run/qv-acquire.pid /run/qv-exporter/main.pid"' /etc/default/quorvamonitord ||
    fail "the pid files are not configured in /etc/default/quorvamonitord"
ok "$unit: pid files from /etc/default/quorvamonitord, ordered after qv-acquire and qv-exporter"
readPorts
ok "daemon $daemon active and registered: $(grep "port=$daemon " <<<"$portList")"

for round in 1 2; do
    acquire=$(livePid "$acquirePid") || fail "qv-acquire not running"
    exporter=$(livePid "$exporterPid") || fail "qv-exporter not running"
    acquireMark=$(logSize "$acquireLog")
    exporterMark=$(logSize "$exporterLog")
    mark=$(logMark)

    qvdriversim --kernel notify || fail "qvdriversim --kernel notify"

    waitFor 10 "both services signalled (round $round)" bothSignalled "$acquireMark" "$exporterMark"
    read -r tA nameA pidA _ <<<"$(signalsSince "$acquireLog" "$acquireMark")"
    read -r tE nameE pidE _ <<<"$(signalsSince "$exporterLog" "$exporterMark")"
    [[ "$pidA" == "$acquire" ]] || fail "qv-acquire: SIGTERM seen by $pidA, expected $acquire"
    [[ "$pidE" == "$exporter" ]] || fail "qv-exporter: SIGTERM seen by $pidE, expected $exporter"
    [[ $(signalsSince "$acquireLog" "$acquireMark" | wc -l) == 1 ]] || fail "qv-acquire signalled more than once"
    [[ $(signalsSince "$exporterLog" "$exporterMark" | wc -l) == 1 ]] || fail "qv-exporter signalled more than once"
    gap=$(awk -v a="$tA" -v e="$tE" 'BEGIN { printf "%.3f", e - a }')
    awk -v g="$gap" 'BEGIN { exit !(g >= 0.9 && g <= 1.6) }' ||
        fail "qv-exporter signalled $gap s after qv-acquire, expected about 1 s after it"
    ok "round $round: $nameA $pidA got SIGTERM, then $nameE $pidE $gap s later"

    logSince "$mark" | grep -q "^send port=$daemon event=1 .*result=ok" ||
        fail "the module's log has no notification sent to port $daemon"

    waitFor 20 "both services restarted by systemd (round $round)" bothRestarted "$acquire" "$exporter"
    ok "round $round: systemd restarted both: qv-acquire $(livePid "$acquirePid"), qv-exporter $(livePid "$exporterPid")"

    unitIs active || fail "daemon not active after round $round"
    [[ "$(mainPid)" == "$daemon" ]] || fail "the daemon was replaced: $daemon, now $(mainPid)"
    registered "$daemon" || fail "the daemon is no longer registered"
    ok "round $round: daemon $daemon still active and registered"
done
