// A program the benchmark starts: optionally with its standard output on a pipe and at a
// real-time priority. The child records the CLOCK_MONOTONIC time just before its exec, so start-up
// figures begin at the exec itself rather than at the fork.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace nQUORVAMONITORD_18_5 {
namespace nQVBENCH {

class tLaunchedProcess {
  public:
    struct tOptions {
        bool captureStdout = false;
        int fifoPriority = 0;  // 0: SCHED_OTHER; otherwise SCHED_FIFO at this priority
        int cpu = -1;          // >= 0: the process runs on this CPU only, from its exec on
        // >= 0: this system call fails with ENOSYS in the process, as under a filter that does
        // not know it.
        int refusedSystemCall = -1;
    };

    tLaunchedProcess() = default;
    // Stops the process if it still runs (SIGKILL) and reaps it.
    ~tLaunchedProcess();
    tLaunchedProcess(const tLaunchedProcess&) = delete;
    tLaunchedProcess& operator=(const tLaunchedProcess&) = delete;

    // Starts argv[0] with the arguments argv. False if the fork, the pipe or the exec failed.
    bool start(const std::vector<std::string>& argv, const tOptions& options);

    pid_t pid() const { return pid_; }
    bool running() const { return pid_ > 0 && !reaped_; }

    // CLOCK_MONOTONIC nanoseconds taken in the child just before execv.
    int64_t execTime() const;

    // Reads one line of the captured output (without its newline). whenNs, if given, gets the
    // time the line was complete. False on timeout or end of output.
    bool readLine(int timeoutMs, std::string& line, int64_t* whenNs = nullptr);

    // Reads the captured output until its end or the timeout.
    std::string readAll(int timeoutMs);

    // Waits up to timeoutMs for the process to end; true with its wait status.
    bool waitExit(int timeoutMs, int& status);

    // SIGTERM, a bounded wait, then SIGKILL. Returns the wait status.
    int stop(int timeoutMs);

  private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    int output_ = -1;
    std::string pending_;
    volatile int64_t* execTime_ = nullptr;  // a page shared with the child
};

// Runs argv to its end (bounded) with its output captured; returns the exit status, or -1.
int runCommand(const std::vector<std::string>& argv, std::string& output, int timeoutMs = 10000);

}  // namespace nQVBENCH
}  // namespace nQUORVAMONITORD_18_5
