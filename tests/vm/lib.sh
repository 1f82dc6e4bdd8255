# shellcheck shell=bash disable=SC2034 # the names are used by the scenarios
# Helpers for the scenarios of tests/vm, sourced by each. They run as root on a machine where the
# packages and the qvdrivermod module are installed and tests/vm/setup.sh has run (see README.md).
# Every wait is a bounded poll; a failed check ends the scenario with exit status 1.

unit=quorvamonitord
notificationId=0x0fe57af7
acquirePid=/run/qv-acquire.pid
exporterPid=/run/qv-exporter/main.pid
acquireLog=/run/qv-acquire.log
exporterLog=/run/qv-exporter/signals.log

fail() {
    echo "FAIL: $*"
    echo "--- $unit: $(unitStates), MainPID $(mainPid), NRestarts $(restarts)"
    journalctl -b -u "$unit" -n 15 --no-pager -o short-monotonic 2>&1 | sed 's/^/--- /'
    if [[ -d /sys/module/qvdrivermod ]]; then
        qvdriversim --kernel ports 2>&1 | sed 's/^/--- ports: /'
        qvdriversim --kernel log 2>&1 | tail -n 10 | sed 's/^/--- log: /'
    fi
    exit 1
}

# Evidence: one line per thing a scenario saw.
ok() { echo "ok: $*"; }

# waitFor SECONDS DESCRIPTION COMMAND...: polls COMMAND every 0.2 s until it succeeds; fails the
# scenario after SECONDS.
waitFor() {
    local limit=$1 what=$2
    shift 2
    local deadline=$((SECONDS + limit))
    until "$@"; do
        ((SECONDS < deadline)) || fail "not within $limit s: $what"
        sleep 0.2
    done
}

now() { date +%s.%N; }

unitState() { systemctl show -P ActiveState "$unit"; }
# "ActiveState SubState", e.g. "activating start-pre".
unitStates() { echo "$(unitState) $(systemctl show -P SubState "$unit")"; }
unitStatesAre() { [[ "$(unitStates)" == "$1" ]]; }
unitIs() { [[ "$(unitState)" == "$1" ]]; }
mainPid() { systemctl show -P MainPID "$unit"; }
restarts() { systemctl show -P NRestarts "$unit"; }

moduleLoaded() { [[ -d /sys/module/qvdrivermod ]]; }

# The module's registrations into $portList, one line per port, as "qvdriversim --kernel ports"
# lists them. A control surface that does not answer fails the scenario: silence must never
# pass for "nothing is registered". Call it in the scenario's own shell, not in $(...) or a
# pipeline, where fail would end only a subshell.
readPorts() {
    portList=$(qvdriversim --kernel ports 2>&1) || fail "qvdriversim --kernel ports: $portList"
}

# True when process PID is registered with the module (the daemon's netlink port is its pid).
registered() {
    readPorts
    grep -q "port=$1 id=$notificationId" <<<"$portList"
}

# The daemon is running and registered.
watching() {
    local pid
    pid=$(mainPid)
    unitIs active && ((pid > 0)) && registered "$pid"
}

# The module's log: logMark prints its line count now, logSince MARK the lines added after it.
driverLog() { qvdriversim --kernel log; }
logMark() { driverLog | wc -l; }
logSince() { driverLog | tail -n "+$(($1 + 1))"; }

# The journal: journalMark prints a cursor, journalSince CURSOR [journalctl options] the entries
# after it, as bare messages.
journalMark() { journalctl --show-cursor -n 0 -q | sed -n 's/^-- cursor: //p'; }
journalSince() {
    local cursor=$1
    shift
    if [[ -n "$cursor" ]]; then
        journalctl -q --no-pager -o cat --after-cursor="$cursor" "$@"
    else
        journalctl -q --no-pager -o cat -b "$@"
    fi
}

