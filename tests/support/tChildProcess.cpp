#include "tests/support/tChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace nQUORVAMONITORD_18_5 {

namespace {

int64_t nowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int decodeStatus(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return -1;
}

// In the forked child: only async-signal-safe calls until exec.
[[noreturn]] void execChild(char* const* argv, int output, int errors, int mountNamespace) {
    if (mountNamespace >= 0 && setns(mountNamespace, CLONE_NEWNS) == -1) {
        _exit(126);
    }
    if (dup2(output, STDOUT_FILENO) == -1 || dup2(errors, STDERR_FILENO) == -1) {
        _exit(126);
    }
    const int devNull = open("/dev/null", O_RDONLY);
    if (devNull != -1) {
        dup2(devNull, STDIN_FILENO);
    }
    execv(argv[0], argv);
    _exit(127);
}

std::vector<char*> pointers(const std::vector<std::string>& argv) {
    std::vector<char*> result;
    for (const std::string& arg : argv) {
        result.push_back(const_cast<char*>(arg.c_str()));
    }
    result.push_back(nullptr);
    return result;
}

}  // namespace

tChildProcess::~tChildProcess() {
    if (running()) {
        stop(5000);
    }
    if (output_ != -1) {
        ::close(output_);
    }
}

bool tChildProcess::start(const std::vector<std::string>& argv, const std::string& errorsFile,
                          std::string& error, int mountNamespace) {
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) == -1) {
        error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    const int errors = ::open(errorsFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (errors == -1) {
        error = "open " + errorsFile + ": " + std::strerror(errno);
        ::close(pipeEnds[0]);
        ::close(pipeEnds[1]);
        return false;
    }
    const std::vector<char*> args = pointers(argv);
    const pid_t child = ::fork();
    if (child == 0) {
        execChild(args.data(), pipeEnds[1], errors, mountNamespace);
    }
    const int forkError = errno;
    ::close(pipeEnds[1]);
    ::close(errors);
    if (child == -1) {
        ::close(pipeEnds[0]);
        error = std::string("fork: ") + std::strerror(forkError);
        return false;
    }
    pid_ = child;
    output_ = pipeEnds[0];
    return true;
}

bool tChildProcess::waitForLine(const std::string& line, int timeoutMs, std::string& output) {
    const int64_t deadline = nowMs() + timeoutMs;
    size_t lineStart = 0;
    for (;;) {
        size_t newline;
        while ((newline = output.find('\n', lineStart)) != std::string::npos) {
            if (output.compare(lineStart, newline - lineStart, line) == 0) {
                return true;
            }
            lineStart = newline + 1;
        }
        const int64_t left = deadline - nowMs();
        if (left <= 0) {
            return false;
        }
        pollfd entry{output_, POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return false;
        }
        char buffer[4096];
        const ssize_t count = ::read(output_, buffer, sizeof buffer);
        if (count <= 0) {
            return false;
        }
        output.append(buffer, static_cast<size_t>(count));
    }
}

bool tChildProcess::waitForExit(int timeoutMs, int& exitStatus) {
    if (!running()) {
        return false;
    }
    const int64_t deadline = nowMs() + timeoutMs;
    for (;;) {
        int status = 0;
        const pid_t ended = ::waitpid(pid_, &status, WNOHANG);
        if (ended == pid_) {
            pid_ = -1;
            exitStatus = decodeStatus(status);
            return true;
        }
        if (ended == -1 && errno != EINTR) {
            pid_ = -1;
            exitStatus = -1;
            return true;
        }
        if (nowMs() >= deadline) {
            return false;
        }
        ::usleep(5000);
    }
}

int tChildProcess::stop(int timeoutMs) {
    if (!running()) {
        return -1;
    }
    int exitStatus = -1;
    ::kill(pid_, SIGTERM);
    if (waitForExit(timeoutMs, exitStatus)) {
        return exitStatus;
    }
    ::kill(pid_, SIGKILL);
    waitForExit(timeoutMs, exitStatus);
    return exitStatus;
}

tCommandResult tChildProcess::run(const std::vector<std::string>& argv, int timeoutMs,
                                  int mountNamespace) {
    tCommandResult result;
    int outputPipe[2];
    int errorsPipe[2];
    if (::pipe2(outputPipe, O_CLOEXEC) == -1) {
        result.errors = "pipe failed";
        return result;
    }
    if (::pipe2(errorsPipe, O_CLOEXEC) == -1) {
        ::close(outputPipe[0]);
        ::close(outputPipe[1]);
        result.errors = "pipe failed";
        return result;
    }
    const std::vector<char*> args = pointers(argv);
    const pid_t child = ::fork();
    if (child == 0) {
        execChild(args.data(), outputPipe[1], errorsPipe[1], mountNamespace);
    }
    ::close(outputPipe[1]);
    ::close(errorsPipe[1]);
    if (child == -1) {
        ::close(outputPipe[0]);
        ::close(errorsPipe[0]);
        result.errors = "fork failed";
        return result;
    }
    const int64_t deadline = nowMs() + timeoutMs;
    pollfd entries[2] = {{outputPipe[0], POLLIN, 0}, {errorsPipe[0], POLLIN, 0}};
    std::string* targets[2] = {&result.output, &result.errors};
    int open = 2;
    while (open > 0 && nowMs() < deadline) {
        const int ready = ::poll(entries, 2, static_cast<int>(deadline - nowMs()));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (entries[i].fd < 0 || entries[i].revents == 0) {
                continue;
            }
            char buffer[4096];
            const ssize_t count = ::read(entries[i].fd, buffer, sizeof buffer);
            if (count > 0) {
                targets[i]->append(buffer, static_cast<size_t>(count));
            } else if (count == 0 || errno != EINTR) {
                entries[i].fd = -1;
                --open;
            }
        }
    }
    ::close(outputPipe[0]);
    ::close(errorsPipe[0]);
    tChildProcess process;
    process.pid_ = child;
    const int64_t left = deadline - nowMs();
    if (!process.waitForExit(left > 0 ? static_cast<int>(left) : 0, result.exitStatus)) {
        process.stop(1000);
        result.exitStatus = -1;
    }
    return result;
}

pid_t startWithIds(uid_t real, uid_t effective, uid_t saved, const char* name) {
    int ready[2];
    if (pipe(ready) != 0) {
        return -1;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(ready[0]);
        if ((name != nullptr && prctl(PR_SET_NAME, name) != 0) ||
            setresuid(real, effective, saved) != 0 || prctl(PR_SET_DUMPABLE, 1) != 0) {
            _exit(3);
        }
        (void)!write(ready[1], "x", 1);
        for (;;) {
            pause();
        }
    }
    close(ready[1]);
    char byte = 0;
    const bool started = pid > 0 && read(ready[0], &byte, 1) == 1;
    close(ready[0]);
    if (pid > 0 && !started) {
        waitpid(pid, nullptr, 0);
    }
    return started ? pid : -1;
}

}  // namespace nQUORVAMONITORD_18_5
