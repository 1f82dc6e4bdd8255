#!/usr/bin/env bash
# The kernel-side driver stand-in on its own, with the daemon started by hand (the unit stopped):
# its procfs tree and node, the exact message layout seen by a receiver of our own, the
# registrations and their log, a refused registration, the release, removing and adding the
# device while a daemon waits, and unloading. The last of the scenarios; on its own:
# bash scripts/vm-test tests/vm/qvdrivermod.sh
set -uo pipefail
source "${QV_VM_TESTS:-$(dirname "$0")}/lib.sh"

tree=/proc/driver/qv/dev0/deviceInterfaces
interfacePath="$tree/morvelkestrak_morvelkestrak\\0/interfacePath"
work=/run/qvdrivermod-test
mkdir -p "$work"

# Nothing else may hold a registration: the packaged unit stays stopped here, and the module
# starts afresh (after the scenarios it is still loaded; the stopped daemon no longer holds it).
systemctl stop "$unit" 2>/dev/null || true
if moduleLoaded; then
    modprobe -r qvdrivermod || fail "cannot unload the module left loaded before the test"
fi

# --- Loading: the tree, its content and the node ------------------------------------------------
modprobe qvdrivermod || fail "modprobe qvdrivermod"
[[ -f "$interfacePath" ]] || fail "no $interfacePath"
[[ "$(stat -f -c %T /proc/driver/qv)" == proc ]] || fail "/proc/driver/qv is not procfs"
content=$(od -An -c "$interfacePath" | tr -s ' ')
[[ "$(cat "$interfacePath")" == /dev/qv0 && "$(head -c 100 "$interfacePath" | wc -c)" == 8 ]] ||
    fail "interfacePath holds '$content', not the 8 bytes /dev/qv0"
