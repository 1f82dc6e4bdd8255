// Runs the daemon against the driver simulator next to two other watchers fed the same messages
// the same way, the floor program (the least work a watcher can do) and a plain Python script, and
// prints, side by side: notification-to-signal latency, idle cost, memory, stripped size and
// start-up time, with ratios to the floor.
//
// Needs root. It enters a private mount namespace of its own before the simulator mounts over
// /proc/driver there.
//   quorvabench --daemon PATH --simulator PATH
//       --floor PATH --python PATH --script PATH [--rounds N] [--idle-seconds N]
//       [--startups N] [--spacing-ms N] [--order W,W,W] [--cpu N] [--watcher-cpu N]
//       [--strip PATH] [--ldd PATH]
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench/monotonicClock.h"
#include "bench/processProbe.h"
#include "bench/tLatencySeries.h"
#include "bench/tLaunchedProcess.h"
#include "bench/tNetlinkSender.h"
#include "bench/tSigtermVictim.h"
#include "bench/tSimulator.h"

namespace nQUORVAMONITORD_18_5 {
namespace nQVBENCH {
namespace {

constexpr int kWatcherPriority = 98;  // the daemon's own; the floor and Python run at it too
constexpr int kSenderPriority = 50;   // the benchmark and its victims while latency is measured
constexpr int kReadyTimeoutMs = 10000;
constexpr int kExitTimeoutMs = 5000;
constexpr int kSignalTimeoutMs = 1000;
constexpr int kBackgroundTimeoutMs = 300000;
constexpr int64_t kNsPerMs = 1000000;
constexpr uint16_t kEventNotified = 1;
constexpr uint16_t kEventReleased = 2;
constexpr int64_t kStrippedLimitBytes = int64_t{48} * 1024;

struct tOptions {
    std::string daemon;
    std::string simulator;
    std::string floor;
    std::string python;
    std::string script;
    std::string strip = "/usr/bin/strip";
    std::string ldd = "/usr/bin/ldd";
    int rounds = 100;
    int idleSeconds = 10;
    int startups = 20;
    int spacingMs = 1100;
    std::string order = "daemon,floor,python";  // the watchers' slots within a round
    std::vector<size_t> slots;                  // order as column indices
    // Placement. By default the sender, the victims and the simulator run on CPU 0 and every
    // watcher on CPU 1, so every watcher's start-up requests, wake-up and kill cross CPUs the
    // same way and no watcher shares its CPU with the benchmark's own polling. Left to the
    // scheduler, which CPU a watcher last slept on varies from run to run and weighs more than
    // the watchers' own work. -1 leaves the processes unpinned.
    int cpu = 0;         // >= 0: the benchmark and everything it starts run on this CPU only
    int watcherCpu = 1;  // >= 0: each watcher runs on this CPU only, from its exec on
    // A busy host: a command run by /bin/sh in the benchmark's mount namespace before anything
    // is measured, which prints "ready" once in place (held mounts, mount loops) and is ended at
    // the end (bench/busy-host).
    std::string background;
    // Each watcher's pid file as DIR/qvbench-NAME/NAME.pid, in a directory of root's, rather
    // than in the benchmark's work directory.
    std::string pidDir;
    // "table": the daemon runs where statmount fails (ENOSYS), as before Linux 6.8, and judges
    // mounts in the mount table.
    std::string mountLookup = "kernel";
    // quorvamonitord-check, run walks times on a root pid file in pidDir while the watchers wait.
    std::string check;
    int walks = 0;
};

// statmount's number, the same on every architecture.
constexpr int kStatmountCall = 457;

// The table's columns.
constexpr size_t kWatcherCount = 3;
constexpr const char* kWatcherNames[kWatcherCount] = {"daemon", "floor", "python"};

enum class tKind { kDaemon, kFloor, kPython };

// One of the three watchers and everything measured about it.
struct tContestant {
    tContestant(std::string contestantName, tKind contestantKind, std::string contestantPidFile)
        : name(std::move(contestantName)),
          pidFile(std::move(contestantPidFile)),
          kind(contestantKind) {}

