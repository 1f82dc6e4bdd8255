#!/usr/bin/env bash
# Package upgrade, removal and installation while the driver is away and the enabled unit waits
# for it: dpkg returns within a minute each time (the maintainer scripts never wait for the
# driver). After the upgrade the unit waits on, in a pre-start step of the new version, and the
# daemon registers once the driver is back.
set -uo pipefail
# shellcheck source=tests/vm/lib.sh
source "${QV_VM_TESTS:-$(dirname "$0")}/lib.sh" || exit 1

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
repackNext "$work/next"

# The driver goes away (released first, so that the module can be unloaded) and the unit is
# started: it waits for the driver. (The unit's start limit, five starts a minute, is reset
# first: this scenario and the one before it start the unit more often than that.)
awaitDriverAway() {
    ensureWatching
    qvdriversim --kernel release || fail "qvdriversim --kernel release"
    waitFor 10 "the unit inactive after the release" unitIs inactive
    modprobe -r qvdrivermod || fail "modprobe -r qvdrivermod"
    systemctl reset-failed "$unit"
    systemctl start --no-block "$unit" || fail "systemctl start $unit"
    waitFor 15 "the unit waiting for the driver" unitStatesAre "activating start-pre"
}

# dpkgWithin WHAT ARGUMENTS...: dpkg with those arguments ends well within a minute.
dpkgWithin() {
    local what=$1 started=$SECONDS status
    shift
    timeout -k 5 60 dpkg "$@" >"$work/dpkg.log" 2>&1
    status=$?
    ((status != 124)) || fail "$what: dpkg still running after 60 s: $(tail -n 5 "$work/dpkg.log")"
    ((status == 0)) || fail "$what: dpkg exit status $status: $(tail -n 5 "$work/dpkg.log")"
    ok "$what with the driver away: dpkg done in $((SECONDS - started)) s"
}

awaitDriverAway
waiting=$(systemctl show -P ControlPID "$unit")
dpkgWithin "upgrade to $next" -i "$work"/next/*.deb
[[ "$(dpkg-query -W -f='${Version}' quorvamonitord)" == "$next" ]] ||
    fail "version $(dpkg-query -W -f='${Version}' quorvamonitord) after the upgrade, not $next"
restarted() { unitStatesAre "activating start-pre" && [[ "$(systemctl show -P ControlPID "$unit")" != "$waiting" ]]; }
waitFor 15 "the unit waiting again, in a new pre-start step" restarted
ok "unit restarted by the upgrade: waiting for the driver in pre-start step $(systemctl show -P ControlPID "$unit"), was $waiting"
loaded=$SECONDS
loadDriver
waitFor 15 "registration after the driver came back" watching
ok "driver back: daemon $(mainPid) registered after $((SECONDS - loaded)) s"

awaitDriverAway
dpkgWithin "removal" -r quorvamonitord-dbgsym quorvamonitord
unitIs inactive || fail "the unit is $(unitState) after the removal"
dpkgWithin "installation" -i "$work"/next/*.deb
unitIs inactive || fail "the installation started the unit: $(unitState)"
ok "removal stopped the waiting unit; installation left it stopped"
