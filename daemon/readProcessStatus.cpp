#include "daemon/readProcessStatus.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace nQUORVAMONITORD_18_5 {
namespace {

// Reads count numbers, each followed by a blank, after the line that starts with key; false when
// there is no such line or a number is malformed. Lines are found by their start: a process may
// name itself "Uid: 0 0 0 0", and its Name line comes first.
bool readNumbers(const char* text, const char* key, unsigned long* numbers, int count) {
    const char* at = std::strstr(text, key);
    if (at == nullptr) {
        return false;
    }
    at += std::strlen(key);
    for (int i = 0; i < count; ++i) {
        char* end = nullptr;
        errno = 0;
        numbers[i] = std::strtoul(at, &end, 10);
        if (end == at || errno != 0 || (*end != '\t' && *end != ' ' && *end != '\n')) {
            return false;
        }
        at = end;
    }
    return true;
}

}  // namespace

bool readProcessStatus(int pid, tProcessStatus& status) {
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%d/status", pid);
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    // The Tgid and Uid lines come well within the first kilobyte: after Name (at most 64 bytes,
    // escaped, so it holds no line break), Umask, State, Tgid, Ngid, Pid, PPid and TracerPid.
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
    unsigned long tgid = 0;
    // Real, effective, saved and file-system uid, in that order.
    unsigned long uids[3] = {};
    if (!readNumbers(text, "\nTgid:", &tgid, 1) || !readNumbers(text, "\nUid:", uids, 3)) {
        return false;
    }
    status.tgid = static_cast<int>(tgid);
    status.real = static_cast<uid_t>(uids[0]);
    status.saved = static_cast<uid_t>(uids[2]);
    return static_cast<unsigned long>(status.tgid) == tgid &&
           static_cast<unsigned long>(status.real) == uids[0] &&
           static_cast<unsigned long>(status.saved) == uids[2];
}

}  // namespace nQUORVAMONITORD_18_5
