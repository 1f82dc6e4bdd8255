#!/usr/bin/env bash
# Prepares the machine for the scenarios, before a reboot: two services that write pid files and
# log every SIGTERM they receive, the daemon configured to watch them in
# /etc/default/quorvamonitord, ordered after them by a drop-in, and enabled. The qvdrivermod
# module is installed but not loaded at boot, so the scenarios start with the unit waiting for
# the driver. Run as root, once, with the packages and the module installed.
set -euo pipefail

# A service user for the second service.
id qvsvc >/dev/null 2>&1 || useradd --system --no-create-home --shell /usr/sbin/nologin qvsvc

# The service program: logs its start and each SIGTERM with the time it arrived, then ends by
# that signal. Python, so that the time is taken in the handler of a process that is already
# running (a shell's trap would fork date first, which blurs the one-second spacing).
cat >/usr/local/bin/qv-service <<'EOF'
#!/usr/bin/python3
"""qv-service NAME LOG: a test service that logs its start and the SIGTERM it receives."""
import os
import signal
import sys
import time

name, log = sys.argv[1], sys.argv[2]


def record(when, what):
    with open(log, "a", encoding="ascii") as out:
        out.write(f"{when:.6f} {name} {os.getpid()} {what}\n")


def on_term(signum, frame):
    record(time.time(), "SIGTERM")
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    os.kill(os.getpid(), signal.SIGTERM)


signal.signal(signal.SIGTERM, on_term)
record(time.time(), "start")
while True:
    signal.pause()
EOF
chmod 0755 /usr/local/bin/qv-service

# Root's service: its pid file in /run, written by root.
cat >/etc/systemd/system/qv-acquire.service <<'EOF'
[Unit]
Description=Test service run by root

[Service]
Type=exec
ExecStart=/usr/local/bin/qv-service qv-acquire /run/qv-acquire.log
ExecStartPost=/bin/sh -c 'echo $MAINPID > /run/qv-acquire.pid'
Restart=always
RestartSec=500ms

[Install]
WantedBy=multi-user.target
EOF

# The service user's service: its pid file in a runtime directory it owns, written as that user.
cat >/etc/systemd/system/qv-exporter.service <<'EOF'
[Unit]
Description=Test service run by a service user

[Service]
Type=exec
User=qvsvc
Group=qvsvc
RuntimeDirectory=qv-exporter
RuntimeDirectoryPreserve=yes
ExecStart=/usr/local/bin/qv-service qv-exporter /run/qv-exporter/signals.log
ExecStartPost=/bin/sh -c 'echo $MAINPID > /run/qv-exporter/main.pid'
Restart=always
RestartSec=500ms

[Install]
WantedBy=multi-user.target
EOF

sed -i 's|^QUORVAMONITORD_PIDFILES=.*|QUORVAMONITORD_PIDFILES="/run/qv-acquire.pid /run/qv-exporter/main.pid"|' \
    /etc/default/quorvamonitord
grep -qx 'QUORVAMONITORD_PIDFILES="/run/qv-acquire.pid /run/qv-exporter/main.pid"' /etc/default/quorvamonitord

mkdir -p /etc/systemd/system/quorvamonitord.service.d
cat >/etc/systemd/system/quorvamonitord.service.d/services.conf <<'EOF'
[Unit]
After=qv-acquire.service qv-exporter.service
Wants=qv-acquire.service qv-exporter.service
EOF

systemctl daemon-reload
systemctl enable qv-acquire.service qv-exporter.service quorvamonitord.service

# Installed where modprobe finds it, but not loaded at boot.
modinfo -n qvdrivermod
if grep -rqs qvdrivermod /etc/modules-load.d /etc/modules; then
    echo "setup: qvdrivermod is loaded at boot" >&2
    exit 1
fi
echo "setup: services, configuration and drop-in in place; quorvamonitord enabled"
