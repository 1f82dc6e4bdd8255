// What /proc tells about a running process: the CPU time and context switches it has used and
// the memory it holds.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace nQUORVAMONITORD_18_5 {
namespace nQVBENCH {

struct tProcessCost {
    uint64_t cpuTicks = 0;         // utime + stime, in clock ticks
    uint64_t contextSwitches = 0;  // voluntary + nonvoluntary
    uint64_t cpuNanoseconds = 0;   // time on a CPU, from /proc/<pid>/schedstat
};

struct tProcessMemory {
    uint64_t residentKb = 0;      // VmRSS
    uint64_t privateDirtyKb = 0;  // Private_Dirty of smaps_rollup
};

// utime + stime from the text of /proc/<pid>/stat (fields 14 and 15, counted after the command
// name, which may itself hold blanks and parentheses).
bool parseStatCpuTicks(std::string_view stat, uint64_t& ticks);

// The time on a CPU in nanoseconds: the first field of /proc/<pid>/schedstat.
bool parseSchedstatRuntime(std::string_view schedstat, uint64_t& nanoseconds);

// The first number after "key:" on the line that starts with key, in the "Key:  value [kB]"
// layout of /proc/<pid>/status and smaps_rollup.
bool parseKeyedNumber(std::string_view text, std::string_view key, uint64_t& value);

// The whole content of a small file, or false.
bool readSmallFile(const std::string& path, std::string& text);

bool readProcessCost(pid_t pid, tProcessCost& cost);
bool readProcessMemory(pid_t pid, tProcessMemory& memory);

}  // namespace nQVBENCH
}  // namespace nQUORVAMONITORD_18_5
