#!/usr/bin/env bash
# The daemon's socket and the kernel as sender. 300 of the module's notifications sent while the
# daemon is stopped all fit in its receive buffer: none dropped. Then user 65534 holding only
# CAP_NET_ADMIN fills that buffer while the daemon is stopped, so the kernel refuses the module's
# next notification (a drop on the daemon's socket, ENOBUFS at its next receive): the unit stays
# active with the same daemon, not restarted, nothing is signalled for the lost notification, and
# the module's notification after it stops both services.
set -uo pipefail
# shellcheck source=tests/vm/lib.sh
source "${QV_VM_TESTS:-$(dirname "$0")}/lib.sh" || exit 1

startTestServices
ensureWatching
daemon=$(mainPid)
before=$(restarts)
trap 'kill -CONT "$daemon" 2>/dev/null' EXIT

# The daemon's socket in /proc/net/netlink (protocol 16, its port is its pid): "Rmem Drops".
socketMemory() { awk -v port="$daemon" '$2 == 16 && $3 == port { print $5, $9 }' /proc/net/netlink; }
socketMemoryIs() { [[ "$(socketMemory)" == "$1" ]]; }
sameDaemon() {
    unitStatesAre "active running" || fail "the unit left 'active running'"
    [[ "$(mainPid)" == "$daemon" && "$(restarts)" == "$before" ]] ||
        fail "the daemon was replaced: $daemon, now $(mainPid), NRestarts $before, now $(restarts)"
}

# The burst, with the services stopped and their pid files gone so that its sweeps are short.
systemctl stop qv-acquire qv-exporter || fail "cannot stop the test services"
rm -f "$acquirePid" "$exporterPid"
kill -STOP "$daemon" || fail "cannot stop the daemon"
for ((i = 0; i < 300; ++i)); do
    qvdriversim --kernel notify >/dev/null || fail "notification $i of the burst not sent"
done
read -r memory drops <<<"$(socketMemory)"
kill -CONT "$daemon"
[[ -n "$memory" ]] || fail "the daemon's socket is not in /proc/net/netlink"
((drops == 0)) || fail "$drops of 300 notifications dropped by the daemon's full socket"
ok "300 notifications queued while the daemon was stopped, none dropped: $memory bytes charged, $((memory / 300)) a message"
waitFor 30 "the burst read" socketMemoryIs "0 0"
sameDaemon

systemctl start qv-acquire qv-exporter || fail "cannot start the test services"
waitFor 30 "both services running" servicesRunning
acquireMark=$(logSize "$acquireLog")
exporterMark=$(logSize "$exporterLog")
kill -STOP "$daemon" || fail "cannot stop the daemon"
setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all,+net_admin \
    --ambient-caps=+net_admin python3 - "$daemon" <<'EOF' || fail "the flood did not fill the socket"
import socket, struct, sys

sender = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, 16)  # NETLINK_GENERIC
message = struct.pack("=IHHIIBBHHHQI32sI", 72, 0x1C, 0, 0, 0, 1, 1, 0, 52, 1, 0, 0, b"", 0)
sent = 0
try:
    while True:
        sender.sendto(message, socket.MSG_DONTWAIT, (int(sys.argv[1]), 0))
        sent += 1
except BlockingIOError:
    pass
assert sent > 0
print(f"ok: uid 65534 with CAP_NET_ADMIN filled the stopped daemon's socket with {sent} messages")
EOF
qvdriversim --kernel notify >/dev/null 2>&1  # refused: the module reports the failed send
read -r _ drops <<<"$(socketMemory)"
kill -CONT "$daemon"
((drops == 1)) || fail "the module's notification was not dropped by the full socket: $drops drops"
ok "the kernel dropped the module's notification at the full socket"

# A daemon that ended on ENOBUFS would have taken its socket along, one that swept would signal
# at once.
waitFor 30 "the flood read by the same daemon" socketMemoryIs "0 1"
sameDaemon
signalsSince "$acquireLog" "$acquireMark" && fail "qv-acquire signalled for the lost notification"
signalsSince "$exporterLog" "$exporterMark" && fail "qv-exporter signalled for the lost notification"
registered "$daemon" || fail "the daemon is no longer registered"
ok "daemon $daemon still active and registered, NRestarts $before, nothing signalled"

qvdriversim --kernel notify || fail "qvdriversim --kernel notify"
waitFor 10 "both services signalled by the module's notification" bothSignalled "$acquireMark" "$exporterMark"
sameDaemon
ok "the module's next notification stopped both services"