matches=$(ls -d /proc/driver/qv/*/deviceInterfaces/morvelkestrak_morvelkestrak\\* 2>/dev/null)
[[ "$matches" == "$tree/morvelkestrak_morvelkestrak\\0" ]] || fail "the daemon's pattern matches '$matches'"
ok "procfs: $interfacePath holds exactly /dev/qv0 (8 bytes, no newline)"
[[ -c /dev/qv0 && "$(stat -c '%a %U %G' /dev/qv0)" == "600 root root" ]] ||
    fail "/dev/qv0: $(stat -c '%F %a %U %G' /dev/qv0 2>&1)"
ok "node: /dev/qv0, character device, 600 root root"
readPorts
[[ "$portList" == "no port is registered" ]] || fail "registrations before anyone registered: $portList"

# --- The messages, requests and registrations, through a receiver of our own ---------------------
python3 -u - <<'EOF' || fail "the receiver's checks"
import errno, fcntl, os, re, socket, struct

NODE, ID, COOKIE = "/dev/qv0", 0x0FE57AF7, 0xC0FFEE0012345678
REGISTER, UNREGISTER = 0x4010FF00, 0xFF01
failed = []

def check(good, what):
    print(("ok: " if good else "FAIL: ") + what)
    if not good:
        failed.append(what)

def ctl(command):
    return os.waitstatus_to_exitcode(os.system("qvdriversim --kernel " + command + " >/dev/null"))

def log():
    with open("/sys/kernel/debug/qvdrivermod/log") as f:
        return f.read().splitlines()

def errno_of(call):
    try:
        call()
    except OSError as e:
        return e.errno
    return 0

def register(fd, port, cookie=COOKIE):
    return fcntl.ioctl(fd, REGISTER, struct.pack("=QII", cookie, port, ID))

sock = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, 16)  # NETLINK_GENERIC
sock.bind((0, 0))
sock.settimeout(5)
port = sock.getsockname()[0]
node = os.open(NODE, os.O_RDWR | os.O_CLOEXEC)
register(node, port)
check(f"port={port} id=0x0fe57af7 cookie=0x{COOKIE:016x} node=/dev/qv0" in
      open("/sys/kernel/debug/qvdrivermod/ports").read(), "registration listed by ports")

def write_to(path, data):
    fd = os.open(path, os.O_WRONLY)
    try:
        os.write(fd, data)
    finally:
        os.close(fd)

for name in ("ports", "log"):
    check(errno_of(lambda: write_to("/sys/kernel/debug/qvdrivermod/" + name, b"remove\n")) != 0
          and os.path.exists(NODE), f"{name} runs no command: writing remove into it fails, the node stays")

def receive(command, event, cookie, size, payload):
    check(ctl(command) == 0, command)
    m = sock.recv(512)
    check(len(m) == 72, f"{command}: one datagram of 72 bytes (got {len(m)})")
    m = m.ljust(72, b"\0")
    length, nltype, flags, seq, sender = struct.unpack_from("=IHHII", m, 0)
    gcmd, version, alen, atype, acookie, asize = struct.unpack_from("=BBxxHHQI", m, 16)
    sent = [l for l in log() if l.startswith(f"send port={port} ") and f" seq={seq} " in l]
    check(len(sent) == 1 and f"nltype=0x{nltype:04x} length=72 " in sent[0],
          f"{command}: the log names sequence {seq} and netlink type 0x{nltype:04x}")
    check(length == 72 and sender == 0 and flags == 0 and nltype >= 16,
          f"{command}: nlmsg_len 72, nlmsg_pid 0, flags 0, type 0x{nltype:04x} (the family's, not 1..4)")
    check((gcmd, version, alen) == (1, 1, 52), f"{command}: command 1, version 1, attribute length 52")
    check((atype, acookie, asize) == (event, cookie, size),
          f"{command}: event type {atype}, cookie 0x{acookie:x}, payload size {asize}")
    check(m[36:68] == payload.ljust(32, b"\0") and m[68:72] == bytes(4),
          f"{command}: payload {m[36:68].hex()} and reserved bytes zero")
    return nltype

family = receive("notify --payload a1b2c3", 1, COOKIE, 3, bytes.fromhex("a1b2c3"))
check(receive("send --event 7 --payload-size 40 --cookie 0x55", 7, 0x55, 40, b"") == family,
      "every message has the same netlink type")
receive("release --payload " + "ff" * 32, 2, COOKIE, 32, b"\xff" * 32)
check(ctl("send --event 1 --nltype 2") == 1 and ctl("send --hex 00") == 1,
      "--nltype and --hex refused by the module")

def block(request, insize, outsize):
    buf = bytearray(struct.pack("=QQIIQ", 0x1000, 0x2000, insize, outsize, 0))
    fcntl.ioctl(node, request, buf, True)
    return struct.unpack_from("=Q", buf, 24)[0]

check(block(0xC020FF02, 1, 2) == 0x1122334455667788, "0xC020FF02 fills the result field")
check(block(0xC020FF04, 5, 9) == (5 << 32) | 9, "0xC020FF04 echoes the sizes")
check(errno_of(lambda: block(0xC020FF03, 0, 0)) == errno.EIO, "0xC020FF03 fails with EIO")
check(errno_of(lambda: fcntl.ioctl(node, 0xC020FF05, bytearray(32))) == errno.ENOTTY,
      "an unknown request fails with ENOTTY")
check("ioctl node=/dev/qv0 request=0xc020ff04 input=0x1000 input-size=5 output=0x2000 "
      "output-size=9 result=ok value=0x0000000500000009" in log(), "block request logged")

other = os.open(NODE, os.O_RDWR | os.O_CLOEXEC)
check(errno_of(lambda: fcntl.ioctl(other, UNREGISTER, ID)) == errno.ENOENT,
      "unregister through another open file: ENOENT")
check(fcntl.ioctl(node, UNREGISTER, ID) == 0, "unregister through the registering file")
check(errno_of(lambda: fcntl.ioctl(node, UNREGISTER, ID)) == errno.ENOENT, "second unregister: ENOENT")
register(other, port, 9)
os.close(other)
check(f"drop port={port} id=0x0fe57af7 reason=closed" in log()
      and ctl("ports") == 0 and ctl("notify") == 1, "close drops the registration; nothing to send to")

# A registrant in a network namespace of its own gets the message there, and whoever holds the
# same port number in this namespace (sock) gets nothing.
RECEIVER = """
import fcntl, os, socket, struct, sys
port = int(sys.argv[1])
s = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, 16)
s.bind((port, 0))
s.settimeout(5)
node = os.open("/dev/qv0", os.O_RDWR)
fcntl.ioctl(node, 0x4010FF00, struct.pack("=QII", 0x77, port, 0x0FE57AF7))
print("ready", flush=True)
print(len(s.recv(512)), flush=True)
"""
r, w = os.pipe()
child = os.fork()
if child == 0:
    os.dup2(w, 1)
    os.execvp("unshare", ["unshare", "--net", "python3", "-c", RECEIVER, str(port)])
os.close(w)
replies = os.fdopen(r)
check(replies.readline().strip() == "ready", "a receiver in a network namespace of its own registered")
check(ctl("notify") == 0, "notify to the receiver in the other namespace")
def arrives(s, seconds):
    s.settimeout(seconds)
    try:
        s.recv(512)
        return True
    except TimeoutError:
        return False
    finally:
        s.settimeout(5)

check(not arrives(sock, 1), "nothing arrives at the same port number here")
check(replies.readline().strip() == "72", "the receiver in its own namespace got the 72-byte message")
os.waitpid(child, 0)
replies.close()

# Removing the device: files still open answer ENODEV, also after it is added back.
stale = os.open(NODE, os.O_RDWR | os.O_CLOEXEC)
register(stale, port, 10)
check(ctl("remove") == 0 and not os.path.exists(NODE) and not os.path.exists("/proc/driver/qv"),
      "remove: node and tree gone")
check(f"drop port={port} id=0x0fe57af7 reason=removed" in log(), "remove drops the registrations")
check(ctl("remove") == 1, "a second remove is refused")
check(errno_of(lambda: register(stale, port)) == errno.ENODEV, "a file left open: ENODEV")
check(ctl("add") == 0 and os.path.exists(NODE) and os.path.exists("/proc/driver/qv/dev0"),
      "add: node and tree back")
check(ctl("add") == 1, "a second add is refused")
check(errno_of(lambda: register(stale, port)) == errno.ENODEV, "a file left open before the add: ENODEV")
os.close(stale)
os.close(node)
raise SystemExit(1 if failed else 0)
EOF

# --- The daemon, started by hand -----------------------------------------------------------------
startDaemon() {
    sleep 1000 &
    victim=$!
    echo "$victim" >"$work/victim.pid"
    quorvamonitord "$work/victim.pid" &
    daemon=$!
}
# A process is gone, or a zombie not yet reaped.
ended() { [[ ! -e /proc/$1 || "$(cut -d' ' -f3 "/proc/$1/stat" 2>/dev/null)" == Z ]]; }
# Waits (bounded) for the child PID to end; its exit status goes to $status.
waitExit() {
    waitFor 10 "process $1 ended" ended "$1"
    wait "$1"
    status=$?
}

mark=$(logMark)
startDaemon
waitFor 15 "the daemon registered" registered "$daemon"
log=$(logSince "$mark")
grep -q '^open interfacePath /qv/dev0/deviceInterfaces/morvelkestrak_morvelkestrak\\0/interfacePath flags=0x8000 attempt=[0-9]* result=ok$' <<<"$log" ||
    fail "the daemon's read of interfacePath is not in the log"
grep -q '^open node /dev/qv0 flags=0x8002 attempt=[0-9]* result=ok$' <<<"$log" || fail "no open of the node in the log"
grep -q "^register node=/dev/qv0 cookie=0x[0-9a-f]\{16\} port=$daemon id=$notificationId result=ok$" <<<"$log" ||
    fail "no registration of port $daemon in the log"
readPorts
ok "daemon $daemon: found the tree, opened /dev/qv0, registered port $daemon ($portList)"

qvdriversim --kernel notify >/dev/null || fail "notify"
waitExit "$victim"
[[ $status == 143 ]] || fail "the sleep did not end by SIGTERM"
ended "$daemon" && fail "the daemon ended after a notification"
ok "notify: the sleep ended by SIGTERM; the daemon waits on"

mark=$(logMark)
qvdriversim --kernel release >/dev/null || fail "release"
waitExit "$daemon"
[[ $status == 0 ]] || fail "the daemon's exit status after the release is not 0"
grep -q "^unregister node=/dev/qv0 arg=$notificationId result=ok$" <<<"$(logSince "$mark")" ||
    fail "the daemon did not unregister"
readPorts
[[ "$portList" == "no port is registered" ]] || fail "still registered after the release: $portList"
ok "release: the daemon unregistered and exited 0"
kill "$victim" 2>/dev/null

mark=$(logMark)
qvdriversim --kernel fail-register EPERM >/dev/null || fail "fail-register"
startDaemon
waitExit "$daemon"
[[ $status == 1 ]] || fail "the daemon's exit status after a refused registration is not 1"
grep -q "^register node=/dev/qv0 cookie=0x[0-9a-f]\{16\} port=$daemon id=$notificationId result=EPERM$" <<<"$(logSince "$mark")" ||
    fail "the refusal is not in the log"
ok "fail-register EPERM: the daemon exited 1, the log shows result=EPERM"
kill "$victim" 2>/dev/null

# Remove while the daemon waits: it keeps waiting, unregistered; the module cannot be unloaded
# while it holds the old node open; after add, a new daemon registers.
startDaemon
first=$daemon
waitFor 15 "the daemon registered (after the refusal, count 1)" registered "$first"
mark=$(logMark)
qvdriversim --kernel remove >/dev/null || fail "remove"
[[ ! -e /dev/qv0 && ! -e /proc/driver/qv ]] || fail "node or tree still there after remove"
grep -q "^drop port=$first id=$notificationId reason=removed$" <<<"$(logSince "$mark")" || fail "registration not dropped"
sleep 2
ended "$first" && fail "the daemon ended when the device was removed"
rmmod qvdrivermod 2>/dev/null && fail "the module unloaded while the daemon held /dev/qv0"
ok "remove: node and tree gone, port $first dropped, the daemon waits on, the module stays in use"
qvdriversim --kernel add >/dev/null || fail "add"
waitFor 5 "the tree back" test -f "$interfacePath"
firstVictim=$victim
startDaemon
waitFor 15 "a new daemon registered after add" registered "$daemon"
registered "$first" && fail "the old daemon is registered again"
ok "add: tree and node back; a new daemon $daemon registered, the old one $first not"

kill "$first"
waitExit "$first"
[[ $status == 143 ]] || fail "the old daemon did not end by SIGTERM"
qvdriversim --kernel release >/dev/null || fail "release"
waitExit "$daemon"
[[ $status == 0 ]] || fail "the new daemon's exit status after the release is not 0"
kill "$victim" "$firstVictim" 2>/dev/null

# --- Unloading --------------------------------------------------------------------------------------
rmmod qvdrivermod || fail "rmmod qvdrivermod after the daemons ended"
[[ ! -e /sys/module/qvdrivermod && ! -e /dev/qv0 && ! -e /proc/driver/qv && ! -e /sys/kernel/debug/qvdrivermod ]] ||
    fail "something left after unloading"
qvdriversim --kernel ports >/dev/null 2>&1 && fail "the control file answers after unloading"
ok "rmmod: module, node, tree and control files gone"
# The scenarios' helpers never take the silence of a control surface that is gone for "nothing
# registered": registered ends the scenario instead of answering false.
went=$(registered 1; echo "went on")
[[ "$went" == *"FAIL: qvdriversim --kernel ports"* && "$went" != *"went on"* ]] ||
    fail "registered went on without the control surface: $went"
ok "without the control surface, registered fails the scenario"
if dmesg | grep -E 'WARNING:|BUG:|Oops|general protection|Call Trace'; then
    fail "the kernel log has the lines above"
fi
ok "kernel log: no warning, bug or oops"
