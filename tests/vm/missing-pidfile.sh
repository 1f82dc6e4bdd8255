#!/usr/bin/env bash
# Pid files the daemon will not use, named in the journal with the reason when the unit starts:
# between the two services' files are listed one that is absent, one in a directory its group may
# write to, and a link of the service user's into their FUSE file system, whose server never
# answers. The pre-start step names each, with its reason, and no other; it does not wait on the
# FUSE path (a plain look at it would wait for ever), so the unit reaches active at once. The
# daemon stays silent and still stops the two others. The absent file appearing later changes
# nothing for this run: the process it names is not signalled.
set -uo pipefail
# shellcheck source=tests/vm/lib.sh
source "${QV_VM_TESTS:-$(dirname "$0")}/lib.sh" || exit 1

ensureWatching
absent=/run/qv-absent.pid
staff=/run/qv-staff/main.pid
hang=/run/qv-exporter/hang.pid
fuse=/run/qv-exporter/fuse
rm -f "$absent"
mkdir -p -m 0775 /run/qv-staff && chgrp users /run/qv-staff && chmod 0775 /run/qv-staff || fail "mkdir /run/qv-staff"
sleep 600 &
staffer=$!
echo "$staffer" >"$staff"

# A FUSE file system of qvsvc's that never answers: /dev/fuse is held open and never read, so
# even the kernel's first request waits for ever.
mkdir -p "$fuse" && chown qvsvc: "$fuse"
python3 -c '
import os, subprocess, sys, time
fd = os.open("/dev/fuse", os.O_RDWR)
uid, gid = os.stat(sys.argv[1]).st_uid, os.stat(sys.argv[1]).st_gid
subprocess.run(["mount", "-i", "-t", "fuse", "-o",
                f"fd={fd},rootmode=40000,user_id={uid},group_id={gid},allow_other",
                "qvhang", sys.argv[1]], pass_fds=[fd], check=True)
print("ready", flush=True)
time.sleep(3600)
' "$fuse" >/run/qv-hang.out 2>&1 &
server=$!
waitFor 10 "the FUSE file system mounted" grep -qx ready /run/qv-hang.out
[[ "$(findmnt -n -o FSTYPE "$fuse")" == fuse ]] || fail "no FUSE mount at $fuse"
setpriv --reuid=qvsvc --regid=qvsvc --clear-groups ln -sfn fuse/main.pid "$hang" ||
    fail "cannot make the link as qvsvc"
ok "listed besides the services: $absent (absent), $staff (directory writable by group users), $hang (qvsvc's link into their unanswering FUSE mount)"

cp /etc/default/quorvamonitord /run/qv-default.saved
late=
restore() {
    cp /run/qv-default.saved /etc/default/quorvamonitord
    rm -rf "$absent" /run/qv-staff "$hang"
    [[ -n "$late" ]] && kill "$late" 2>/dev/null
    kill "$staffer" "$server" 2>/dev/null
    umount -l "$fuse" 2>/dev/null
    rmdir "$fuse" 2>/dev/null
    systemctl restart --no-block "$unit"
}
trap restore EXIT
sed -i "s|^QUORVAMONITORD_PIDFILES=.*|QUORVAMONITORD_PIDFILES=\"$acquirePid $absent $staff $hang $exporterPid\"|" \
    /etc/default/quorvamonitord

cursor=$(journalMark)
started=$(now)
timeout 20 systemctl restart "$unit" || fail "systemctl restart $unit did not end within 20 s"
waitFor 30 "the daemon active and registered" watching
took=$(awk -v a="$started" -v e="$(now)" 'BEGIN { printf "%.1f", e - a }')
awk -v t="$took" 'BEGIN { exit !(t < 5) }' || fail "the restart took $took s"
ok "the unit active and the daemon registered $took s after the restart"
daemon=$(mainPid)
lines=$(journalSince "$cursor" -u "$unit")
echo "$lines" | sed 's/^/journal: /'
expectLine() {
    (($(grep -cxF "quorvamonitord: pid file $1" <<<"$lines") == 1)) ||
        fail "the journal does not say, once: pid file $1"
}
expectLine "$absent will be dropped at start-up: $absent does not exist"
expectLine "$staff will be skipped: /run/qv-staff is writable by group users (mode 0775)"
expectLine "$hang will be dropped at start-up: $fuse is on fuse, a file system the daemon does not read"
if grep -E "pid file ($acquirePid|$exporterPid)" <<<"$lines"; then
    fail "the journal names a pid file that is used"
fi
ok "journal: each of the three named once with its reason; the files in use not named"
if journalSince "$cursor" _PID="$daemon" | grep .; then
    fail "the daemon itself wrote to the journal"
fi
ok "the daemon $daemon wrote nothing"

# The absent file appears after start-up, naming a process of root's.
sleep 600 &
late=$!
echo "$late" >"$absent"
acquireMark=$(logSize "$acquireLog")
exporterMark=$(logSize "$exporterLog")
qvdriversim --kernel notify || fail "qvdriversim --kernel notify"
waitFor 10 "both services signalled" bothSignalled "$acquireMark" "$exporterMark"
read -r tA _ <<<"$(signalsSince "$acquireLog" "$acquireMark")"
read -r tE _ <<<"$(signalsSince "$exporterLog" "$exporterMark")"
gap=$(awk -v a="$tA" -v e="$tE" 'BEGIN { printf "%.3f", e - a }')
# One second after the first, as if none of the three files were listed.
awk -v g="$gap" 'BEGIN { exit !(g >= 0.9 && g <= 1.6) }' || fail "the second service was signalled $gap s after the first"
ok "both others stopped, $gap s apart"
kill -0 "$late" 2>/dev/null || fail "the process named by the late file was signalled"
kill -0 "$staffer" 2>/dev/null || fail "the process named in the group-writable directory was signalled"
ok "$absent, created after start-up, not watched: sleep $late untouched; sleep $staffer in $staff untouched"
unitIs active && [[ "$(mainPid)" == "$daemon" ]] || fail "the daemon ended"
