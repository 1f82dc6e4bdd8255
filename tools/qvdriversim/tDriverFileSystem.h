// Serves a tSimulatedDriver as a FUSE file system and runs it until a signal ends the loop.
#pragma once

#include <string>

#include "tools/qvdriversim/tSimulatedDriver.h"

struct fuse;

namespace nQUORVAMONITORD_18_5 {
namespace nQVDRIVERSIM {

class tDriverFileSystem {
  public:
    explicit tDriverFileSystem(tSimulatedDriver& driver) : driver_(driver) {}
    ~tDriverFileSystem();
    tDriverFileSystem(const tDriverFileSystem&) = delete;
    tDriverFileSystem& operator=(const tDriverFileSystem&) = delete;

    // Mounts at mountDir and installs the SIGTERM/SIGINT/SIGHUP handlers that end run().
    bool mount(const std::string& mountDir, std::string& error);

    // Serves requests on the calling thread until a signal arrives; then unmounts.
    bool run(std::string& error);

  private:
    tSimulatedDriver& driver_;
    fuse* fuse_ = nullptr;
    bool mounted_ = false;
    bool handlersSet_ = false;
};

}  // namespace nQVDRIVERSIM
}  // namespace nQUORVAMONITORD_18_5
