#include "daemon/terminateRecordedProcesses.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "daemon/tPidParser.h"

namespace nQUORVAMONITORD_18_5 {
namespace {

// Parses the open pid file; false on a read error or when no int can be extracted.
bool parsePidFile(int fd, int& pid) {
    tPidParser parser;
    char chunk[128];
    for (;;) {
        const ssize_t count = ::read(fd, chunk, sizeof chunk);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (count == 0 || !parser.feed(chunk, static_cast<size_t>(count))) {
            break;
        }
    }
    return parser.finish(pid);
}

// True when the process exists and belongs to owner.
bool processBelongsTo(int pid, uid_t owner) {
    char procPath[32];
    std::snprintf(procPath, sizeof procPath, "/proc/%d", pid);
    struct stat info {};
    return ::stat(procPath, &info) == 0 && info.st_uid == owner;
}

}  // namespace

void pauseOneSecond() {
    ::sleep(1);
}

bool readRecordedPid(const char* path, int& pid) {
    // Non-blocking, so a pid file that is a FIFO without a writer reads as empty instead of
    // holding up the daemon.
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return false;
    }
    // Judge the file actually opened, not whatever the path names a moment later.
    struct stat info {};
    bool accepted =
        ::fstat(fd, &info) == 0 && (info.st_mode & S_IWOTH) == 0 && parsePidFile(fd, pid);
    ::close(fd);

    accepted = accepted && pid > 0;
    if (accepted && info.st_uid != 0 && info.st_uid != ::geteuid()) {
        // Someone else's pid file may only name that someone's own processes.
        accepted = processBelongsTo(pid, info.st_uid);
    }
    return accepted;
}

void terminateRecordedProcesses(const tPidFileList& pidFiles, void (*pause)()) {
    for (const char* path : pidFiles) {
        int pid = 0;
        if (!readRecordedPid(path, pid)) {
            continue;
        }
        (void)::kill(pid, SIGTERM);
        pause();
    }
}

}  // namespace nQUORVAMONITORD_18_5
