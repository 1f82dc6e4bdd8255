#!/usr/bin/env bash
# Automounts on the way to a pid file, under the packaged unit. Root's pid file reached through a
# systemd automount (a mount that takes 1 s) is mounted and used. A link of the service user's
# into another automount, whose mount takes 30 s (a dead server's stand-in), put in place while the
# daemon waits, never makes the daemon wait: the mount is never triggered, and the pid files
# listed after the link are handled within a second of each notification.
set -uo pipefail
# shellcheck source=tests/vm/lib.sh
source "${QV_VM_TESTS:-$(dirname "$0")}/lib.sh" || exit 1

ensureWatching

# A file system whose mount takes WHAT seconds, then is a tmpfs holding a link to root's pid file.
# Each mount it begins is logged.
cat >/sbin/mount.qvslow <<'EOF'
#!/bin/sh
echo "$2" >>/run/qvslow.log
sleep "$1"
mount -t tmpfs -o mode=0755 qvslow "$2" && ln -s /run/qv-acquire.pid "$2/acquire.pid"
EOF
: >/run/qvslow.log
begun() { grep -qx "$1" /run/qvslow.log; }
chmod 0755 /sbin/mount.qvslow
for name in fast slow; do
    seconds=$([[ $name == fast ]] && echo 1 || echo 30)
    mkdir -p "/srv/$name"
    printf '[Mount]\nWhat=%s\nWhere=/srv/%s\nType=qvslow\n' "$seconds" "$name" >"/etc/systemd/system/srv-$name.mount"
    printf '[Automount]\nWhere=/srv/%s\n' "$name" >"/etc/systemd/system/srv-$name.automount"
done
cp /etc/default/quorvamonitord /run/qv-default.saved
restore() {
    cp /run/qv-default.saved /etc/default/quorvamonitord
    rm -f /run/qv-exporter/slow.pid
    systemctl stop srv-fast.automount srv-slow.automount srv-fast.mount srv-slow.mount 2>/dev/null
    rm -f /etc/systemd/system/srv-{fast,slow}.{mount,automount} /sbin/mount.qvslow /run/qvslow.log
    systemctl daemon-reload
    systemctl restart --no-block "$unit"
}
trap restore EXIT
systemctl daemon-reload
systemctl start srv-fast.automount srv-slow.automount || fail "systemctl start the automounts"
[[ "$(findmnt -n -o FSTYPE /srv/slow)" == autofs ]] || fail "/srv/slow is not an automount point"
ok "automount points /srv/fast (its mount takes 1 s) and /srv/slow (30 s)"

# The service user's link starts out at a file of theirs, so it is listed; root's path goes
# through the fast automount.
setpriv --reuid=qvsvc --regid=qvsvc --clear-groups ln -sf main.pid /run/qv-exporter/slow.pid ||
    fail "cannot make the link as qvsvc"
sed -i "s|^QUORVAMONITORD_PIDFILES=.*|QUORVAMONITORD_PIDFILES=\"/run/qv-exporter/slow.pid /srv/fast/acquire.pid $exporterPid\"|" \
    /etc/default/quorvamonitord
systemctl restart "$unit" || fail "systemctl restart $unit"
waitFor 30 "the daemon active and registered" watching
daemon=$(mainPid)
begun /srv/fast && [[ "$(findmnt -n -o FSTYPE /srv/fast | tail -n 1)" == tmpfs ]] ||
    fail "root's path through /srv/fast did not mount it"
ok "daemon $daemon started; root's path mounted /srv/fast ($(findmnt -n -o FSTYPE,SOURCE /srv/fast | tail -n 1))"

# Not with ln, whose look at the target would itself trigger the mount.
setpriv --reuid=qvsvc --regid=qvsvc --clear-groups python3 -c '
import os, sys
os.symlink(sys.argv[1], sys.argv[2] + ".new")
os.rename(sys.argv[2] + ".new", sys.argv[2])
' /srv/slow/acquire.pid /run/qv-exporter/slow.pid || fail "cannot turn the link as qvsvc"
! begun /srv/slow || fail "turning the link began the mount of /srv/slow"
ok "qvsvc's link /run/qv-exporter/slow.pid now points into /srv/slow"

for round in 1 2; do
    acquireMark=$(logSize "$acquireLog")
    exporterMark=$(logSize "$exporterLog")
    sent=$(now)
    qvdriversim --kernel notify || fail "qvdriversim --kernel notify"
    waitFor 10 "both services signalled" bothSignalled "$acquireMark" "$exporterMark"
    read -r tA _ <<<"$(signalsSince "$acquireLog" "$acquireMark")"
    delay=$(awk -v a="$sent" -v e="$tA" 'BEGIN { printf "%.3f", e - a }')
    awk -v d="$delay" 'BEGIN { exit !(d < 1) }' ||
        fail "round $round: root's pid file after the link was handled $delay s after the notification"
    ! begun /srv/slow || fail "round $round: the mount of /srv/slow was begun: $(journalctl -b -q -o cat -u srv-slow.automount | grep -i 'triggered by' | tail -n 1)"
    ok "round $round: qv-acquire signalled $delay s after the notification, /srv/slow never mounted"
    waitFor 30 "both services running again" servicesRunning
done
unitIs active && [[ "$(mainPid)" == "$daemon" ]] || fail "the daemon ended"
ok "daemon $daemon still active"
