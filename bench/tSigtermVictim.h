// A process for a watcher to stop: it catches SIGTERM, reads CLOCK_MONOTONIC in the handler and
// reports that moment to its parent through a pipe, then ends.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace nQUORVAMONITORD_18_5 {
namespace nQVBENCH {

class tSigtermVictim {
  public:
    // Forks the process and returns once its handler is in place. The child inherits the
    // caller's scheduling policy.
    tSigtermVictim();
    // Ends the process with SIGKILL if it still runs, and reaps it.
    ~tSigtermVictim();
    tSigtermVictim(const tSigtermVictim&) = delete;
    tSigtermVictim& operator=(const tSigtermVictim&) = delete;

    bool started() const { return pid_ > 0 && reportRead_ >= 0; }
    pid_t pid() const { return pid_; }

    // Replaces the content of pidFile with this process's id and a newline (mode 0644).
    bool writePidFile(const std::string& pidFile) const;

    // Waits up to timeoutMs for the report; returns the monotonic time of receipt in
    // nanoseconds, or 0 if none came.
    int64_t waitForSigterm(int timeoutMs);

  private:
    pid_t pid_ = -1;
    int reportRead_ = -1;
    bool reaped_ = false;
};

}  // namespace nQVBENCH
}  // namespace nQUORVAMONITORD_18_5
