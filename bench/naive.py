#!/usr/bin/env python3
"""Stops the process named in a pid file each time a restart notification arrives.

The watcher an integrator might write with nothing but the standard library: a generic
netlink socket, a read of the pid file and os.kill. Prints its netlink port id once it is
ready to receive; a message of event type 2 ends it with status 0.

Usage: naive.py PIDFILE
"""

import os
import signal
import socket
import struct
import sys

NETLINK_GENERIC = 16
MESSAGE_SIZE = 72
EVENT_TYPE_OFFSET = 22
EVENT_NOTIFIED = 1
EVENT_RELEASED = 2


def recorded_pid(path):
    """The process id at the start of the pid file, or None."""
    try:
        with open(path) as pid_file:
            return int(pid_file.read().split()[0])
    except (OSError, ValueError, IndexError):
        return None


def main():
    if len(sys.argv) != 2:
        print("usage: naive.py PIDFILE", file=sys.stderr)
        return 2
    pid_file = sys.argv[1]
    sock = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, NETLINK_GENERIC)
    sock.bind((0, 0))
    print(sock.getsockname()[0], flush=True)
    while True:
        message = sock.recv(MESSAGE_SIZE)
        if len(message) < EVENT_TYPE_OFFSET + 2:
            continue
        (event_type,) = struct.unpack_from("=H", message, EVENT_TYPE_OFFSET)
        if event_type == EVENT_RELEASED:
            return 0
        if event_type != EVENT_NOTIFIED:
            continue
        pid = recorded_pid(pid_file)
        if pid is not None and pid > 0:
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                pass


if __name__ == "__main__":
    sys.exit(main())
