#!/usr/bin/env bash
# The driver goes away while the daemon waits: it sends the release message, as a driver does
# before it unloads, and the module is removed. The daemon exits 0 and the unit stays inactive;
# it does not come back by itself when the driver returns. `systemctl start quorvamonitord`, the
# one command to bring it back, works with the driver still away: the unit waits for it (one
# journal line), and the daemon registers within 15 s of the driver's return.
set -uo pipefail
# shellcheck source=tests/vm/lib.sh
source "${QV_VM_TESTS:-$(dirname "$0")}/lib.sh" || exit 1

ensureWatching
daemon=$(mainPid)
qvdriversim --kernel release || fail "qvdriversim --kernel release"
waitFor 10 "the unit inactive after the release" unitIs inactive
modprobe -r qvdrivermod || fail "modprobe -r qvdrivermod"
waitFor 10 "the driver's procfs tree gone" test ! -e /proc/driver/qv
ok "daemon $daemon released, unit inactive; module removed"

# The driver returns by itself: the unit stays as it is.
modprobe qvdrivermod || fail "modprobe qvdrivermod"
waitFor 10 "the driver's procfs tree back" test -e /proc/driver/qv/dev0/deviceInterfaces
sleep 3
unitIs inactive || fail "the unit started without being asked: $(unitState)"
readPorts
grep "port=" <<<"$portList" && fail "something registered"
ok "driver back; the unit stays inactive until started"

# Away again; started while the driver is away, the unit waits for it.
modprobe -r qvdrivermod || fail "modprobe -r qvdrivermod"
cursor=$(journalMark)
systemctl start --no-block "$unit" || fail "systemctl start $unit"
waitFor 15 "the unit waiting for the driver" unitStatesAre "activating start-pre"
sleep 5
unitStatesAre "activating start-pre" ||
    fail "the unit stopped waiting: $(unitStates)"
waiting=$(journalSince "$cursor" -u "$unit" | grep -c "waiting for the qv driver")
((waiting == 1)) || fail "$waiting 'waiting for the qv driver' lines, expected 1"
ok "systemctl start with the driver away: activating (start-pre), one 'waiting for the qv driver' line"

loaded=$SECONDS
modprobe qvdrivermod || fail "modprobe qvdrivermod"
waitFor 15 "registration after the driver came back" watching
ok "driver back: daemon $(mainPid) registered after $((SECONDS - loaded)) s"
