"""Mounts a FUSE file system at MOUNTPOINT and unmounts it, over and over, as its user may with
fusermount3; no server answers it and nothing reads from it. Ends when its parent does, or after
the cycle in which it gets SIGTERM, with nothing left mounted."""
import os
import signal
import socket
import subprocess
import sys

point = sys.argv[1]
parent = os.getppid()
stopping = False


def stop(signum, frame):
    global stopping
    stopping = True


signal.signal(signal.SIGTERM, stop)
while not stopping and os.getppid() == parent:
    ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_STREAM)
    # fusermount3 mounts, then hands the /dev/fuse descriptor back over this socket.
    subprocess.run(["fusermount3", "--", point], check=True, pass_fds=[theirs.fileno()],
                   env=dict(os.environ, _FUSE_COMMFD=str(theirs.fileno())))
    theirs.close()
    _, descriptors, _, _ = socket.recv_fds(ours, 1, 1)
    subprocess.run(["fusermount3", "-u", "-z", "--", point], check=True)
    for descriptor in descriptors:
        os.close(descriptor)
    ours.close()
