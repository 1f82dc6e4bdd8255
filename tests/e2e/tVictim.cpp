#include "tests/e2e/tVictim.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>

namespace nQUORVAMONITORD_18_5 {
namespace {

int gReportWrite = -1;

void reportSigterm(int) {
    const int64_t now = monotonicNanoseconds();
    (void)!write(gReportWrite, &now, sizeof now);
    _exit(0);
}

}  // namespace

int64_t monotonicNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

tVictim::tVictim(const std::string& pidFilePath) {
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        return;
    }
    // The handler is in place before the pid file names the process.
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) {
        return;
    }
    pid_ = fork();
    if (pid_ == 0) {
        close(report[0]);
        close(ready[0]);
        gReportWrite = report[1];
        struct sigaction action {};
        action.sa_handler = reportSigterm;
        sigaction(SIGTERM, &action, nullptr);
        close(ready[1]);
        for (;;) {
            pause();
        }
    }
    close(report[1]);
    close(ready[1]);
    char byte;
    (void)!read(ready[0], &byte, 1);  // returns at the child's close
    close(ready[0]);
    reportRead_ = report[0];
    std::ofstream(pidFilePath, std::ios::trunc) << pid_ << "\n";
    chmod(pidFilePath.c_str(), 0644);
}

tVictim::~tVictim() {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (reportRead_ >= 0) {
        close(reportRead_);
    }
}

int64_t tVictim::waitForSigterm(int timeoutMs) {
    pollfd entry{reportRead_, POLLIN, 0};
    if (poll(&entry, 1, timeoutMs) != 1) {
        return 0;
    }
    int64_t when = 0;
    if (read(reportRead_, &when, sizeof when) != sizeof when) {
        return 0;
    }
    waitpid(pid_, nullptr, 0);
    reaped_ = true;
    return when;
}

}  // namespace nQUORVAMONITORD_18_5
