#!/usr/bin/env bash
# A stray SIGKILL and a stray SIGTERM to the daemon: systemd starts it again each time, and the new
# daemon registers again; the old registration is dropped when its node is closed.
set -uo pipefail
# shellcheck source=tests/vm/lib.sh
source "${QV_VM_TESTS:-$(dirname "$0")}/lib.sh" || exit 1

# A daemon other than OLD is active and registered.
replacedAndWatching() { [[ "$(mainPid)" != "$1" ]] && watching; }

ensureWatching
for signal in KILL TERM; do
    old=$(mainPid)
    before=$(restarts)
    mark=$(logMark)
    kill -s "$signal" "$old" || fail "kill -s $signal $old"
    waitFor 20 "a new daemon after SIG$signal" replacedAndWatching "$old"
    new=$(mainPid)
    after=$(restarts)
    ((after == before + 1)) || fail "NRestarts went from $before to $after"
    ok "SIG$signal to $old: systemd restarted the unit (NRestarts $before -> $after), new daemon $new"
    log=$(logSince "$mark")
    echo "$log" | sed 's/^/module log: /'
    grep -q "^drop port=$old id=$notificationId reason=closed" <<<"$log" ||
        fail "the module did not drop the old registration of port $old"
    grep -q "^register node=/dev/qv0 cookie=0x[0-9a-f]* port=$new id=$notificationId result=ok" <<<"$log" ||
        fail "no registration of port $new in the module's log"
    registered "$old" && fail "port $old still registered"
    ok "module: port $old dropped on close, port $new registered"
done
[[ "$(systemctl show -P Result "$unit")" == success ]] || fail "Result=$(systemctl show -P Result "$unit")"
