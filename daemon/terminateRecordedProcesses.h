// The termination sweep: reads a process id from every pid file, in order, and stops that process
// with SIGTERM, pausing after each signal.
#pragma once

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

// The pause after every signalled process: one second.
void pauseOneSecond();

// Reads the pid file at path and returns true with the process id it names, if the daemon may
// signal it. A file is skipped (false) when it cannot be opened or read, when it does not start
// with a number in the int range, when the number is not positive (0 and negative values address
// process groups), when it is writable by everyone, or when its owner is neither root nor the
// daemon's user and the process named belongs to someone else.
bool readRecordedPid(const char* path, int& pid);

// Sends SIGTERM to the process named in each pid file that readRecordedPid accepts and calls
// pause after every signal. Opens each file afresh, so later changes to it are seen.
void terminateRecordedProcesses(const tPidFileList& pidFiles, void (*pause)() = pauseOneSecond);

}  // namespace nQUORVAMONITORD_18_5