    std::string name;
    std::string pidFile;
    std::unique_ptr<tLaunchedProcess> process;
    uint64_t cookie = 0;
    tLatencySeries latency;
    tLatencySeries startup;  // exec to ready
    tProcessCost idle;
    tProcessCost busy;  // over the whole latency phase
    tProcessMemory memory;
    int64_t strippedBytes = -1;
    std::vector<std::string> libraries;  // what ldd lists, the vDSO left out
    uint32_t port = 0;
    int releaseStatus = -1;
    tKind kind;
    bool idleMeasured = false;
    bool busyMeasured = false;
    bool memoryMeasured = false;
};

bool fail(const std::string& message) {
    std::fprintf(stderr, "quorvabench: %s\n", message.c_str());
    return false;
}

void progress(const char* message) {
    std::fprintf(stderr, "quorvabench: %s\n", message);
}

// The column indices of the watchers named in order ("daemon,floor,python" in any order).
bool parseOrder(const std::string& order, std::vector<size_t>& slots) {
    slots.clear();
    size_t start = 0;
    while (start <= order.size()) {
        size_t end = order.find(',', start);
        if (end == std::string::npos) {
            end = order.size();
        }
        const std::string name = order.substr(start, end - start);
        size_t index = 0;
        while (index < kWatcherCount && kWatcherNames[index] != name) {
            ++index;
        }
        for (const size_t taken : slots) {
            if (taken == index) {
                index = kWatcherCount;
            }
        }
        if (index == kWatcherCount) {
            return fail("--order must name daemon, floor and python once each");
        }
        slots.push_back(index);
        start = end + 1;
    }
    return slots.size() == kWatcherCount ||
           fail("--order must name daemon, floor and python once each");
}

bool parseOptions(int argc, char** argv, tOptions& options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const char* value = argv[i + 1];
        if (name == "--daemon") {
            options.daemon = value;
        } else if (name == "--simulator") {
            options.simulator = value;
        } else if (name == "--floor") {
            options.floor = value;
        } else if (name == "--python") {
            options.python = value;
        } else if (name == "--script") {
            options.script = value;
        } else if (name == "--strip") {
            options.strip = value;
        } else if (name == "--ldd") {
            options.ldd = value;
        } else if (name == "--rounds") {
            options.rounds = std::atoi(value);
        } else if (name == "--idle-seconds") {
            options.idleSeconds = std::atoi(value);
        } else if (name == "--startups") {
            options.startups = std::atoi(value);
        } else if (name == "--spacing-ms") {
            options.spacingMs = std::atoi(value);
        } else if (name == "--order") {
            options.order = value;
        } else if (name == "--cpu") {
            options.cpu = std::atoi(value);
        } else if (name == "--watcher-cpu") {
            options.watcherCpu = std::atoi(value);
        } else if (name == "--background") {
            options.background = value;
        } else if (name == "--pid-dir") {
            options.pidDir = value;
        } else if (name == "--mount-lookup") {
            options.mountLookup = value;
        } else if (name == "--check") {
            options.check = value;
        } else if (name == "--walks") {
            options.walks = std::atoi(value);
        } else {
            return fail("unknown option " + name);
        }
    }
    if (argc % 2 == 0 || options.daemon.empty() || options.simulator.empty() ||
        options.floor.empty() || options.python.empty() || options.script.empty()) {
        return fail(
            "usage: quorvabench --daemon PATH --simulator PATH --floor PATH --python PATH "
            "--script PATH [--rounds N] [--idle-seconds N] [--startups N] [--spacing-ms N] "
            "[--order W,W,W] [--cpu N] [--watcher-cpu N] [--strip PATH] [--ldd PATH] "
            "[--background COMMAND] [--pid-dir DIR] [--mount-lookup kernel|table] "
            "[--check PATH --walks N]");
    }
    if (options.rounds < 1 || options.idleSeconds < 1 || options.startups < 1 ||
        options.spacingMs < 1100) {
        return fail("rounds, idle seconds and startups must be positive, spacing at least 1100 ms");
    }
    if ((options.mountLookup != "kernel" && options.mountLookup != "table") ||
        (options.walks > 0 && (options.check.empty() || options.pidDir.empty()))) {
        return fail("--mount-lookup is kernel or table; --walks needs --check and --pid-dir");
    }
    const long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
    if (options.cpu >= cpus || options.watcherCpu >= cpus) {
        return fail("this machine has " + std::to_string(cpus) +
                    " CPUs: choose others with --cpu and --watcher-cpu (-1: not pinned)");
    }
    return parseOrder(options.order, options.slots);
}

// The simulator mounts over /proc/driver: the benchmark moves itself, and so everything it
// starts, into a mount namespace of its own whose mounts do not propagate back.
bool enterPrivateMountNamespace() {
    return ::unshare(CLONE_NEWNS) == 0 &&
           ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

// Restricts this process, and every process it starts from now on, to one CPU.
bool pinToCpu(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return ::sched_setaffinity(0, sizeof(set), &set) == 0;
}

bool setOwnPriority(int fifoPriority) {
    sched_param param{};
    param.sched_priority = fifoPriority;
    return ::sched_setscheduler(0, fifoPriority > 0 ? SCHED_FIFO : SCHED_OTHER, &param) == 0;
}

// Polls the process's scheduling policy until it is SCHED_FIFO: the daemon and the floor switch
// to it right after their register request returned. Returns the time it was first seen, or 0.
int64_t waitForRealTime(tLaunchedProcess& process) {
    const int64_t deadline = monotonicNanoseconds() + kReadyTimeoutMs * kNsPerMs;
    const timespec pollInterval{0, 10000};
    for (;;) {
        const int policy = ::sched_getscheduler(process.pid());
        const int64_t now = monotonicNanoseconds();
        if (policy == SCHED_FIFO) {
            return now;
        }
        int status = 0;
        if (policy < 0 || now > deadline || process.waitExit(0, status)) {
            return 0;
        }
        ::nanosleep(&pollInterval, nullptr);
    }
}

bool parsePort(const std::string& line, uint32_t& port) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(line.c_str(), &end, 10);
    if (line.empty() || end == nullptr || *end != '\0' || value > 0xFFFFFFFF) {
        return false;
    }
    port = static_cast<uint32_t>(value);
    return true;
}

// Starts the contestant and waits until it can receive; records the time from exec to ready.
bool launch(tContestant& contestant, const tOptions& options, const tSimulator& simulator) {
    contestant.process = std::make_unique<tLaunchedProcess>();
    tLaunchedProcess& process = *contestant.process;
    tLaunchedProcess::tOptions launchOptions;
    std::vector<std::string> argv;
    switch (contestant.kind) {
        case tKind::kDaemon:
            argv = {options.daemon, contestant.pidFile};
            launchOptions.refusedSystemCall = options.mountLookup == "table" ? kStatmountCall : -1;
            break;
        case tKind::kFloor:
            argv = {options.floor, contestant.pidFile};
            break;
        case tKind::kPython:
            argv = {options.python, options.script, contestant.pidFile};
            launchOptions.captureStdout = true;
            launchOptions.fifoPriority = kWatcherPriority;
            break;
    }
    launchOptions.cpu = options.watcherCpu;
    if (!process.start(argv, launchOptions)) {
        return fail("cannot start " + contestant.name);
    }

    int64_t ready = 0;
    std::string line;
    if (contestant.kind == tKind::kPython) {
        if (!process.readLine(kReadyTimeoutMs, line, &ready)) {
            return fail(contestant.name + " printed no port");
        }
    } else {
        ready = waitForRealTime(process);
        if (ready == 0) {
            return fail(contestant.name + " never switched to SCHED_FIFO");
        }
    }
    if (contestant.kind != tKind::kPython) {
        // Watchers start one at a time, so the last registration is the one just made.
        if (!simulator.lastRegistration(contestant.port, contestant.cookie)) {
            return fail("no registration of " + contestant.name + " in the simulator's log");
        }
    } else if (!parsePort(line, contestant.port)) {
        return fail(contestant.name + " printed no port: " + line);
    }
    contestant.startup.add(ready - process.execTime());
    return true;
}

// Sends event type 2 (through the simulator for the daemon, as the driver would) and waits for
// the exit; records the exit status. The simulator sends to every registered port, so the floor
// (which unregisters on its release) goes before the daemon.
bool release(tContestant& contestant, const tSimulator& simulator, tNetlinkSender& sender) {
    if (contestant.kind == tKind::kDaemon) {
        std::string output;
        if (simulator.command({"release"}, output) != 0) {
            return fail("the simulator could not send the release message");
        }
    } else if (sender.send(contestant.port, kEventReleased, 0) == 0) {
        return fail("cannot send the release message to " + contestant.name);
    }
    int status = 0;
    if (!contestant.process->waitExit(kExitTimeoutMs, status)) {
        contestant.process->stop(kExitTimeoutMs);
        return fail(contestant.name + " did not end on the release message");
    }
    contestant.releaseStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return true;
}

// Empties the pid file, so a watcher started now has a file to keep and no process to signal.
bool resetPidFile(const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "w");
    return file != nullptr && std::fclose(file) == 0 && ::chmod(path.c_str(), 0644) == 0;
}

// The pid file of the watcher name: in the work directory, or in a directory of its own in
// options.pidDir (made here).
std::string pidFileOf(const std::string& name, const std::string& workDir,
                      const tOptions& options) {
    if (options.pidDir.empty()) {
        return workDir + "/" + name + ".pid";
    }
    const std::string dir = options.pidDir + "/qvbench-" + name;
    (void)::mkdir(dir.c_str(), 0755);
    return dir + "/" + name + ".pid";
}

// Runs quorvamonitord-check walks times on a pid file of root's that names this process, with
// the watchers waiting; how many runs would not use it, or -1 when it could not be written.
int refusedWalks(const std::string& workDir, const tOptions& options) {
    const std::string file = pidFileOf("check", workDir, options);
    FILE* stream = std::fopen(file.c_str(), "w");
    if (stream == nullptr || std::fprintf(stream, "%d\n", static_cast<int>(::getpid())) < 0 ||
        std::fclose(stream) != 0) {
        return -1;
    }
    int refused = 0;
    for (int walk = 0; walk < options.walks; ++walk) {
        std::string output;
        refused += runCommand({options.check, file}, output) == 0 ? 0 : 1;
    }
    ::unlink(file.c_str());
    ::rmdir(file.substr(0, file.rfind('/')).c_str());
    return refused;
}

// Starts and releases each watcher `startups` times, measuring exec to ready.
// The watchers start in turn, the first one each time a different one: which watcher a start
// follows changes what is still warm, in the simulator (its worker threads) and in the kernel.
bool measureStartups(std::vector<tContestant>& contestants, const tOptions& options,
                     const tSimulator& simulator, tNetlinkSender& sender) {
    for (int run = 0; run < options.startups; ++run) {
        for (size_t i = 0; i < contestants.size(); ++i) {
            tContestant& contestant =
                contestants[(static_cast<size_t>(run) + i) % contestants.size()];
            if (!launch(contestant, options, simulator) ||
                !release(contestant, simulator, sender)) {
                return false;
            }
            if (contestant.releaseStatus != 0) {
                return fail(contestant.name + " ended with status " +
                            std::to_string(contestant.releaseStatus) + " on release");
            }
        }
    }
    return true;
}

tProcessCost costSince(const tProcessCost& before, const tProcessCost& after) {
    tProcessCost spent;
    spent.cpuTicks = after.cpuTicks - before.cpuTicks;
    spent.contextSwitches = after.contextSwitches - before.contextSwitches;
    spent.cpuNanoseconds = after.cpuNanoseconds - before.cpuNanoseconds;
    return spent;
}

bool readCosts(const std::vector<tContestant>& contestants, std::vector<tProcessCost>& costs) {
    costs.resize(contestants.size());
    for (size_t i = 0; i < contestants.size(); ++i) {
        if (!readProcessCost(contestants[i].process->pid(), costs[i])) {
            return fail("cannot read the cost of " + contestants[i].name);
        }
    }
    return true;
}

// CPU time and context switches of every watcher over idleSeconds with no messages.
bool measureIdle(std::vector<tContestant>& contestants, const tOptions& options) {
    std::vector<tProcessCost> before;
    std::vector<tProcessCost> after;
    if (!readCosts(contestants, before)) {
        return false;
    }
    ::sleep(static_cast<unsigned>(options.idleSeconds));
    if (!readCosts(contestants, after)) {
        return false;
    }
    for (size_t i = 0; i < contestants.size(); ++i) {
        contestants[i].idle = costSince(before[i], after[i]);
        contestants[i].idleMeasured = true;
    }
    return true;
}

void measureMemory(std::vector<tContestant>& contestants) {
    for (tContestant& contestant : contestants) {
        contestant.memoryMeasured = readProcessMemory(contestant.process->pid(), contestant.memory);
    }
}

// One measurement: a fresh victim is written into the pid file, then, at `when`, the message
// goes out; the latency runs from just before sendto to the victim's handler.
void measureOne(tContestant& contestant, tNetlinkSender& sender, int64_t when) {
    tSigtermVictim victim;
    if (!victim.started() || !victim.writePidFile(contestant.pidFile)) {
        contestant.latency.addMiss();
        return;
    }
    sleepUntil(when);
    const int64_t sent = sender.send(contestant.port, kEventNotified, contestant.cookie);
    const int64_t received = victim.waitForSigterm(kSignalTimeoutMs);
    if (sent == 0 || received == 0) {
        contestant.latency.addMiss();
    } else {
        contestant.latency.add(received - sent);
    }
}

// For reference: the sender itself kills a fresh victim, from just before kill to the handler.
// What is left of a watcher's latency beyond this is the message, the wake-up and its own work.
void measureDirectKill(tLatencySeries& series, int64_t when) {
    tSigtermVictim victim;
    if (!victim.started()) {
        series.addMiss();
        return;
    }
    sleepUntil(when);
    const int64_t sent = monotonicNanoseconds();
    const int64_t received =
        ::kill(victim.pid(), SIGTERM) == 0 ? victim.waitForSigterm(kSignalTimeoutMs) : 0;
    if (received == 0) {
        series.addMiss();
    } else {
        series.add(received - sent);
    }
}

// Every round has one slot per watcher, in the given order, and one for the direct kill; each
// watcher gets one message every spacingMs.
void measureLatency(std::vector<tContestant>& contestants, const std::vector<size_t>& slots,
                    const tOptions& options, tNetlinkSender& sender, tLatencySeries& directKill) {
    const int64_t spacing = options.spacingMs * kNsPerMs;
    const int64_t slot = spacing / static_cast<int64_t>(slots.size() + 1);
    const int64_t start = monotonicNanoseconds() + 200 * kNsPerMs;
    for (int round = 0; round < options.rounds; ++round) {
        const int64_t roundStart = start + round * spacing;
        for (size_t i = 0; i < slots.size(); ++i) {
            measureOne(contestants[slots[i]], sender, roundStart + static_cast<int64_t>(i) * slot);
        }
        measureDirectKill(directKill, roundStart + static_cast<int64_t>(slots.size()) * slot);
    }
}

// Writes back the file's dirty page-cache pages. A binary built moments before still has them,
// and smaps counts such a page mapped by one process as that process's private dirty memory.
bool writeBack(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

// Size of a stripped copy of path, or -1.
int64_t strippedSize(const std::string& path, const std::string& strip, const std::string& dir) {
    const std::string copy = dir + "/stripped";
    std::string output;
    struct stat info {};
    const bool stripped =
        runCommand({strip, "-o", copy, path}, output) == 0 && ::stat(copy.c_str(), &info) == 0;
    ::unlink(copy.c_str());
    return stripped ? static_cast<int64_t>(info.st_size) : -1;
}

// The shared libraries ldd lists for path (file names, the kernel's vDSO left out), or false.
bool sharedLibraries(const std::string& path, const std::string& ldd,
                     std::vector<std::string>& names) {
    std::string output;
    if (runCommand({ldd, path}, output) != 0) {
        return false;
    }
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos) {
            continue;
        }
        std::string name = line.substr(first, line.find_first_of(" \t", first) - first);
        name = name.substr(name.rfind('/') + 1);
        if (name.rfind("linux-vdso.so", 0) != 0) {
            names.push_back(name);
        }
    }
    return !names.empty();
}

