#!/usr/bin/env bash
# A driver that comes up late. The machine booted with the unit enabled and the module not loaded:
# the unit waits for the driver, "activating" and never "failed", without holding up the boot,
# and writes one journal line about it. Loaded 30 s after the wait began, the driver is found and
# the daemon registers within 15 s, with no restart on the way.
# Must run first after a boot with tests/vm/setup.sh in place.
set -uo pipefail
# shellcheck source=tests/vm/lib.sh
source "${QV_VM_TESTS:-$(dirname "$0")}/lib.sh" || exit 1

moduleLoaded && fail "the module is loaded already: this scenario needs a fresh boot without it"
[[ "$(systemctl is-enabled "$unit")" == enabled ]] || fail "$unit is not enabled"
[[ "$(systemctl show -P ActiveState multi-user.target)" == active ]] ||
    fail "multi-user.target not reached while the unit waits"
ok "multi-user.target reached with the driver absent (the waiting unit does not hold up the boot)"

waitFor 30 "the unit waiting in its pre-start step" unitStatesAre "activating start-pre"
waitStarted=$(systemctl show -P InactiveExitTimestampMonotonic "$unit")
ok "unit activating (start-pre) since $((waitStarted / 1000000)) s after boot"

# Until 30 s after the wait began: the unit must stay activating, and never be restarted.
while (($(awk '{printf "%d", $1 * 1000000}' /proc/uptime) < waitStarted + 30000000)); do
    state=$(unitState)
    [[ "$state" == activating ]] || fail "the unit left 'activating' while waiting: $state"
    sleep 1
done
[[ "$(restarts)" == 0 ]] || fail "the unit was restarted while waiting: NRestarts=$(restarts)"
ok "still activating 30 s after the wait began, NRestarts=0"

lines=$(journalctl -b -u "$unit" -q --no-pager -o cat)
echo "$lines" | sed 's/^/journal: /'
waiting=$(grep -c "waiting for the qv driver" <<<"$lines")
((waiting == 1)) || fail "expected one 'waiting for the qv driver' line, saw $waiting"
total=$(grep -c . <<<"$lines")
((total <= 3)) || fail "$total journal lines in 30 s of waiting"
ok "journal: one 'waiting for the qv driver' line, $total lines in all while waiting"

loaded=$SECONDS
modprobe qvdrivermod || fail "modprobe qvdrivermod"
waitFor 15 "registration after the driver appeared" watching
ok "driver loaded; daemon $(mainPid) active and registered after $((SECONDS - loaded)) s"
[[ "$(restarts)" == 0 ]] || fail "NRestarts=$(restarts) after the driver appeared"
[[ "$(systemctl show -P Result "$unit")" == success ]] || fail "Result=$(systemctl show -P Result "$unit")"
ok "never failed, never restarted"
journalctl -b -u "$unit" -q --no-pager -o cat | grep -q "the qv driver is present" ||
    fail "no journal line when the driver appeared"
ok "journal: the driver's appearance noted"
