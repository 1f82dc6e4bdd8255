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

// The length of the printable character at bytes: printable ASCII but the backslash, or valid
// UTF-8 of a character that is neither a C1 control nor one that breaks or reorders a line on
// display. 0 for anything else, whose first byte is then escaped.
size_t printableLength(const unsigned char* bytes) {
    if (bytes[0] < 0x80) {
        return bytes[0] >= 0x20 && bytes[0] < 0x7f && bytes[0] != '\\' ? 1 : 0;
    }
    // The lead byte gives the length, its share of the code point, and the least code point of
    // that length (below it, an overlong form).
    size_t length = 4;
    uint32_t code = bytes[0] & 0x07U;
    uint32_t least = 0x10000;
    if ((bytes[0] & 0xe0) == 0xc0) {
        length = 2;
        code = bytes[0] & 0x1fU;
        least = 0x80;
    } else if ((bytes[0] & 0xf0) == 0xe0) {
        length = 3;
        code = bytes[0] & 0x0fU;
        least = 0x800;
    } else if ((bytes[0] & 0xf8) != 0xf0) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if ((bytes[i] & 0xc0) != 0x80) {
            return 0;  // the terminating NUL ends a sequence here too
        }
        code = (code << 6) | (bytes[i] & 0x3fU);
    }
    const bool invalid = code < least || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff);
    // C1 controls (0x9b is a terminal's CSI); the line and paragraph separators, the embeddings
    // and overrides of bidirectional text, and its isolates.
    const bool control =
        code <= 0x9f || (code >= 0x2028 && code <= 0x202e) || (code >= 0x2066 && code <= 0x2069);
    return invalid || control ? 0 : length;
}

// Prints text as one line, every byte that does not print, and the backslash, written as \n, \r,
// \t, \\ or \xHH: what a user chose (a path component, a link's text, a file system's or a user's
// name) can neither break the line nor move the terminal. The command's own words are printable
// ASCII and print as they are.
void printLine(const char* text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    while (*bytes != '\0') {
        const size_t length = printableLength(bytes);
        // Pairs of a byte and the letter that names it.
        const char* named = length == 0 ? std::strchr("\nn\rr\tt\\\\", *bytes) : nullptr;
        if (length != 0) {
            (void)std::fwrite(bytes, 1, length, stdout);
        } else if (named != nullptr) {
            std::printf("\\%c", named[1]);
        } else {
            std::printf("\\x%02x", *bytes);
        }
        bytes += length != 0 ? length : 1;
    }
    std::putchar('\n');
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
        char line[2 * PATH_MAX + 512];
        describeVerdict(argv[i], verdict, exists, named.real, line, sizeof line);
        printLine(line);
    }
    return finish(exitStatus);
}

}  // namespace nQUORVAMONITORD_18_5