// True when names holds the C library and the loader and nothing else.
bool onlyLibcAndLoader(const std::vector<std::string>& names) {
    bool libc = false;
    bool loader = false;
    for (const std::string& name : names) {
        if (name.rfind("libc.so.", 0) == 0) {
            libc = true;
        } else if (name.rfind("ld-linux", 0) == 0) {
            loader = true;
        } else {
            return false;
        }
    }
    return libc && loader;
}

int64_t fileSize(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<int64_t>(info.st_size) : -1;
}

std::string cpuModel() {
    std::string cpuinfo;
    if (!readSmallFile("/proc/cpuinfo", cpuinfo)) {
        return "unknown";
    }
    const size_t key = cpuinfo.find("model name");
    const size_t colon = cpuinfo.find(':', key);
    if (key == std::string::npos || colon == std::string::npos) {
        return "unknown";
    }
    const size_t end = cpuinfo.find('\n', colon);
    return cpuinfo.substr(colon + 2, end - colon - 2);
}

// ---- The table ----

using tFigure = double;
constexpr tFigure kNone = -1.0;

std::string formatFigure(tFigure value, int decimals) {
    if (value < 0) {
        return "-";
    }
    char text[32];
    std::snprintf(text, sizeof(text), "%.*f", decimals, value);
    return text;
}

