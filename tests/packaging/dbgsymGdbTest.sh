#!/usr/bin/env bash
# The diagnosis recipes on the packaged daemon: installed with its -dbgsym package into a
# scratch root, run on the simulator (from its package) in a private mount namespace.
# - attached to the running daemon, `frame function runDaemon` and `print status` show a healthy
#   record (code 0), and do so only because of the -dbgsym package's debug file;
# - started under gdb against a driver that refuses the registration, a breakpoint on setCode
#   stops at the first error, and the record read in runDaemon afterwards names it.
# Arguments: source directory, folder of the packages.
privateMounts=yes
# shellcheck source=checkHelpers.sh
source "$(dirname "$0")/checkHelpers.sh"
sourceDir=$1 packages=$2
requireTools dpkg dpkg-parsechangelog gdb

version=$(dpkg-parsechangelog -l "$sourceDir/debian/changelog" -S Version)
arch=$(dpkg --print-architecture)
debs=()
for package in quorvamonitord quorvamonitord-dbgsym quorvamonitord-simulator; do
    debs+=("$packages/first/${package}_${version}_$arch.deb")
    [[ -f "${debs[-1]}" ]] || fail "no ${debs[-1]}: run debianPackageBuild first"
done

hideRunningSystem
root="$scratch/root"
makeDpkgRoot "$root"
dpkgIn "$root" --install "${debs[@]}"
daemon="$root/usr/sbin/quorvamonitord"
simulator="$root/usr/bin/qvdriversim"
export QVDRIVERSIM_CONTROL="$scratch/control.sock"

# Stops this script's own children that are still running (jobs -p lists only those not yet
# waited for, so no process id can have been reused).
stopAll() {
    local pid
    for pid in $(jobs -p); do
        kill "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
    rm -rf "$scratch"
}
trap stopAll EXIT

# Starts the packaged simulator at /proc/driver (only this namespace sees it) with a
# configuration file, or its default device without one; waits for "ready".
startSimulator() {
    local args=(serve)
    [[ -z "${1:-}" ]] || args+=(--config "$1")
    "$simulator" "${args[@]}" >"$scratch/simulator.out" 2>&1 &
    simulatorPid=$!
    local _
    for _ in $(seq 200); do
        grep -qx ready "$scratch/simulator.out" && return 0
        sleep 0.05
    done
    fail "the simulator did not start: $(cat "$scratch/simulator.out")"
}

stopSimulator() {
    kill "$simulatorPid"
    wait "$simulatorPid" || fail "the simulator ended with status $?"
}

# gdb with the debug files of the scratch root (or of another folder), no init files.
gdbWith() {
    local debugDir=$1
    shift
    (cd "$scratch" && gdb -nx -iex "set debug-file-directory $debugDir" "$@" </dev/null 2>&1)
}

sleep 300 &
victim=$!
echo "$victim" >"$scratch/victim.pid"

# A healthy daemon, registered and waiting.
startSimulator
"$daemon" "$scratch/victim.pid" &
daemonPid=$!
for _ in $(seq 200); do
    "$simulator" log 2>/dev/null | grep -q '^register .* result=ok' && break
    sleep 0.05
done
"$simulator" log | grep -q '^register .* result=ok' || fail "the packaged daemon did not register"

recipe=(-p "$daemonPid" -batch -ex 'frame function runDaemon' -ex 'print status')
gdbWith "$root/usr/lib/debug" "${recipe[@]}" >"$scratch/attached.txt"
grep -q '^\$1 = {structSize = 216, code = 0, ' "$scratch/attached.txt" ||
    fail "gdb -p did not print a healthy status record: $(cat "$scratch/attached.txt")"
# Without the -dbgsym package's file, the stripped executable gives gdb nothing to go on.
mkdir "$scratch/no-debug"
gdbWith "$scratch/no-debug" "${recipe[@]}" >"$scratch/stripped.txt" || true
! grep -q 'structSize' "$scratch/stripped.txt" ||
    fail "gdb read the status record without the debug file: $(cat "$scratch/stripped.txt")"
grep -q 'No symbol table is loaded' "$scratch/stripped.txt" ||
    fail "gdb without the debug file said: $(cat "$scratch/stripped.txt")"

# Detached again, the daemon still works: the release message ends it with status 0.
"$simulator" release >/dev/null || fail "qvdriversim release failed"
wait "$daemonPid" || fail "the daemon ended with status $? after gdb detached and the release"
stopSimulator

# A failing start: the driver refuses the registration.
printf '%s\n' 'device dev0' 'register-errno EPERM' 'interface morvelkestrak_morvelkestrak\0' \
    >"$scratch/refusing.conf"
startSimulator "$scratch/refusing.conf"
gdbWith "$root/usr/lib/debug" -batch -ex 'break setCode' -ex run -ex bt -ex finish \
    -ex 'frame function runDaemon' -ex 'print status' --args "$daemon" "$scratch/victim.pid" \
    >"$scratch/failing.txt"
grep -q '^Breakpoint 1, .*setCode (.*newCode=newCode@entry=-52008' "$scratch/failing.txt" ||
    fail "gdb did not stop in setCode for the refused registration: $(cat "$scratch/failing.txt")"
grep -q '^#1 .* in .*tIONotification::registerWith ' "$scratch/failing.txt" ||
    fail "the backtrace does not show registerWith: $(cat "$scratch/failing.txt")"
grep -q '^\$[0-9]* = {structSize = 216, code = -52008, component = "quorvamon", file = "protons/io_notification/linuxU/tIONotification.cpp", .* line = [1-9]' \
    "$scratch/failing.txt" || fail "the record does not name the failing site: $(cat "$scratch/failing.txt")"
stopSimulator

kill -0 "$victim" || fail "the victim was signalled, but no notification was sent"
echo "dbgsym: gdb reads the packaged daemon's status record, healthy (code 0) and after a refused registration (-52008)"
