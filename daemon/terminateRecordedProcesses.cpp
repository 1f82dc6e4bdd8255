#include "daemon/terminateRecordedProcesses.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
// int is complete within them. A number that reaches the limit is complete when the file ends
// there or the next byte is not a digit: only that one byte more is read.
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
    int reached = 0;
    if (!parser.finish(reached)) {
        return false;  // blanks or a sign up to the limit
    }
    char next = 0;
    ssize_t count = 0;
    do {
        count = ::read(fd, &next, 1);
    } while (count < 0 && errno == EINTR);
    if (count < 0 || (count == 1 && next >= '0' && next <= '9')) {
        return false;
    }
    pid = reached;
    return true;
}

// Reads the real and the saved uid of process pid from /proc/<pid>/status, through a stack
// buffer; false when the process is gone or the line cannot be read.
bool readRealAndSavedUid(int pid, uid_t& real, uid_t& saved) {
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%d/status", pid);
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    // The Uid line comes well within the first kilobyte: after Name (at most 64 bytes, escaped,
    // so it holds no line break), Umask, State, Tgid, Ngid, Pid, PPid and TracerPid.
    char text[1024];
    size_t size = 0;
    while (size < sizeof text - 1) {
        const ssize_t count = ::read(fd, text + size, sizeof text - 1 - size);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            break;
        }
        size += static_cast<size_t>(count);
    }
    ::close(fd);
    text[size] = '\0';
    const char* at = std::strstr(text, "\nUid:");
    if (at == nullptr) {
        return false;
    }
    // Real, effective, saved and file-system uid, in that order.
    unsigned long ids[3] = {};
    at += 5;
    for (unsigned long& id : ids) {
        char* end = nullptr;
        errno = 0;
        id = std::strtoul(at, &end, 10);
        if (end == at || errno != 0 || (*end != '\t' && *end != ' ')) {
            return false;
        }
        at = end;
    }
    real = static_cast<uid_t>(ids[0]);
    saved = static_cast<uid_t>(ids[2]);
    return static_cast<unsigned long>(real) == ids[0] &&
           static_cast<unsigned long>(saved) == ids[2];
}

// Sends SIGTERM to pid if it is a process that user could signal itself: one whose real or saved
// uid is user. The pidfd is taken first, so the status read after it and the signal concern the
// same process, or the signal fails because that process has ended (its pid cannot be reused
// before then). True when SIGTERM was sent, whatever its result.
bool signalProcessOf(int pid, uid_t user) {
    const int pidfd = pidfdOpen(pid);
    if (pidfd < 0) {
        return false;
    }
    uid_t real = 0;
    uid_t saved = 0;
    const bool users = readRealAndSavedUid(pid, real, saved) && (real == user || saved == user);
    if (users) {
        (void)pidfdSendSignal(pidfd, SIGTERM);
    }
    ::close(pidfd);
    return users;
}

}  // namespace

void pauseOneSecond() {
    ::sleep(1);
}

bool readRecordedPid(const char* path, tRecordedPid& recorded) {
    tPidFileWalk walk;
    const tPidFileWalk::tOpened opened = walk.openFile(path);
    if (opened.fd < 0) {
        return false;
    }
    // Trust is judged before a byte of the content is read.
    int pid = 0;
    const bool parsed =
        opened.namable != tPidFileWalk::tNamable::kNoOne && parsePidFile(opened.fd, pid);
    ::close(opened.fd);
    if (!parsed || pid <= 0 || pid == ::getpid()) {
        return false;
    }
    recorded.pid = pid;
    recorded.ownerBound = opened.namable == tPidFileWalk::tNamable::kOneUser;
    recorded.owner = opened.controller;
    return true;
}

void terminateRecordedProcesses(const tPidFileList& pidFiles, void (*pause)()) {
    for (const char* path : pidFiles) {
        tRecordedPid recorded;
        if (!readRecordedPid(path, recorded)) {
            continue;
        }
        // A pause follows every SIGTERM sent, whatever its result; a file that sends none takes
        // none.
        if (recorded.ownerBound) {
            if (!signalProcessOf(recorded.pid, recorded.owner)) {
                continue;
            }
        } else {
            (void)::kill(recorded.pid, SIGTERM);
        }
        pause();
    }
}

}  // namespace nQUORVAMONITORD_18_5
