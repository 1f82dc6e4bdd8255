#include "bench/tSigtermVictim.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "bench/monotonicClock.h"

namespace nQUORVAMONITORD_18_5 {
namespace nQVBENCH {
namespace {

int gReportWrite = -1;

// The first thing the process does on SIGTERM: take the time, report it, end.
void reportSigterm(int) {
    const int64_t now = monotonicNanoseconds();
    (void)!::write(gReportWrite, &now, sizeof(now));
    ::_exit(0);
}

[[noreturn]] void runVictim(int reportWrite, int readyWrite) {
    gReportWrite = reportWrite;
    struct sigaction action {};
    action.sa_handler = reportSigterm;
    ::sigemptyset(&action.sa_mask);
    if (::sigaction(SIGTERM, &action, nullptr) != 0) {
        ::_exit(1);
    }
    ::close(readyWrite);  // the parent's read returns: the handler is in place
    for (;;) {
        ::pause();
    }
}

}  // namespace

tSigtermVictim::tSigtermVictim() {
    int report[2];
    int ready[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        return;
    }
    if (::pipe2(ready, O_CLOEXEC) != 0) {
        ::close(report[0]);
        ::close(report[1]);
        return;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
        ::close(report[0]);
        ::close(ready[0]);
        runVictim(report[1], ready[1]);
    }
    ::close(report[1]);
    ::close(ready[1]);
    if (pid_ < 0) {
        ::close(report[0]);
        ::close(ready[0]);
        return;
    }
    char byte;
    while (::read(ready[0], &byte, 1) < 0 && errno == EINTR) {
    }
    ::close(ready[0]);
    reportRead_ = report[0];
}

tSigtermVictim::~tSigtermVictim() {
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (reportRead_ >= 0) {
        ::close(reportRead_);
    }
}

bool tSigtermVictim::writePidFile(const std::string& pidFile) const {
    const int fd = ::open(pidFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    char text[32];
    const int length = std::snprintf(text, sizeof(text), "%d\n", static_cast<int>(pid_));
    const bool written = length > 0 && ::write(fd, text, static_cast<size_t>(length)) == length;
    return ::close(fd) == 0 && written;
}

int64_t tSigtermVictim::waitForSigterm(int timeoutMs) {
    if (!started()) {
        return 0;
    }
    pollfd entry{reportRead_, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&entry, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready != 1) {
        return 0;
    }
    int64_t when = 0;
    if (::read(reportRead_, &when, sizeof(when)) != static_cast<ssize_t>(sizeof(when))) {
        return 0;
    }
    ::waitpid(pid_, nullptr, 0);
    reaped_ = true;
    return when;
}

}  // namespace nQVBENCH
}  // namespace nQUORVAMONITORD_18_5
