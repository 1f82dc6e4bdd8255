#!/usr/bin/env bash
# The installed systemd unit: systemd accepts it without a warning, its hardening keeps open what
# the daemon needs and its exposure stays low, and its start condition tells an unconfigured
# service from a configured one.
# Arguments: source directory, build directory, ON when the simulator is built.
# shellcheck source=checkHelpers.sh
source "$(dirname "$0")/checkHelpers.sh"
build=$2
requireTools cmake systemd-analyze python3

root="$scratch/root"
installInto "$build" "$root" /usr daemon
installed="$root/usr/lib/systemd/system/quorvamonitord.service"

# systemd checks that ExecStart= names an executable, so check a copy that points into the
# install; its manual page is looked up there as well (Documentation=man:).
mkdir "$scratch/units"
unit="$scratch/units/quorvamonitord.service"
sed "s|^ExecStart=/usr/sbin/quorvamonitord |ExecStart=$root/usr/sbin/quorvamonitord |" \
    "$installed" >"$unit"
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

echo "systemd unit: $(tail -n 1 "$scratch/security.txt")"
