// `qvdriversim serve`: mounts the simulated driver and serves it until SIGTERM or SIGINT.
#pragma once

#include <string>
#include <vector>

namespace nQUORVAMONITORD_18_5 {
namespace nQVDRIVERSIM {

// args are the options after "serve". Returns the exit status: 0 after a clean stop, 1 when
// setting up failed, 2 for a malformed command line or configuration.
int runServe(const std::vector<std::string>& args);

// `qvdriversim check-config FILE`: parses FILE and reports the first error.
int runCheckConfig(const std::vector<std::string>& args);

// Refuses a mount directory at or under /proc while this process shares the mount namespace
// of process 1, where the mount would replace the machine's own driver tree.
bool mountAllowed(const std::string& mountDir, std::string& error);

}  // namespace nQVDRIVERSIM
}  // namespace nQUORVAMONITORD_18_5