# Loads the module and waits for its procfs tree.
loadDriver() {
    moduleLoaded || modprobe qvdrivermod || fail "modprobe qvdrivermod"
    waitFor 10 "the driver's procfs tree" test -e /proc/driver/qv/dev0/deviceInterfaces
}

# Brings the system to where most scenarios start: the driver loaded, both services running with
# their pid files, the daemon active and registered.
# Starts the watched test services, preparing the machine first when a scenario is given alone
# to scripts/vm-test (which then has not run setup.sh).
startTestServices() {
    if [[ ! -f /etc/systemd/system/qv-acquire.service ]]; then
        bash "${QV_VM_TESTS:-$(dirname "$0")}/setup.sh" >/dev/null || fail "tests/vm/setup.sh"
    fi
    systemctl start qv-acquire qv-exporter || fail "cannot start the test services"
}

ensureWatching() {
    loadDriver
    waitFor 30 "both services running" servicesRunning
    if ! unitIs active; then
        systemctl reset-failed "$unit" 2>/dev/null || true
        systemctl start --no-block "$unit" || fail "systemctl start $unit"
    fi
    waitFor 30 "the daemon active and registered" watching
}

# The pid in a pid file, if the process it names runs.
livePid() {
    local pid
    pid=$(cat "$1" 2>/dev/null) || return 1
    [[ "$pid" =~ ^[0-9]+$ ]] && kill -0 "$pid" 2>/dev/null && echo "$pid"
}

servicesRunning() {
    systemctl is-active -q qv-acquire qv-exporter && livePid "$acquirePid" >/dev/null &&
        livePid "$exporterPid" >/dev/null
}

# The SIGTERM lines a service logged after byte offset MARK of its log: "TIME NAME PID SIGTERM".
signalsSince() { tail -c "+$(($2 + 1))" "$1" | grep ' SIGTERM$'; }
logSize() { stat -c %s "$1"; }

# bothSignalled ACQUIREMARK EXPORTERMARK: both services logged a SIGTERM after those offsets.
bothSignalled() {
    signalsSince "$acquireLog" "$1" >/dev/null && signalsSince "$exporterLog" "$2" >/dev/null
}

# repackNext DIR: the installed packages (the daemon, and its -dbgsym, whose version must match)
# repacked under the next version into DIR/*.deb; sets $next. They come from scripts/vm-test's
# share, else from the machine's apt sources (as under autopkgtest).
repackNext() {
    local out=$1 installed package debs deb built tree=$1/tree
    installed=$(dpkg-query -W -f='${Version}' quorvamonitord) || fail "quorvamonitord is not installed"
    next="$installed+vmtest1"
    mkdir -p "$tree"
    for package in quorvamonitord quorvamonitord-dbgsym; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || continue
        debs=("${QV_VM_TESTS:-$(dirname "${BASH_SOURCE[0]}")}/../../debs/${package}_"*.deb)
        deb=${debs[0]}
        if [[ ! -f "$deb" ]]; then
            mkdir -p "$out/download"
            (cd "$out/download" && apt-get download "$package" >"$out/download.log" 2>&1) ||
                fail "no $package package to repack: $(tail -n 3 "$out/download.log")"
            debs=("$out/download/${package}_"*.deb)
            deb=${debs[0]}
        fi
        built=$(dpkg-deb -f "$deb" Version)
        dpkg-deb -R "$deb" "$tree/$package" || fail "dpkg-deb -R $deb"
        sed -i -e "s/^Version: .*/Version: $next/" -e "s/(= $built)/(= $next)/" "$tree/$package/DEBIAN/control"
        dpkg-deb -b "$tree/$package" "$out/$package.deb" >/dev/null || fail "dpkg-deb -b $package"
    done
    rm -rf "$tree" "$out/download"
}

# bothRestarted ACQUIRE EXPORTER: both services run again, under pids other than those.
bothRestarted() {
    local a e
    a=$(livePid "$acquirePid") && e=$(livePid "$exporterPid") && [[ "$a" != "$1" && "$e" != "$2" ]]
}
