#include "daemon/runDaemon.h"

#include <fcntl.h>
#include <unistd.h>

#include "daemon/terminateRecordedProcesses.h"
#include "status/tStatusRecord.h"

namespace nQUORVAMONITORD_18_5 {

using nZORFEL000::tStatusRecord;

namespace {

constexpr int kExitReleased = 0;
constexpr int kExitFailure = 1;

// True when path can be opened for reading now. Non-blocking, so a FIFO cannot hold up start-up.
bool canOpenForReading(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

}  // namespace

int runDaemon(int argc, char** argv) {
    tStatusRecord status;

    tPidFileList pidFiles;
    for (int i = 1; i < argc; ++i) {
        if (canOpenForReading(argv[i])) {
            pidFiles.push_back(argv[i]);
        }
    }
    if (pidFiles.empty()) {
        return kExitFailure;
    }

    (void)kExitReleased;
    return kExitFailure;
}

}  // namespace nQUORVAMONITORD_18_5
