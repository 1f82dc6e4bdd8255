// The termination sweep: reads a process id from every pid file, in order, and stops that process
// with SIGTERM, pausing after each signal.
#pragma once

#include <cstddef>

#include "daemon/tPidFileWalk.h"
#include "daemon/tProcessHandle.h"
#include "daemon/tVerdict.h"

namespace nQUORVAMONITORD_18_5 {

// Pid-file paths exactly as given on the command line, in that order, duplicates kept. A view:
// the array of paths belongs to the caller and outlives the list.
struct tPidFileList {
    const char* const* paths;
    size_t count;

    const char* const* begin() const { return paths; }
    const char* const* end() const { return paths + count; }
};

// The pause after every SIGTERM sent: one second.
void pauseOneSecond();

// Judges the pid file at path with walk (see tPidFileWalk) and reads the process id it names
// (see tPidParser). Used, with pid set, when the file may be trusted and names a positive id
// other than the daemon's own.
tVerdict readRecordedPid(const char* path, tPidFileWalk& walk);

// All a notification asks of one pid file: readRecordedPid, then, for a file that one other user
// controls, a hold on the process it names (see tProcessHandle), which must have that user as its
// real or saved uid. Used when the daemon sends SIGTERM: through the hold, or by kill() to the id
// read for a file that only root and the daemon's user control. A thread's id stands for its
// process either way.
tVerdict judgePidFile(const char* path, tPidFileWalk& walk, tProcessHandle& process);

// Sends SIGTERM to the process of each pid file that judgePidFile uses, and calls pause after
// every SIGTERM sent, whatever its result; a file skipped before one is sent takes no pause. Opens
// each file afresh, so later changes to it are seen.
void terminateRecordedProcesses(const tPidFileList& pidFiles, void (*pause)() = pauseOneSecond);

}  // namespace nQUORVAMONITORD_18_5
