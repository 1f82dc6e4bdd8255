#include "daemon/terminateRecordedProcesses.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "daemon/tPidFileWalk.h"
#include "daemon/tPidParser.h"

namespace nQUORVAMONITORD_18_5 {
namespace {

// Through syscall: the C library's own declarations of these lack C linkage in some versions.
int pidfdOpen(int pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0U));
}

int pidfdSendSignal(int pidfd, int signal) {
    return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0U));
}

// Parses the open pid file from at most kMaxPidFileBytes bytes; false on a read error or when no
// int can be extracted within them.
bool parsePidFile(int fd, int& pid) {
    tPidParser parser;
    char chunk[512];
    for (size_t total = 0; total < kMaxPidFileBytes;) {
        size_t want = kMaxPidFileBytes - total;
        want = want < sizeof chunk ? want : sizeof chunk;
        const ssize_t count = ::read(fd, chunk, want);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (count == 0 || !parser.feed(chunk, static_cast<size_t>(count))) {
            return parser.finish(pid);
        }
        total += static_cast<size_t>(count);
    }
    return false;  // the number, or the blanks before it, run on past the limit
}

// Sends SIGTERM to pid if the process belongs to owner. The check and the signal go through one
// pidfd, so a process that ends and whose pid is reused in between is never hit. True when the
// process was found to belong to owner.
bool terminateIfOwnedBy(int pid, uid_t owner) {
    const int pidfd = pidfdOpen(pid);
    if (pidfd < 0) {
        return false;
    }
    char procPath[32];
    std::snprintf(procPath, sizeof procPath, "/proc/%d", pid);
    struct stat info {};
    // /proc/<pid> described the pidfd's process if that process still exists afterwards: its pid
    // cannot be reused before it has been reaped.
    const bool owned =
        ::stat(procPath, &info) == 0 && info.st_uid == owner && pidfdSendSignal(pidfd, 0) == 0;
    if (owned) {
        (void)pidfdSendSignal(pidfd, SIGTERM);
    }
    ::close(pidfd);
    return owned;
}

}  // namespace

void pauseOneSecond() {
    ::sleep(1);
}

bool readRecordedPid(const char* path, tRecordedPid& recorded) {
    tPidFileWalk walk;
    const int fd = walk.openFile(path);
    if (fd < 0) {
        return false;
    }
    // Trust is judged before a byte of the content is read.
    int pid = 0;
    const bool parsed = !walk.untrusted() && parsePidFile(fd, pid);
    ::close(fd);
    if (!parsed || pid <= 0 || pid == ::getpid()) {
        return false;
    }
    recorded.pid = pid;
    recorded.ownerBound = walk.controlled();
    recorded.owner = walk.controller();
    return true;
}

void terminateRecordedProcesses(const tPidFileList& pidFiles, void (*pause)()) {
    for (const char* path : pidFiles) {
        tRecordedPid recorded;
        if (!readRecordedPid(path, recorded)) {
            continue;
        }
        if (recorded.ownerBound) {
            if (!terminateIfOwnedBy(recorded.pid, recorded.owner)) {
                continue;
            }
        } else {
            (void)::kill(recorded.pid, SIGTERM);
        }
        pause();
    }
}

}  // namespace nQUORVAMONITORD_18_5
