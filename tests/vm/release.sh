#!/usr/bin/env bash
# The driver's release message: the daemon unregisters (the module sees it), exits 0, and the unit
# ends inactive, not failed and not restarted. `systemctl start` makes it watch again.
set -uo pipefail
# shellcheck source=tests/vm/lib.sh
source "${QV_VM_TESTS:-$(dirname "$0")}/lib.sh" || exit 1

ensureWatching
daemon=$(mainPid)
before=$(restarts)
mark=$(logMark)
qvdriversim --kernel release || fail "qvdriversim --kernel release"
waitFor 10 "the unit inactive after the release" unitIs inactive
log=$(logSince "$mark")
echo "$log" | sed 's/^/module log: /'
grep -q "^send port=$daemon event=2 .*result=ok" <<<"$log" || fail "no release message sent to port $daemon"
grep -q "^unregister node=/dev/qv0 arg=$notificationId result=ok" <<<"$log" || fail "the daemon did not unregister"
ok "module: release sent to port $daemon, the daemon unregistered"
registered "$daemon" && fail "port $daemon still registered"

show=
for property in ExecMainStatus ExecMainCode Result SubState; do
    show+="$property=$(systemctl show -P "$property" "$unit") "
done
[[ "$show" == "ExecMainStatus=0 ExecMainCode=1 Result=success SubState=dead " ]] || fail "$show"
ok "unit inactive (dead), Result=success, exit status 0 (CLD_EXITED)"

# Not restarted: watched for twice the restart delay.
delay=$(($(systemctl show -P RestartUSec "$unit" | sed 's/s$//') * 2 + 1))
deadline=$((SECONDS + delay))
while ((SECONDS < deadline)); do
    unitIs inactive || fail "the unit left 'inactive' after the release: $(unitState)"
    sleep 0.5
done
[[ "$(restarts)" == "$before" ]] || fail "NRestarts went from $before to $(restarts)"
ok "still inactive after $delay s, NRestarts $before"

systemctl start --no-block "$unit"
waitFor 30 "the daemon active and registered after systemctl start" watching
ok "systemctl start $unit: daemon $(mainPid) registered again"
