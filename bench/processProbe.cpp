#include "bench/processProbe.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace nQUORVAMONITORD_18_5 {
namespace nQVBENCH {
namespace {

// Parses a decimal number at the start of text (after blanks); false if there is none.
bool parseNumber(std::string_view text, uint64_t& value) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) {
        ++i;
    }
    if (i == text.size() || text[i] < '0' || text[i] > '9') {
        return false;
    }
    value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    }
    return true;
}

std::string procPath(pid_t pid, const char* leaf) {
    return "/proc/" + std::to_string(pid) + "/" + leaf;
}

}  // namespace

bool parseStatCpuTicks(std::string_view stat, uint64_t& ticks) {
    const size_t nameEnd = stat.rfind(')');
    if (nameEnd == std::string_view::npos) {
        return false;
    }
    // After the name: field 3 (state) onwards, blank-separated; utime is field 14.
    std::string_view rest = stat.substr(nameEnd + 1);
    uint64_t utime = 0;
    uint64_t stime = 0;
    for (int field = 3; field <= 15; ++field) {
        const size_t start = rest.find_first_not_of(' ');
        if (start == std::string_view::npos) {
            return false;
        }
        rest = rest.substr(start);
        if (field == 14 && !parseNumber(rest, utime)) {
            return false;
        }
        if (field == 15 && !parseNumber(rest, stime)) {
            return false;
        }
        const size_t end = rest.find(' ');
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
    }
    ticks = utime + stime;
    return true;
}

bool parseSchedstatRuntime(std::string_view schedstat, uint64_t& nanoseconds) {
    const size_t end = schedstat.find(' ');
    return end != std::string_view::npos && parseNumber(schedstat.substr(0, end), nanoseconds);
}

bool parseKeyedNumber(std::string_view text, std::string_view key, uint64_t& value) {
    size_t lineStart = 0;
    while (lineStart < text.size()) {
        size_t lineEnd = text.find('\n', lineStart);
        if (lineEnd == std::string_view::npos) {
            lineEnd = text.size();
        }
        const std::string_view line = text.substr(lineStart, lineEnd - lineStart);
        if (line.size() > key.size() && line.substr(0, key.size()) == key &&
            line[key.size()] == ':') {
            return parseNumber(line.substr(key.size() + 1), value);
        }
        lineStart = lineEnd + 1;
    }
    return false;
}

bool readSmallFile(const std::string& path, std::string& text) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    text.clear();
    char chunk[4096];
    for (;;) {
        const ssize_t count = ::read(fd, chunk, sizeof(chunk));
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            ::close(fd);
            return count == 0;
        }
        text.append(chunk, static_cast<size_t>(count));
    }
}

bool readProcessCost(pid_t pid, tProcessCost& cost) {
    std::string stat;
    std::string status;
    std::string schedstat;
    uint64_t voluntary = 0;
    uint64_t involuntary = 0;
    if (!readSmallFile(procPath(pid, "stat"), stat) || !parseStatCpuTicks(stat, cost.cpuTicks) ||
        !readSmallFile(procPath(pid, "status"), status) ||
        !parseKeyedNumber(status, "voluntary_ctxt_switches", voluntary) ||
        !parseKeyedNumber(status, "nonvoluntary_ctxt_switches", involuntary) ||
        !readSmallFile(procPath(pid, "schedstat"), schedstat) ||
        !parseSchedstatRuntime(schedstat, cost.cpuNanoseconds)) {
        return false;
    }
    cost.contextSwitches = voluntary + involuntary;
    return true;
}

bool readProcessMemory(pid_t pid, tProcessMemory& memory) {
    std::string status;
    std::string rollup;
    return readSmallFile(procPath(pid, "status"), status) &&
           parseKeyedNumber(status, "VmRSS", memory.residentKb) &&
           readSmallFile(procPath(pid, "smaps_rollup"), rollup) &&
           parseKeyedNumber(rollup, "Private_Dirty", memory.privateDirtyKb);
}

}  // namespace nQVBENCH
}  // namespace nQUORVAMONITORD_18_5
