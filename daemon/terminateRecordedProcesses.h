// The termination sweep: reads a process id from every pid file, in order, and stops that process
// with SIGTERM, pausing after each signal.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace nQUORVAMONITORD_18_5 {

// Pid-file paths exactly as given on the command line, in that order, duplicates kept. A view:
// the array of paths belongs to the caller and outlives the list.
struct tPidFileList {
    const char* const* paths;
    size_t count;

    const char* const* begin() const { return paths; }
    const char* const* end() const { return paths + count; }
};

// Most bytes read from a pid file: a number not complete within them is not accepted.
constexpr size_t kMaxPidFileBytes = 4096;

// The pause after every signalled process: one second.
void pauseOneSecond();

// What a pid file lets the daemon signal.
struct tRecordedPid {
    int pid = 0;
    // True when one user other than root and the daemon's own controls the file (see
    // tPidFileWalk): then only a process of that user, owner, may be signalled.
    bool ownerBound = false;
    uid_t owner = 0;
};

// Reads the pid file at path and returns true with the process id it names, if the daemon may
// signal it. A file is skipped (false) when it is not a regular file or cannot be opened or read,
// when someone other than root and the daemon's user may write to it or to a directory on its
// way, when more than one such user controls its way, when it does not start with a number in
// the int range within its first kMaxPidFileBytes bytes, when the number is not positive (0 and
// negative values address process groups), or when it names the daemon itself.
bool readRecordedPid(const char* path, tRecordedPid& recorded);

// Sends SIGTERM to the process named in each pid file that readRecordedPid accepts, provided an
// owner-bound process belongs to its owner, and calls pause after every signal. Opens each file
// afresh, so later changes to it are seen.
void terminateRecordedProcesses(const tPidFileList& pidFiles, void (*pause)() = pauseOneSecond);

}  // namespace nQUORVAMONITORD_18_5
