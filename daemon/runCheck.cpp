#include "daemon/runCheck.h"

#include <linux/capability.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "daemon/describeVerdict.h"
#include "daemon/readProcessStatus.h"
#include "daemon/tPidFileWalk.h"
#include "daemon/tProcessHandle.h"
#include "daemon/terminateRecordedProcesses.h"

namespace nQUORVAMONITORD_18_5 {
namespace {

constexpr int kAllUsed = 0;
constexpr int kOneNotUsed = 1;
constexpr int kUsageError = 2;

constexpr const char kUsage[] =
    "usage: quorvamonitord-check [--full-root] [--problems] PIDFILE...\n"
    "Judges each pid file as quorvamonitord does and prints one line for it.\n"
    "  --full-root  judge with all of root's privileges, not only the unit's\n"
    "  --problems   print only the files the daemon would not use\n";

// Keeps, of root's privileges, only the capabilities the packaged unit grants the daemon
// (CAP_KILL and CAP_SYS_NICE) that the process holds, so that what root may read is judged as
// under the unit. Where root lacks one of them (in a container, say), it stays without it. Under
// the unit itself, whose system-call filter refuses capset, nothing more is held anyway.
bool keepOnlyTheUnitsCapabilities() {
    constexpr uint32_t kUnits = (1U << CAP_KILL) | (1U << CAP_SYS_NICE);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, data) != 0) {
        return false;
    }
    if ((data[0].permitted & ~kUnits) == 0 && data[1].permitted == 0) {
        return true;
    }
    data[0] = __user_cap_data_struct{data[0].effective & kUnits, data[0].permitted & kUnits, 0};
    data[1] = __user_cap_data_struct{0, 0, 0};
    return ::syscall(SYS_capset, &header, data) == 0;
}

// Ends the command: its status, or 2 with a line on standard error when what it printed could not
// all be written (a full disk, a reader gone), as no one would then know what it said.
int finish(int exitStatus) {
    if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) {
        return exitStatus;
    }
    std::perror("quorvamonitord-check: writing its output");
    return kUsageError;
}

}  // namespace

int runCheck(int argc, char** argv) {
    bool fullRoot = false;
    bool problemsOnly = false;
    int first = 1;
    // A reader that has gone makes a write fail with EPIPE instead of ending the command unheard.
    (void)::signal(SIGPIPE, SIG_IGN);
    for (; first < argc && argv[first][0] == '-'; ++first) {
        if (std::strcmp(argv[first], "--") == 0) {
            ++first;
            break;
        }
        if (std::strcmp(argv[first], "--full-root") == 0) {
            fullRoot = true;
        } else if (std::strcmp(argv[first], "--problems") == 0) {
            problemsOnly = true;
        } else if (std::strcmp(argv[first], "--help") == 0) {
            std::fputs(kUsage, stdout);
            return finish(kAllUsed);
        } else {
            std::fprintf(stderr, "quorvamonitord-check: unknown option %s\n%s", argv[first],
                         kUsage);
            return kUsageError;
        }
    }
    if (first == argc) {
        std::fputs(kUsage, stderr);
        return kUsageError;
    }
    // The daemon runs as root, and trusts root's and its own user's files alike.
    if (::geteuid() != 0) {
        std::fputs("quorvamonitord-check: run it as root, as the daemon runs\n", stderr);
        return kUsageError;
    }
    if (!fullRoot && !keepOnlyTheUnitsCapabilities()) {
        std::perror("quorvamonitord-check: dropping to the unit's capabilities");
        return kUsageError;
    }

    int exitStatus = kAllUsed;
    tPidFileWalk walk;
    for (int i = first; i < argc; ++i) {
        tProcessHandle process;
        const tVerdict verdict = judgePidFile(argv[i], walk, process);
        // The user of the process a signal would reach (a thread's process), held while it is
        // read; judgePidFile holds it already for a file of another user's.
        int pid = verdict.pid;
        tProcessStatus named;
        const bool exists = verdict.used() &&
                            (verdict.ownerBound || process.hold(pid) == tReason::kUsed) &&
                            readProcessStatus(pid, named);
        if (!verdict.used()) {
            exitStatus = kOneNotUsed;
        } else if (problemsOnly) {
            continue;
        }
        // Room for two paths, the file's and the place concerned, with every byte escaped to four;
        // a longer line is cut.
        char line[4 * 2 * PATH_MAX + 512];
        describeVerdict(argv[i], verdict, exists, named.real, line, sizeof line);
        std::printf("%s\n", line);
    }
    return finish(exitStatus);
}

}  // namespace nQUORVAMONITORD_18_5
