// The driver simulator as the benchmark uses it: started with its own control socket, asked
// for its log, released and stopped.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "bench/tLaunchedProcess.h"

namespace nQUORVAMONITORD_18_5 {
namespace nQVBENCH {

class tSimulator {
  public:
    tSimulator(std::string program, std::string controlPath);
    ~tSimulator();
    tSimulator(const tSimulator&) = delete;
    tSimulator& operator=(const tSimulator&) = delete;

    // Starts "serve" at the default mount directory and waits for its "ready" line.
    bool start(std::string& error);

    // Runs one client command against this simulator; returns its exit status (-1 if it did not
    // run) and its output.
    int command(std::vector<std::string> args, std::string& output) const;

    // The port and cookie of the last successful registration in the log.
    bool lastRegistration(uint32_t& port, uint64_t& cookie) const;

    // SIGTERM (the simulator unmounts), then a bounded wait.
    void stop();

    // Reads port and cookie from a log line of a successful registration; false for any other
    // line.
    static bool parseRegistration(std::string_view line, uint32_t& port, uint64_t& cookie);

  private:
    std::string program_;
    std::string controlPath_;
    tLaunchedProcess process_;
};

}  // namespace nQVBENCH
}  // namespace nQUORVAMONITORD_18_5