std::string formatRatio(tFigure value, tFigure floorValue) {
    if (value < 0 || floorValue <= 0) {
        return "-";
    }
    char text[32];
    std::snprintf(text, sizeof(text), "%.2fx", value / floorValue);
    return text;
}

// One row: the three figures (daemon, floor, Python) and the ratios of daemon and Python to the
// floor.
void printRow(const char* label, tFigure daemon, tFigure floorValue, tFigure python, int decimals) {
    std::printf("%-34s %12s %12s %12s %10s %10s\n", label, formatFigure(daemon, decimals).c_str(),
                formatFigure(floorValue, decimals).c_str(), formatFigure(python, decimals).c_str(),
                formatRatio(daemon, floorValue).c_str(), formatRatio(python, floorValue).c_str());
}

tFigure microseconds(int64_t nanoseconds) {
    return static_cast<tFigure>(nanoseconds) / 1000.0;
}

void printLatencyRows(const tContestant* c[3]) {
    printRow("latency median (us)", microseconds(c[0]->latency.median()),
             microseconds(c[1]->latency.median()), microseconds(c[2]->latency.median()), 1);
    printRow("latency p99 (us)", microseconds(c[0]->latency.quantile(0.99)),
             microseconds(c[1]->latency.quantile(0.99)), microseconds(c[2]->latency.quantile(0.99)),
             1);
    printRow("latency max (us)", microseconds(c[0]->latency.max()),
             microseconds(c[1]->latency.max()), microseconds(c[2]->latency.max()), 1);
    printRow("notifications measured", static_cast<tFigure>(c[0]->latency.count()),
             static_cast<tFigure>(c[1]->latency.count()),
             static_cast<tFigure>(c[2]->latency.count()), 0);
    printRow("notifications without a signal", static_cast<tFigure>(c[0]->latency.misses()),
             static_cast<tFigure>(c[1]->latency.misses()),
             static_cast<tFigure>(c[2]->latency.misses()), 0);
}

