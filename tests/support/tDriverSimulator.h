// Runs `qvdriversim serve` for a test: writes the configuration to a temporary file, mounts at
// the given directory (by default /proc/driver; tests that use it run in a private mount
// namespace), uses a control socket of its own, waits (bounded) for the "ready" line, runs
// control commands and reads the log. The destructor stops the simulator by its pid.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "tests/support/tChildProcess.h"
#include "tools/qvdriversim/deviceRequests.h"

namespace nQUORVAMONITORD_18_5 {

class tDriverSimulator {
  public:
    static constexpr int kStartTimeoutMs = 10000;
    static constexpr int kCommandTimeoutMs = 10000;
    static constexpr int kStopTimeoutMs = 5000;

    // Starts the simulator. Without a configuration text it presents its default device; with
    // one (even an empty one) exactly what the text describes. Check ready() afterwards.
    explicit tDriverSimulator(std::optional<std::string> configText = std::nullopt,
                              std::string mountDir = "/proc/driver");
    ~tDriverSimulator();
    tDriverSimulator(const tDriverSimulator&) = delete;
    tDriverSimulator& operator=(const tDriverSimulator&) = delete;

    // True once the simulator printed "ready"; otherwise startError() says why not.
    bool ready() const { return ready_; }
    const std::string& startError() const { return startError_; }

    // Runs `qvdriversim <args> --control <this simulator's socket>`.
    tCommandResult command(std::vector<std::string> args) const;

    // The simulator's log, one entry per line; empty when it cannot be read.
    std::vector<std::string> log() const;

    // Waits until a line of the log contains part; true if one did within timeoutMs.
    bool waitForLog(const std::string& part, int timeoutMs = 5000) const;

    // Stops the simulator (SIGTERM, bounded wait, then SIGKILL) and returns its exit status;
    // -1 when it was not running.
    int stop();

    pid_t pid() const { return process_.pid(); }
    const std::string& controlPath() const { return controlPath_; }
    const std::string& mountDir() const { return mountDir_; }
    // The standard error written so far.
    std::string errors() const;

    // The simulator executable built with the tests.
    static std::string toolPath();

    // Runs `qvdriversim <args>` to its end, with no control socket added.
    static tCommandResult runTool(const std::vector<std::string>& args,
                                  int timeoutMs = kCommandTimeoutMs);

  private:
    std::string mountDir_;
    std::string controlPath_;
    std::string configPath_;
    std::string errorsPath_;
    tChildProcess process_;
    bool ready_ = false;
    std::string startError_;
};

}  // namespace nQUORVAMONITORD_18_5
