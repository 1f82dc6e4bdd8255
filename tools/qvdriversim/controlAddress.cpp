#include "tools/qvdriversim/controlAddress.h"

#include <sys/socket.h>

#include <cstdlib>
#include <cstring>

namespace nQUORVAMONITORD_18_5 {
namespace nQVDRIVERSIM {

bool makeControlAddress(const std::string& path, sockaddr_un& address, std::string& error) {
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        error = "control socket path must be 1 to " + std::to_string(sizeof address.sun_path - 1) +
                " bytes long: '" + path + "'";
        return false;
    }
    std::memcpy(address.sun_path, path.data(), path.size());
    return true;
}

std::string chooseControlPath(const std::string& option) {
    if (!option.empty()) {
        return option;
    }
    const char* environment = std::getenv(kControlEnvironment);
    if (environment != nullptr && environment[0] != '\0') {
        return environment;
    }
    return kDefaultControlPath;
}

}  // namespace nQVDRIVERSIM
}  // namespace nQUORVAMONITORD_18_5
