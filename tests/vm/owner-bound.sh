#!/usr/bin/env bash
# The owner-bound pid file under the unit's own sandbox. qv-exporter's pid file belongs to the
# service user, in a directory the user owns, so it may name only that user's processes: the
# daemon, confined by the packaged unit (capabilities, system-call filter, no new privileges),
# still stops the service. Two more pid files of the service user's stop nothing, each held back
# by one rule alone: its link to the stat file of one of its own processes (whose first field is
# that pid; the user may name that process, but procfs is never read), and its file on tmpfs
# naming a process of root's (a file system the daemon reads, but the user may name only its own
# processes). Both processes stay.
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

# The service user's pid files: a link to the stat file of its own process, a file naming root's.
asUser() { setpriv --reuid=qvsvc --regid=qvsvc --clear-groups "$@"; }
sleep 600 &
victim=$!
setpriv --reuid=qvsvc --regid=qvsvc --clear-groups sleep 600 &
own=$!
runsAsUser() { [[ "$(stat -c %U "/proc/$1" 2>/dev/null)" == qvsvc ]]; }
waitFor 5 "the service user's sleep running as qvsvc" runsAsUser "$own"
asUser ln -sf "/proc/$own/stat" /run/qv-exporter/proc.pid || fail "cannot make the link to /proc/$own/stat as qvsvc"
asUser sh -c "echo $victim >/run/qv-exporter/root.pid" || fail "cannot write /run/qv-exporter/root.pid as qvsvc"
[[ "$(stat -c %U /run/qv-exporter/proc.pid) $(stat -c %U /run/qv-exporter/root.pid)" == "qvsvc qvsvc" ]] ||
    fail "the pid files are not qvsvc's"
[[ "$(stat -f -c %T /run/qv-exporter/root.pid)" == tmpfs ]] || fail "/run is not tmpfs"
ok "qvsvc's /run/qv-exporter/proc.pid -> /proc/$own/stat (qvsvc's sleep), /run/qv-exporter/root.pid on tmpfs naming $victim (root's sleep)"

cp /etc/default/quorvamonitord /run/qv-default.saved
restore() {
    cp /run/qv-default.saved /etc/default/quorvamonitord
    rm -f /run/qv-exporter/proc.pid /run/qv-exporter/root.pid
    kill "$victim" "$own" 2>/dev/null
    systemctl restart --no-block "$unit"
}
trap restore EXIT
sed -i "s|^QUORVAMONITORD_PIDFILES=.*|QUORVAMONITORD_PIDFILES=\"/run/qv-exporter/proc.pid /run/qv-exporter/root.pid $exporterPid\"|" \
    /etc/default/quorvamonitord
systemctl restart "$unit" || fail "systemctl restart $unit"
waitFor 30 "the daemon active and registered with the links configured" watching
daemon=$(mainPid)
tr '\0' ' ' <"/proc/$daemon/cmdline" | grep -q "/run/qv-exporter/proc.pid /run/qv-exporter/root.pid $exporterPid" ||
    fail "the daemon was not started on the three files: $(tr '\0' ' ' <"/proc/$daemon/cmdline")"

exporterMark=$(logSize "$exporterLog")
sent=$(now)
qvdriversim --kernel notify || fail "qvdriversim --kernel notify"
waitFor 10 "qv-exporter signalled" signalsSince "$exporterLog" "$exporterMark"
read -r tE _ pidE _ <<<"$(signalsSince "$exporterLog" "$exporterMark")"
[[ "$pidE" == "$exporter" ]] || fail "SIGTERM seen by $pidE, expected $exporter"
delay=$(awk -v a="$sent" -v e="$tE" 'BEGIN { printf "%.3f", e - a }')
# The two files were skipped without the one-second pause a signal is followed by.
awk -v d="$delay" 'BEGIN { exit !(d < 0.9) }' || fail "qv-exporter signalled $delay s after the notification"
ok "qv-exporter $exporter got SIGTERM through its owner-bound pid file, $delay s after the notification"

sleep 2
kill -0 "$own" 2>/dev/null || fail "qvsvc's sleep $own was killed through a link into procfs"
ok "qvsvc's sleep $own untouched: its pid file lies on procfs"
kill -0 "$victim" 2>/dev/null || fail "root's sleep $victim was killed through qvsvc's pid file"
ok "root's sleep $victim untouched: qvsvc may name only its own processes"
unitIs active && [[ "$(mainPid)" == "$daemon" ]] || fail "the daemon ended"
ok "daemon $daemon still active"