tFigure idleTicks(const tContestant& c) {
    return c.idleMeasured ? static_cast<tFigure>(c.idle.cpuTicks) : kNone;
}

tFigure idleSwitches(const tContestant& c) {
    return c.idleMeasured ? static_cast<tFigure>(c.idle.contextSwitches) : kNone;
}

tFigure idleNanoseconds(const tContestant& c) {
    return c.idleMeasured ? static_cast<tFigure>(c.idle.cpuNanoseconds) : kNone;
}

// On-CPU time (schedstat) per notification sent, in microseconds.
tFigure cpuPerNotification(const tContestant& c, int rounds) {
    return c.busyMeasured ? static_cast<tFigure>(c.busy.cpuNanoseconds) / 1000.0 / rounds : kNone;
}

tFigure switchesPerNotification(const tContestant& c, int rounds) {
    return c.busyMeasured ? static_cast<tFigure>(c.busy.contextSwitches) / rounds : kNone;
}

tFigure rssKb(const tContestant& c) {
    return c.memoryMeasured ? static_cast<tFigure>(c.memory.residentKb) : kNone;
}

tFigure dirtyKb(const tContestant& c) {
    return c.memoryMeasured ? static_cast<tFigure>(c.memory.privateDirtyKb) : kNone;
}

// "met" or "missed" for the daemon's figure against limit times the floor's.
void printRatioGoal(const char* what, double limit, tFigure daemon, tFigure floorValue) {
    const bool measured = daemon >= 0 && floorValue > 0;
    const double ratio = measured ? daemon / floorValue : 0;
    std::printf("goal: %s at most %.2fx the floor's: %s (%.2fx)\n", what, limit,
                measured && ratio <= limit ? "met" : "missed", ratio);
}

