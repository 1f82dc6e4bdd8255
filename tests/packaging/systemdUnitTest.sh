#!/usr/bin/env bash
# The installed systemd unit: systemd accepts it without a warning, its hardening keeps open what
# the daemon needs and its exposure stays low, its start condition tells an unconfigured
# service from a configured one, and its pre-start step waits for a late driver and names, with
# the reason, the pid files the daemon would not use, without waiting on a user's path. Runs in a
# mount namespace of its own, where an empty /proc/driver stands for the driver's tree.
# Arguments: source directory, build directory, ON when the simulator is built.
# shellcheck source=checkHelpers.sh
privateMounts=yes
source "$(dirname "$0")/checkHelpers.sh"
build=$2
requireTools cmake systemd-analyze python3 mount timeout

root="$scratch/root"
installInto "$build" "$root" /usr daemon
installed="$root/usr/lib/systemd/system/quorvamonitord.service"

# systemd checks that ExecStart= and ExecStartPre= name executables, so check a copy that points
# into the install; its manual page is looked up there as well (Documentation=man:).
mkdir "$scratch/units"
unit="$scratch/units/quorvamonitord.service"
sed -e "s|^ExecStart=/usr/sbin/quorvamonitord |ExecStart=$root/usr/sbin/quorvamonitord |" \
    -e "s|^ExecStartPre=-/usr/|ExecStartPre=-$root/usr/|" "$installed" >"$unit"
grep -q "^ExecStart=$root/" "$unit" || fail "the unit has no ExecStart=/usr/sbin/quorvamonitord line"

# Any message, even a warning about an unknown or misspelt setting, fails the check.
MANPATH="$root/usr/share/man" systemd-analyze verify "$unit" >"$scratch/verify.log" 2>&1 ||
    fail "systemd-analyze verify failed: $(cat "$scratch/verify.log")"
[[ ! -s "$scratch/verify.log" ]] || fail "systemd-analyze verify warned: $(cat "$scratch/verify.log")"

# Overall exposure, as systemd rates it (lower is safer).
systemd-analyze security --offline=yes --threshold=30 "$unit" >"$scratch/security.txt" 2>&1 ||
    fail "exposure above 3.0: $(tail -n 1 "$scratch/security.txt")"
systemd-analyze security --offline=yes --json=short "$unit" >"$scratch/security.json" 2>/dev/null ||
    fail "systemd-analyze security --json failed"

# Settings that must stay open, each for something the daemon does.
python3 - "$scratch/security.json" <<'PY' || fail "the hardening takes away something the daemon needs"
import json, sys

entries = {entry["name"]: entry for entry in json.load(open(sys.argv[1]))}
must_stay_open = {
    "RestrictRealtime=": "it switches itself to SCHED_FIFO",
    "CapabilityBoundingSet=~CAP_SYS_(NICE|RESOURCE)": "SCHED_FIFO needs CAP_SYS_NICE",
    "CapabilityBoundingSet=~CAP_KILL": "it signals other users' processes",
    "PrivateDevices=": "it opens the device node",
    "DeviceAllow=": "the node's path is known only at run time",
    "ProtectClock=": "it implies a device allow list that shuts out the node",
    "PrivateNetwork=": "the driver's messages arrive in the host's network namespace",
    "RestrictAddressFamilies=~AF_NETLINK": "it receives on a netlink socket",
    "PrivateUsers=": "signals and ownership checks need the host's users",
    "ProtectProc=": "it looks at /proc/<pid> of every process",
    "ProcSubset=": "it reads /proc/driver",
    "PrivateTmp=": "pid files may live in /tmp",
}
failed = False
for name, reason in must_stay_open.items():
    entry = entries.get(name)
    if entry is None:
        print(f"systemd-analyze no longer rates {name}", file=sys.stderr)
        failed = True
    elif entry["set"]:
        print(f"{name} is restricted, but {reason}", file=sys.stderr)
        failed = True
sys.exit(1 if failed else 0)
PY

# Restarted after every end but exit status 0 and systemctl stop: Restart=on-failure would leave
# a daemon ended by SIGHUP, SIGINT, SIGTERM or SIGPIPE dead, as systemd counts those as clean.
# The start limit still ends a run of failures.
for setting in Restart=always RestartPreventExitStatus=0 RestartSec=5s StartLimitIntervalSec=60 \
    StartLimitBurst=5; do
    [[ "$(grep -c "^${setting%%=*}=" "$installed")" == 1 && "$(unitValue "$installed" "${setting%%=*}")" == "${setting#*=}" ]] ||
        fail "the unit does not set exactly $setting"
done
! grep -q '^\(SuccessExitStatus\|RestartForceExitStatus\)=' "$installed" ||
    fail "the unit changes which ends count as clean; Restart=always covers them"

