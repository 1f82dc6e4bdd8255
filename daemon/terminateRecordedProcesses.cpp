#include "daemon/terminateRecordedProcesses.h"

#include <signal.h>
#include <unistd.h>

#include "daemon/readProcessStatus.h"
#include "daemon/tPidParser.h"

namespace nQUORVAMONITORD_18_5 {

void pauseOneSecond() {
    ::sleep(1);
}

tVerdict readRecordedPid(const char* path, tPidFileWalk& walk) {
    int file = -1;
    tVerdict verdict = walk.open(path, file);
    if (!verdict.used()) {
        return verdict;
    }
    // Trust was judged before a byte of the content is read.
    verdict.reason = tPidParser::readFile(file, verdict.pid);
    ::close(file);
    if (verdict.used() && verdict.pid <= 0) {
        verdict.reason = tReason::kNotAProcessId;  // 0 and negative ids address process groups
    } else if (verdict.used() && verdict.pid == ::getpid()) {
        verdict.reason = tReason::kDaemonItself;
    }
    return verdict;
}

tVerdict judgePidFile(const char* path, tPidFileWalk& walk, tProcessHandle& process) {
    tVerdict verdict = readRecordedPid(path, walk);
    if (!verdict.used() || !verdict.ownerBound) {
        return verdict;
    }
    // Another user's process is held first, then checked and signalled through the hold alone.
    verdict.reason = process.hold(verdict.pid);
    tProcessStatus status;
    if (!verdict.used()) {
        return verdict;
    }
    if (!readProcessStatus(verdict.pid, status)) {
        verdict.reason = tReason::kProcessGone;
    } else if (status.real != verdict.user && status.saved != verdict.user) {
        verdict.reason = tReason::kOtherUsersProcess;
        verdict.id = status.real;
    }
    return verdict;
}

void terminateRecordedProcesses(const tPidFileList& pidFiles, void (*pause)()) {
    tPidFileWalk walk;
    for (const char* path : pidFiles) {
        tProcessHandle process;
        const tVerdict verdict = judgePidFile(path, walk, process);
        if (!verdict.used()) {
            continue;
        }
        // A pause follows every SIGTERM sent, whatever its result.
        if (verdict.ownerBound) {
            process.terminate();
        } else {
            (void)::kill(verdict.pid, SIGTERM);
        }
        pause();
    }
}

}  // namespace nQUORVAMONITORD_18_5
