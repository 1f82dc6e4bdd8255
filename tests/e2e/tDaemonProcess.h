// The built daemon, started as a child process of the test with its output captured.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace nQUORVAMONITORD_18_5 {

class tDaemonProcess {
  public:
    // Starts `prefix... QV_DAEMON_PATH args...` (prefix: e.g. a tracer or valgrind command) in a
    // process group of its own.
    explicit tDaemonProcess(const std::vector<std::string>& args,
                            const std::vector<std::string>& prefix = {});
    // Ends the whole process group with SIGKILL: the daemon, and the tracer it may run under
    // (killing the tracer alone would leave the traced daemon running).
    ~tDaemonProcess();
    tDaemonProcess(const tDaemonProcess&) = delete;
    tDaemonProcess& operator=(const tDaemonProcess&) = delete;

    pid_t pid() const { return pid_; }

    // Waits up to timeoutMs for the daemon to end; returns its exit status, 128 + the signal
    // number if a signal ended it, or -1 if it still runs.
    int waitForExit(int timeoutMs);

    bool running();

    // Everything the daemon wrote to standard output and standard error.
    std::string output() const;

  private:
    pid_t pid_ = -1;
    int exitStatus_ = -1;
    std::string outputPath_;
};

}  // namespace nQUORVAMONITORD_18_5
