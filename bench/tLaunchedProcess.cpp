#include "bench/tLaunchedProcess.h"

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stddef.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "bench/monotonicClock.h"

namespace nQUORVAMONITORD_18_5 {
namespace nQVBENCH {
namespace {

constexpr int64_t kNanosecondsPerMs = 1000000;

// Milliseconds left until deadline (nanoseconds), at least 0.
int remainingMs(int64_t deadline) {
    const int64_t left = deadline - monotonicNanoseconds();
    return left <= 0 ? 0 : static_cast<int>((left + kNanosecondsPerMs - 1) / kNanosecondsPerMs);
}

// Makes the system call number fail with error from now on, in this process and what it execs.
bool refuseSystemCall(int number, int error) {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(number), 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<uint32_t>(error)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program{sizeof filter / sizeof filter[0], filter};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// Runs in the child between fork and exec: only async-signal-safe calls.
[[noreturn]] void execChild(char** argv, int outputWrite, const tLaunchedProcess::tOptions& options,
                            volatile int64_t* execTime) {
    const int cpu = options.cpu;
    const int fifoPriority = options.fifoPriority;
    if (outputWrite >= 0 && ::dup2(outputWrite, STDOUT_FILENO) < 0) {
        ::_exit(127);
    }
    if (cpu >= 0) {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(cpu, &set);
        if (::sched_setaffinity(0, sizeof(set), &set) != 0) {
            ::_exit(127);
        }
    }
    sched_param param{};
    param.sched_priority = fifoPriority;
    if (::sched_setscheduler(0, fifoPriority > 0 ? SCHED_FIFO : SCHED_OTHER, &param) != 0) {
        ::_exit(127);
    }
    if (options.refusedSystemCall >= 0 && !refuseSystemCall(options.refusedSystemCall, ENOSYS)) {
        ::_exit(127);
    }
    *execTime = monotonicNanoseconds();
    ::execv(argv[0], argv);
    ::_exit(127);
}

}  // namespace

tLaunchedProcess::~tLaunchedProcess() {
    if (running()) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (output_ >= 0) {
        ::close(output_);
    }
    if (execTime_ != nullptr) {
        ::munmap(const_cast<int64_t*>(execTime_), sizeof(int64_t));
    }
}

bool tLaunchedProcess::start(const std::vector<std::string>& argv, const tOptions& options) {
    void* page =
        ::mmap(nullptr, sizeof(int64_t), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) {
        return false;
    }
    execTime_ = static_cast<volatile int64_t*>(page);
    *execTime_ = 0;

    int pipeEnds[2] = {-1, -1};
    if (options.captureStdout && ::pipe2(pipeEnds, O_CLOEXEC) != 0) {
        return false;
    }
    std::vector<char*> arguments;
    arguments.reserve(argv.size() + 1);
    for (const std::string& argument : argv) {
        arguments.push_back(const_cast<char*>(argument.c_str()));
    }
    arguments.push_back(nullptr);

    pid_ = ::fork();
    if (pid_ == 0) {
        execChild(arguments.data(), pipeEnds[1], options, execTime_);
    }
    if (pipeEnds[1] >= 0) {
        ::close(pipeEnds[1]);
    }
    output_ = pipeEnds[0];
    return pid_ > 0;
}

int64_t tLaunchedProcess::execTime() const {
    return execTime_ == nullptr ? 0 : *execTime_;
}

bool tLaunchedProcess::readLine(int timeoutMs, std::string& line, int64_t* whenNs) {
    const int64_t deadline = monotonicNanoseconds() + timeoutMs * kNanosecondsPerMs;
    for (;;) {
        const size_t newline = pending_.find('\n');
        if (newline != std::string::npos) {
            line = pending_.substr(0, newline);
            pending_.erase(0, newline + 1);
            return true;
        }
        if (output_ < 0) {
            return false;
        }
        pollfd entry{output_, POLLIN, 0};
        const int ready = ::poll(&entry, 1, remainingMs(deadline));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return false;
        }
        char chunk[512];
        const ssize_t count = ::read(output_, chunk, sizeof(chunk));
        if (whenNs != nullptr) {
            *whenNs = monotonicNanoseconds();
        }
        if (count <= 0) {
            return false;
        }
        pending_.append(chunk, static_cast<size_t>(count));
    }
}

std::string tLaunchedProcess::readAll(int timeoutMs) {
    const int64_t deadline = monotonicNanoseconds() + timeoutMs * kNanosecondsPerMs;
    while (output_ >= 0) {
        pollfd entry{output_, POLLIN, 0};
        const int ready = ::poll(&entry, 1, remainingMs(deadline));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            break;
        }
        char chunk[4096];
        const ssize_t count = ::read(output_, chunk, sizeof(chunk));
        if (count <= 0) {
            break;
        }
        pending_.append(chunk, static_cast<size_t>(count));
    }
    std::string all;
    all.swap(pending_);
    return all;
}

bool tLaunchedProcess::waitExit(int timeoutMs, int& status) {
    if (pid_ <= 0 || reaped_) {
        return false;
    }
    const int64_t deadline = monotonicNanoseconds() + timeoutMs * kNanosecondsPerMs;
    for (;;) {
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            reaped_ = true;
            return true;
        }
        if (done < 0 && errno != EINTR) {
            return false;
        }
        if (monotonicNanoseconds() >= deadline) {
            return false;
        }
        ::usleep(1000);
    }
}

int tLaunchedProcess::stop(int timeoutMs) {
    int status = 0;
    if (!running()) {
        return status;
    }
    ::kill(pid_, SIGTERM);
    if (!waitExit(timeoutMs, status)) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        reaped_ = true;
    }
    return status;
}

int runCommand(const std::vector<std::string>& argv, std::string& output, int timeoutMs) {
    tLaunchedProcess process;
    tLaunchedProcess::tOptions options;
    options.captureStdout = true;
    if (!process.start(argv, options)) {
        return -1;
    }
    output = process.readAll(timeoutMs);
    int status = 0;
    if (!process.waitExit(timeoutMs, status)) {
        process.stop(1000);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace nQVBENCH
}  // namespace nQUORVAMONITORD_18_5