void printGoals(const tContestant& daemon, const tContestant& floorProgram,
                const tOptions& options) {
    std::printf("\n");
    printRatioGoal("median latency", 1.1, static_cast<tFigure>(daemon.latency.median()),
                   static_cast<tFigure>(floorProgram.latency.median()));
    printRatioGoal("VmRSS", 1.15, rssKb(daemon), rssKb(floorProgram));
    printRatioGoal("private dirty", 1.2, dirtyKb(daemon), dirtyKb(floorProgram));
    char what[64];
    std::snprintf(what, sizeof(what), "exec to ready (median of %d)", options.startups);
    printRatioGoal(what, 1.1, static_cast<tFigure>(daemon.startup.median()),
                   static_cast<tFigure>(floorProgram.startup.median()));
    const bool small = daemon.strippedBytes > 0 && daemon.strippedBytes <= kStrippedLimitBytes;
    std::printf("goal: stripped daemon at most %lld bytes (48 KiB): %s (%lld bytes)\n",
                static_cast<long long>(kStrippedLimitBytes), small ? "met" : "missed",
                static_cast<long long>(daemon.strippedBytes));
    std::printf("goal: shared libraries only the C library and the loader: %s\n",
                onlyLibcAndLoader(daemon.libraries) ? "met" : "missed");
    const bool idleZero = daemon.idleMeasured && daemon.idle.cpuTicks == 0 &&
                          daemon.idle.cpuNanoseconds == 0 && daemon.idle.contextSwitches == 0;
    std::printf("goal: no CPU and no context switch while idle: %s\n", idleZero ? "met" : "missed");
}

std::string placement(const tOptions& options) {
    const std::string watchers =
        options.watcherCpu >= 0 ? "watchers on CPU " + std::to_string(options.watcherCpu) : "";
    if (options.cpu < 0) {
        return watchers.empty() ? "no CPU pinning" : watchers + ", the rest not pinned";
    }
    const std::string rest = "on CPU " + std::to_string(options.cpu);
    return watchers.empty() ? "all " + rest
                            : watchers + ", the sender, victims and simulator " + rest;
}

