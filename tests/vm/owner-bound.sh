#!/usr/bin/env bash
# The owner-bound pid file under the unit's own sandbox. qv-exporter's pid file belongs to the
# service user, in a directory the user owns, so it may name only that user's processes: the
# daemon, confined by the packaged unit (capabilities, system-call filter, no new privileges),
# still stops the service. Links the service user points at /proc/1/stat and at a root process's
# stat file (whose first field is that pid) stop nothing: systemd and the root process stay.
set -uo pipefail
# shellcheck source=tests/vm/lib.sh
source "${QV_VM_TESTS:-$(dirname "$0")}/lib.sh" || exit 1

ensureWatching
daemon=$(mainPid)

# The daemon runs confined as the unit says.
status=$(cat "/proc/$daemon/status")
grep -q '^NoNewPrivs:[[:space:]]*1$' <<<"$status" || fail "the daemon runs without NoNewPrivs"
grep -q '^Seccomp:[[:space:]]*2$' <<<"$status" || fail "the daemon runs without its system-call filter"
grep -q '^CapBnd:[[:space:]]*0*800020$' <<<"$status" ||
    fail "the daemon's bounding set is not CAP_KILL CAP_SYS_NICE: $(grep CapBnd <<<"$status")"
policy=$(awk '{print $41, $18}' "/proc/$daemon/stat")
[[ "$policy" == "1 -99" ]] || fail "the daemon is not at SCHED_FIFO 98 (policy, prio: $policy)"
ok "daemon $daemon: NoNewPrivs 1, Seccomp 2 (filter), CapBnd CAP_KILL+CAP_SYS_NICE, SCHED_FIFO 98"

# The owner-bound pid file.
[[ "$(stat -c %U "$exporterPid")" == qvsvc && "$(stat -c %U "$(dirname "$exporterPid")")" == qvsvc ]] ||
    fail "$exporterPid is not the service user's file in the service user's directory"
exporter=$(livePid "$exporterPid") || fail "qv-exporter not running"
[[ "$(stat -c %U "/proc/$exporter")" == qvsvc ]] || fail "qv-exporter $exporter does not run as qvsvc"
ok "$exporterPid: owned by qvsvc in qvsvc's directory; names $exporter, a qvsvc process"

# Links by the service user: to /proc/1/stat, and to the stat file of a root process.
sleep 600 &
victim=$!
setpriv --reuid=qvsvc --regid=qvsvc --clear-groups ln -sf /proc/1/stat /run/qv-exporter/init.pid ||
    fail "cannot make the link to /proc/1/stat as qvsvc"
setpriv --reuid=qvsvc --regid=qvsvc --clear-groups ln -sf "/proc/$victim/stat" /run/qv-exporter/root.pid ||
    fail "cannot make the link to /proc/$victim/stat as qvsvc"
[[ "$(stat -c %U /run/qv-exporter/init.pid)" == qvsvc ]] || fail "the link is not owned by qvsvc"
ok "links owned by qvsvc: /run/qv-exporter/init.pid -> /proc/1/stat, /run/qv-exporter/root.pid -> /proc/$victim/stat (root's sleep)"

cp /etc/default/quorvamonitord /run/qv-default.saved
restore() {
    cp /run/qv-default.saved /etc/default/quorvamonitord
    rm -f /run/qv-exporter/init.pid /run/qv-exporter/root.pid
    kill "$victim" 2>/dev/null
    systemctl restart --no-block "$unit"
}
trap restore EXIT
sed -i "s|^QUORVAMONITORD_PIDFILES=.*|QUORVAMONITORD_PIDFILES=\"/run/qv-exporter/init.pid /run/qv-exporter/root.pid $exporterPid\"|" \
    /etc/default/quorvamonitord
systemctl restart "$unit" || fail "systemctl restart $unit"
waitFor 30 "the daemon active and registered with the links configured" watching
daemon=$(mainPid)
tr '\0' ' ' <"/proc/$daemon/cmdline" | grep -q "/run/qv-exporter/init.pid /run/qv-exporter/root.pid $exporterPid" ||
    fail "the daemon was not started on the three files: $(tr '\0' ' ' <"/proc/$daemon/cmdline")"

cursor=$(journalMark)
exporterMark=$(logSize "$exporterLog")
sent=$(now)
qvdriversim --kernel notify || fail "qvdriversim --kernel notify"
waitFor 10 "qv-exporter signalled" signalsSince "$exporterLog" "$exporterMark"
read -r tE _ pidE _ <<<"$(signalsSince "$exporterLog" "$exporterMark")"
[[ "$pidE" == "$exporter" ]] || fail "SIGTERM seen by $pidE, expected $exporter"
delay=$(awk -v a="$sent" -v e="$tE" 'BEGIN { printf "%.3f", e - a }')
# The two links were skipped without the one-second pause a signal is followed by.
awk -v d="$delay" 'BEGIN { exit !(d < 0.9) }' || fail "qv-exporter signalled $delay s after the notification"
ok "qv-exporter $exporter got SIGTERM through its owner-bound pid file, $delay s after the notification"

sleep 2
kill -0 "$victim" 2>/dev/null || fail "root's sleep $victim was killed through a qvsvc link"
ok "root's sleep $victim untouched"
# systemd logs "Received SIGTERM from PID ..." and re-executes itself when it gets SIGTERM.
if journalSince "$cursor" _PID=1 | grep -Ei "reexecut|received SIGTERM"; then
    fail "systemd (process 1) received SIGTERM"
fi
ok "systemd (process 1) untouched: no re-execution or SIGTERM in its journal"
unitIs active && [[ "$(mainPid)" == "$daemon" ]] || fail "the daemon ended"
ok "daemon $daemon still active"
