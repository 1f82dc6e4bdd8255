#!/usr/bin/env bash
# Any process holding CAP_NET_ADMIN may send to the daemon's netlink port. One of user 65534 with
# that capability alone, as a network service may run, sends well-formed messages of event types
# 1, 3 and 2 there: no watched service is signalled, the unit stays active with the same daemon,
# registered and not restarted. The module's own notification then still stops both services.
set -uo pipefail
# shellcheck source=tests/vm/lib.sh
source "${QV_VM_TESTS:-$(dirname "$0")}/lib.sh" || exit 1

startTestServices
ensureWatching
daemon=$(mainPid)
before=$(restarts)
acquireMark=$(logSize "$acquireLog")
exporterMark=$(logSize "$exporterLog")
mark=$(logMark)

setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all,+net_admin \
    --ambient-caps=+net_admin python3 - "$daemon" <<'EOF' || fail "the forged messages were not sent"
import os, socket, struct, sys

port = int(sys.argv[1])
capabilities = [l.split()[1] for l in open("/proc/self/status") if l.startswith("CapEff:")][0]
assert os.getresuid() == (65534, 65534, 65534) and int(capabilities, 16) == 1 << 12, capabilities
sender = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, 16)  # NETLINK_GENERIC
for event in (1, 3, 2):
    # Netlink header (length 72, a family's type), generic header, the event attribute (length
    # 52), cookie 0, payload size 0, payload, reserved.
    message = struct.pack("=IHHIIBBHHHQI32sI", 72, 0x1C, 0, 0, 0, 1, 1, 0, 52, event, 0, 0, b"", 0)
    assert sender.sendto(message, (port, 0)) == 72
print(f"ok: uid 65534 with CapEff {capabilities} (CAP_NET_ADMIN) sent event types 1, 3, 2 to port {port}")
EOF

# A message taken would act within milliseconds: a sweep, an exit with 1 or with 0.
deadline=$((SECONDS + 3))
while ((SECONDS < deadline)); do
    unitStatesAre "active running" || fail "the unit left 'active running' after the forged messages"
    [[ "$(mainPid)" == "$daemon" ]] || fail "the daemon was replaced: $daemon, now $(mainPid)"
    sleep 0.2
done
signalsSince "$acquireLog" "$acquireMark" && fail "qv-acquire signalled after the forged messages"
signalsSince "$exporterLog" "$exporterMark" && fail "qv-exporter signalled after the forged messages"
[[ "$(restarts)" == "$before" ]] || fail "NRestarts went from $before to $(restarts)"
registered "$daemon" || fail "the daemon is no longer registered"
logSince "$mark" | grep -q '^unregister' && fail "the daemon unregistered"
ok "no service signalled; daemon $daemon still active, running and registered, NRestarts $before"

acquire=$(livePid "$acquirePid") || fail "qv-acquire not running"
exporter=$(livePid "$exporterPid") || fail "qv-exporter not running"
qvdriversim --kernel notify || fail "qvdriversim --kernel notify"
waitFor 10 "both services signalled by the module's notification" bothSignalled "$acquireMark" "$exporterMark"
ok "the module's notification stopped qv-acquire $acquire and qv-exporter $exporter"
waitFor 20 "both services restarted by systemd" bothRestarted "$acquire" "$exporter"
if [[ "$(mainPid)" != "$daemon" ]] || ! watching; then
    fail "the daemon is not $daemon, active and registered"
fi
ok "daemon $daemon still active and registered"