void printTable(const std::vector<tContestant>& contestants, const tOptions& options,
                const tLatencySeries& directKill, int64_t scriptBytes) {
    const tContestant* c[3] = {&contestants[0], &contestants[1], &contestants[2]};
    utsname machine{};
    ::uname(&machine);
    std::printf("\nmachine: %ld CPUs, %s, kernel %s\n", ::sysconf(_SC_NPROCESSORS_ONLN),
                cpuModel().c_str(), machine.release);
    std::printf(
        "%d notifications per watcher, one every %d ms, slots in the order %s; sender and "
        "victims at SCHED_FIFO %d, watchers at SCHED_FIFO %d; %s\n\n",
        options.rounds, options.spacingMs, options.order.c_str(), kSenderPriority, kWatcherPriority,
        placement(options).c_str());
    std::printf("%-34s %12s %12s %12s %10s %10s\n", "", "daemon", "floor", "python", "daemon/fl",
                "python/fl");
    printLatencyRows(c);
    printRow("CPU time per notification (us)", cpuPerNotification(*c[0], options.rounds),
             cpuPerNotification(*c[1], options.rounds), cpuPerNotification(*c[2], options.rounds),
             1);
    printRow("context switches per notification", switchesPerNotification(*c[0], options.rounds),
             switchesPerNotification(*c[1], options.rounds),
             switchesPerNotification(*c[2], options.rounds), 2);
    char label[64];
    std::snprintf(label, sizeof(label), "idle CPU over %d s (ticks)", options.idleSeconds);
    printRow(label, idleTicks(*c[0]), idleTicks(*c[1]), idleTicks(*c[2]), 0);
    std::snprintf(label, sizeof(label), "idle context switches over %d s", options.idleSeconds);
    printRow(label, idleSwitches(*c[0]), idleSwitches(*c[1]), idleSwitches(*c[2]), 0);
    std::snprintf(label, sizeof(label), "idle CPU over %d s (ns, schedstat)", options.idleSeconds);
    printRow(label, idleNanoseconds(*c[0]), idleNanoseconds(*c[1]), idleNanoseconds(*c[2]), 0);
    printRow("VmRSS (KiB)", rssKb(*c[0]), rssKb(*c[1]), rssKb(*c[2]), 0);
    printRow("private dirty (KiB)", dirtyKb(*c[0]), dirtyKb(*c[1]), dirtyKb(*c[2]), 0);
    printRow("stripped binary (bytes)", static_cast<tFigure>(c[0]->strippedBytes),
             static_cast<tFigure>(c[1]->strippedBytes), static_cast<tFigure>(c[2]->strippedBytes),
             0);
    std::snprintf(label, sizeof(label), "exec to ready, median of %d (us)", options.startups);
    printRow(label, microseconds(c[0]->startup.median()), microseconds(c[1]->startup.median()),
             microseconds(c[2]->startup.median()), 1);
    std::snprintf(label, sizeof(label), "exec to ready, max of %d (us)", options.startups);
    printRow(label, microseconds(c[0]->startup.max()), microseconds(c[1]->startup.max()),
             microseconds(c[2]->startup.max()), 1);
    std::printf(
        "\nreference: the sender killing a fresh victim itself, no watcher: median %.1f us, "
        "p99 %.1f us, max %.1f us (%zu measured, %zu without a signal)\n",
        microseconds(directKill.median()), microseconds(directKill.quantile(0.99)),
        microseconds(directKill.max()), directKill.count(), directKill.misses());
    std::printf("python: the stripped size is the interpreter's; the script adds %lld bytes\n",
                static_cast<long long>(scriptBytes));
    std::printf(
        "exec to ready: daemon and floor until their switch to SCHED_FIFO, made right after the "
        "register request returned (same discovery, node, socket and register work in both); "
        "python until its port line\n");
    std::string libraries;
    for (const std::string& name : c[0]->libraries) {
        libraries += (libraries.empty() ? "" : ", ") + name;
    }
    std::printf("daemon's shared libraries (ldd): %s\n", libraries.c_str());

    printGoals(*c[0], *c[1], options);
    std::printf("daemon exit status on the release message: %d (0 expected)\n",
                c[0]->releaseStatus);
}

