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

// Most bytes read from a pid file: a number not complete within them is not accepted. One that
// ends exactly at the limit is, when the file ends there or goes on with something else.
constexpr size_t kMaxPidFileBytes = 4096;

// The pause after every SIGTERM sent: one second.
void pauseOneSecond();

// What a pid file lets the daemon signal.
struct tRecordedPid {
    int pid = 0;
    // True when one user other than root and the daemon's own controls the file (see
    // tPidFileWalk): then only a process whose real or saved uid is owner may be signalled.
    bool ownerBound = false;
    uid_t owner = 0;
};

// Reads the pid file at path and returns true with the process id it names, if the daemon may
// signal it. A file is skipped (false) when it is not a regular file or cannot be opened or read,
// when a component of its path lies on a file system the walk does not read from, when someone
// other than root and the daemon's user may write to it or to a directory on its way (by the mode
// or an ACL), when more than one such user controls its way, when it does not start with a number
// in the int range within its first kMaxPidFileBytes bytes, when the number is not positive (0 and
// negative values address process groups), or when it names the daemon itself.
bool readRecordedPid(const char* path, tRecordedPid& recorded);

// Sends SIGTERM to the process named in each pid file that readRecordedPid accepts, provided an
// owner-bound process has its owner as real or saved uid, and calls pause after every SIGTERM
// sent, whatever its result; a file skipped before a SIGTERM is sent takes no pause. Opens each
// file afresh, so later changes to it are seen.
void terminateRecordedProcesses(const tPidFileList& pidFiles, void (*pause)() = pauseOneSecond);

}  // namespace nQUORVAMONITORD_18_5
