#!/usr/bin/env bash
# A package upgrade while the daemon watches: the package's maintainer scripts restart the
# daemon, the new one registers again, and the administrator's defaults file is kept. The next
# version is the installed package repacked under a higher version number.
set -uo pipefail
# shellcheck source=tests/vm/lib.sh
source "${QV_VM_TESTS:-$(dirname "$0")}/lib.sh" || exit 1

# A daemon other than OLD is active and registered.
replacedAndWatching() { [[ "$(mainPid)" != "$1" ]] && watching; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

installed=$(dpkg-query -W -f='${Version}' quorvamonitord)
repackNext "$work/next"

ensureWatching
cp /etc/default/quorvamonitord "$work/defaults"
old=$(mainPid)
mark=$(logMark)
dpkg -i "$work"/next/*.deb >"$work/dpkg.log" 2>&1 || fail "dpkg -i: $(tail -n 5 "$work/dpkg.log")"
[[ "$(dpkg-query -W -f='${Version}' quorvamonitord)" == "$next" ]] ||
    fail "version $(dpkg-query -W -f='${Version}' quorvamonitord) after the upgrade, not $next"
waitFor 30 "a new daemon after the upgrade" replacedAndWatching "$old"
new=$(mainPid)
ok "upgrade $installed -> $next: daemon $old replaced by $new, active"
grep -q "^register node=/dev/qv0 cookie=0x[0-9a-f]* port=$new id=$notificationId result=ok" \
    <<<"$(logSince "$mark")" || fail "no registration of port $new in the module's log"
registered "$old" && fail "port $old still registered"
ok "module: port $new registered, port $old gone"
cmp -s /etc/default/quorvamonitord "$work/defaults" || fail "the upgrade changed /etc/default/quorvamonitord"
ok "/etc/default/quorvamonitord kept: $(grep '^QUORVAMONITORD_PIDFILES=' /etc/default/quorvamonitord)"