int run(const tOptions& options) {
    if (::geteuid() != 0) {
        return fail("must run as root") ? 0 : 1;
    }
    if (!enterPrivateMountNamespace()) {
        fail("cannot enter a private mount namespace");
        return 1;
    }
    char pattern[] = "/tmp/quorvabench.XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        fail("cannot create a work directory");
        return 1;
    }
    const std::string dir = pattern;
    (void)::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    // Inherited by every process started from here on.
    if (options.cpu >= 0) {
        if (!pinToCpu(options.cpu)) {
            fail("cannot pin to CPU " + std::to_string(options.cpu));
            return 1;
        }
    }

    for (const std::string& program : {options.daemon, options.floor, options.python}) {
        if (!writeBack(program)) {
            fail("cannot write back " + program);
            return 1;
        }
    }

    // The busy host, in place before anything is made or measured.
    tLaunchedProcess background;
    if (!options.background.empty()) {
        progress("setting up the busy host");
        tLaunchedProcess::tOptions backgroundOptions;
        backgroundOptions.captureStdout = true;
        std::string line;
        if (!background.start({"/bin/sh", "-c", options.background}, backgroundOptions) ||
            !background.readLine(kBackgroundTimeoutMs, line) || line != "ready") {
            fail("the background command did not get ready: " + line);
            return 1;
        }
    }

    std::vector<tContestant> contestants;
    contestants.reserve(kWatcherCount);
    const tKind kinds[kWatcherCount] = {tKind::kDaemon, tKind::kFloor, tKind::kPython};
    for (size_t i = 0; i < kWatcherCount; ++i) {
        contestants.emplace_back(kWatcherNames[i], kinds[i],
                                 pidFileOf(kWatcherNames[i], dir, options));
    }
    for (const tContestant& contestant : contestants) {
        if (!resetPidFile(contestant.pidFile)) {
            fail("cannot write " + contestant.pidFile);
            return 1;
        }
    }

    tSimulator simulator(options.simulator, dir + "/control.sock");
    tNetlinkSender sender;
    std::string error;
    if (!sender.ready()) {
        fail("cannot open a NETLINK_GENERIC socket");
        return 1;
    }
    if (!simulator.start(error)) {
        fail(error);
        return 1;
    }

    progress("measuring start-up");
    // The benchmark polls each starting watcher's policy every ~10 us. At SCHED_IDLE the polling
    // runs only when its CPU has nothing else to do, so it never holds up the simulator's answers
    // to the watcher; its children start at SCHED_OTHER again.
    const sched_param idle{};
    if (::sched_setscheduler(0, SCHED_IDLE | SCHED_RESET_ON_FORK, &idle) != 0) {
        fail("cannot switch to SCHED_IDLE");
        return 1;
    }
    if (!measureStartups(contestants, options, simulator, sender) || !setOwnPriority(0)) {
        return 1;
    }
    for (tContestant& contestant : contestants) {
        if (!launch(contestant, options, simulator)) {
            return 1;
        }
    }
    ::sleep(1);
    progress("measuring the idle cost");
    if (!measureIdle(contestants, options)) {
        return 1;
    }
    measureMemory(contestants);
    int refused = 0;
    if (options.walks > 0) {
        progress("walking a pid file with quorvamonitord-check");
        refused = refusedWalks(dir, options);
    }

    progress("measuring latency");
    if (!setOwnPriority(kSenderPriority)) {
        fail("cannot switch to SCHED_FIFO");
        return 1;
    }
    tLatencySeries directKill;
    std::vector<tProcessCost> beforeLatency;
    std::vector<tProcessCost> afterLatency;
    const bool costsBefore = readCosts(contestants, beforeLatency);
    measureLatency(contestants, options.slots, options, sender, directKill);
    setOwnPriority(0);
    ::sleep(1);  // the daemon's pause after the last signal
    if (costsBefore && readCosts(contestants, afterLatency)) {
        for (size_t i = 0; i < contestants.size(); ++i) {
            contestants[i].busy = costSince(beforeLatency[i], afterLatency[i]);
            contestants[i].busyMeasured = true;
        }
    }

    for (auto contestant = contestants.rbegin(); contestant != contestants.rend(); ++contestant) {
        release(*contestant, simulator, sender);
    }
    simulator.stop();
    if (background.running()) {
        background.stop(kExitTimeoutMs);
    }

    contestants[0].strippedBytes = strippedSize(options.daemon, options.strip, dir);
    if (!sharedLibraries(options.daemon, options.ldd, contestants[0].libraries)) {
        fail("cannot list the daemon's shared libraries with " + options.ldd);
    }
    contestants[1].strippedBytes = strippedSize(options.floor, options.strip, dir);
    contestants[2].strippedBytes = strippedSize(options.python, options.strip, dir);
    const int64_t scriptBytes = fileSize(options.script);
    for (const tContestant& contestant : contestants) {
        ::unlink(contestant.pidFile.c_str());
        if (!options.pidDir.empty()) {
            ::rmdir(contestant.pidFile.substr(0, contestant.pidFile.rfind('/')).c_str());
        }
    }
    ::rmdir(dir.c_str());

    printTable(contestants, options, directKill, scriptBytes);
    if (!options.background.empty()) {
        std::printf("busy host: %s; the daemon judged mounts %s\n", options.background.c_str(),
                    options.mountLookup == "table" ? "in the mount table (statmount refused)"
                                                   : "by asking the kernel where it can");
    }
    if (options.walks > 0) {
        std::printf("quorvamonitord-check on a root pid file in %s: refused in %d of %d runs\n",
                    options.pidDir.c_str(), refused, options.walks);
    }
    return contestants[0].releaseStatus == 0 ? 0 : 1;
}

}  // namespace
}  // namespace nQVBENCH
}  // namespace nQUORVAMONITORD_18_5

int main(int argc, char** argv) {
    nQUORVAMONITORD_18_5::nQVBENCH::tOptions options;
    if (!nQUORVAMONITORD_18_5::nQVBENCH::parseOptions(argc, argv, options)) {
        return 2;
    }
    return nQUORVAMONITORD_18_5::nQVBENCH::run(options);
}