# The start condition: skipped, with a message, while the pid-file list is empty; met once it
# is set. systemd turns "$$" into "$" before running the command.
condition=$(unitValue "$installed" ExecCondition)
[[ -n "$condition" ]] || fail "the unit has no ExecCondition="
command=${condition//\$\$/\$}
if env QUORVAMONITORD_PIDFILES= bash -c "$command" 2>"$scratch/condition.err"; then
    fail "the start condition passes with no pid files"
fi
grep -q "QUORVAMONITORD_PIDFILES is empty" "$scratch/condition.err" ||
    fail "the start condition gives no reason: $(cat "$scratch/condition.err")"
env QUORVAMONITORD_PIDFILES="/run/a.pid /run/b.pid" bash -c "$command" ||
    fail "the start condition fails with pid files set"

# Waiting for the driver must not hold up the boot, nor time out into the failed state.
for setting in DefaultDependencies=no TimeoutStartSec=infinity Before=shutdown.target \
    Conflicts=shutdown.target Requires=sysinit.target; do
    grep -qx "$setting" "$installed" || fail "the unit does not set $setting"
done

# The pre-start step, against a tree of our own over /proc/driver (this namespace only). It is
# given the installed quorvamonitord-check; "-" marks its end by a stop as no failure.
read -r prestart check <<<"$(unitValue "$installed" ExecStartPre)"
[[ "$check" == /usr/sbin/quorvamonitord-check ]] || fail "the pre-start step is not given the check: $check"
[[ "$prestart" == -/* ]] || fail "the pre-start step's end by a stop counts as a failure: $prestart"
prestart=$root${prestart#-}
[[ -x "$prestart" ]] || fail "the unit's ExecStartPre= is not an installed program"
mount -t tmpfs -o mode=0755 tmpfs /proc/driver || fail "cannot mount a scratch /proc/driver"
echo 1 >"$scratch/present.pid"
mkdir -m 0775 "$scratch/staff" && chgrp 100 "$scratch/staff" && echo 1 >"$scratch/staff/a.pid" ||
    fail "cannot make a group-writable directory"
# A "*" is part of a name, never a pattern: expanded, it would stand for present.pid.
pidFiles="$scratch/present.pid $scratch/missing.pid $scratch/staff/a.pid $scratch/*.pid"

# No driver: one line, then a silent wait that does not end by itself.
if QUORVAMONITORD_PIDFILES=$pidFiles timeout 5 "$prestart" "$root$check" >"$scratch/wait.out" 2>&1; then
    fail "the pre-start step did not wait for the driver: $(cat "$scratch/wait.out")"
fi
[[ "$(grep -c . "$scratch/wait.out")" == 1 ]] && grep -q "waiting for the qv driver" "$scratch/wait.out" ||
    fail "while waiting, the pre-start step wrote: $(cat "$scratch/wait.out")"

# The driver appears during the wait (under the second interface name): the step ends at once,
# naming, with the reason, each pid file the daemon would not use, and only those.
(sleep 3 && mkdir -p '/proc/driver/qv/dev1/deviceInterfaces/morvelpandk_morvelsondrapand\7') &
QUORVAMONITORD_PIDFILES=$pidFiles timeout 20 "$prestart" "$root$check" >"$scratch/late.out" 2>&1 ||
    fail "the pre-start step did not end once the driver appeared: $(cat "$scratch/late.out")"
wait
grep -qx "quorvamonitord: pid file $scratch/missing.pid will be dropped at start-up: $scratch/missing.pid does not exist" \
    "$scratch/late.out" || fail "the missing pid file is not named: $(cat "$scratch/late.out")"
group=$(getent group 100 | cut -d: -f1)
grep -qx "quorvamonitord: pid file $scratch/staff/a.pid will be skipped: $scratch/staff is writable by ${group:+group }${group:-gid 100} (mode 0775)" \
    "$scratch/late.out" || fail "the group-writable pid file is not named: $(cat "$scratch/late.out")"
grep -qxF "quorvamonitord: pid file $scratch/*.pid will be dropped at start-up: $scratch/*.pid does not exist" \
    "$scratch/late.out" || fail "a \"*\" in the list was taken as a pattern: $(cat "$scratch/late.out")"
! grep -q "present.pid" "$scratch/late.out" || fail "a pid file in use is named: $(cat "$scratch/late.out")"

# A user's link into their FUSE file system that never answers: the step, which walks as the
# daemon does, ends at once and names it; a plain look at the path would wait for ever.
hostile="$build/tests/e2e/hostileFileSystem"
[[ -x "$hostile" ]] || fail "no $hostile"
mkdir -m 0755 "$scratch/user" "$scratch/user/fuse" && chown -R 65534 "$scratch/user" ||
    fail "cannot make the user's directory"
ln -s fuse/main.pid "$scratch/user/main.pid" && chown -h 65534 "$scratch/user/main.pid"
coproc server { exec "$hostile" "$scratch/user/fuse" stall 1; }
read -r -t 5 ready <&"${server[0]}" && [[ "$ready" == ready ]] || fail "the FUSE server did not start"
started=$SECONDS
QUORVAMONITORD_PIDFILES="$scratch/user/main.pid" timeout 20 "$prestart" "$root$check" >"$scratch/fuse.out" 2>&1 ||
    fail "the pre-start step did not end on the FUSE path: $(cat "$scratch/fuse.out")"
((SECONDS - started <= 1)) || fail "the pre-start step took $((SECONDS - started)) s on the FUSE path"
grep -q "pid file $scratch/user/main.pid will be dropped at start-up: $scratch/user/fuse is on fuse" "$scratch/fuse.out" ||
    fail "the FUSE path is not named: $(cat "$scratch/fuse.out")"
kill "$server_PID"
umount -l "$scratch/user/fuse"
wait

# A name the daemon does not look for is no driver.
rm -rf /proc/driver/qv && mkdir -p '/proc/driver/qv/dev0/deviceInterfaces/other\0'
if QUORVAMONITORD_PIDFILES=$pidFiles timeout 3 "$prestart" "$root$check" >/dev/null 2>&1; then
    fail "the pre-start step took an unknown interface name for the driver"
fi

echo "systemd unit: $(tail -n 1 "$scratch/security.txt")"
