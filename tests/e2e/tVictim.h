// A process for the daemon to stop: it writes a pid file naming itself and, when SIGTERM
// arrives, reports the moment (CLOCK_MONOTONIC) to the test and ends.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace nQUORVAMONITORD_18_5 {

class tVictim {
  public:
    // Starts the process and writes its pid to pidFilePath (root-owned, mode 0644).
    explicit tVictim(const std::string& pidFilePath);
    // Ends the process with SIGKILL if it still runs.
    ~tVictim();
    tVictim(const tVictim&) = delete;
    tVictim& operator=(const tVictim&) = delete;

    pid_t pid() const { return pid_; }

    // Waits up to timeoutMs for the SIGTERM report; returns the monotonic time of receipt in
    // nanoseconds, or 0 if none came.
    int64_t waitForSigterm(int timeoutMs);

  private:
    pid_t pid_ = -1;
    int reportRead_ = -1;
    bool reaped_ = false;
};

// The current CLOCK_MONOTONIC time in nanoseconds.
int64_t monotonicNanoseconds();

}  // namespace nQUORVAMONITORD_18_5
