// The Unix socket address of the control socket, shared by the server and the client.
#pragma once

#include <sys/un.h>

#include <string>

namespace nQUORVAMONITORD_18_5 {
namespace nQVDRIVERSIM {

inline constexpr const char* kDefaultControlPath = "/run/qvdriversim.sock";
inline constexpr const char* kControlEnvironment = "QVDRIVERSIM_CONTROL";
// The control file of the kernel module qvdrivermod, in debugfs; --kernel names it.
inline constexpr const char* kKernelControlPath = "/sys/kernel/debug/qvdrivermod/control";

// Fills address for path; false with a message when the path is empty or too long.
bool makeControlAddress(const std::string& path, sockaddr_un& address, std::string& error);

// --control wins, then $QVDRIVERSIM_CONTROL, then the default path.
std::string chooseControlPath(const std::string& option);

}  // namespace nQVDRIVERSIM
}  // namespace nQUORVAMONITORD_18_5
