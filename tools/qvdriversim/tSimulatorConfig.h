// What the simulated driver presents: its devices, their interface directories and the faults
// to inject. Read from a line-based text (see README.md); without one, a single healthy device.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace nQUORVAMONITORD_18_5 {
namespace nQVDRIVERSIM {

// An injected failure: the first `count` attempts fail with `error`; error 0 means none.
struct tFault {
    int error = 0;
    uint64_t count = std::numeric_limits<uint64_t>::max();
};

struct tInterfaceConfig {
    std::string directory;    // full directory name, e.g. "name\suffix"
    bool hasContent = false;  // false: the content is the device node's path
    std::string content;      // interfacePath bytes, verbatim
    tFault openFault;
    tFault readFault;
};

struct tDeviceConfig {
    std::string name;  // directory under qv/
    uint32_t pages = 0;
    tFault openFault;  // open of the node
    tFault registerFault;
    std::vector<tInterfaceConfig> interfaces;
};

class tSimulatorConfig {
  public:
    // One device "dev0" with one interface "morvelkestrak_morvelkestrak\0" pointing at its node.
    static tSimulatorConfig defaults();

    // Replaces the devices with those described by text. On failure returns false and sets
    // error to a message naming the line.
    bool parse(std::string_view text, std::string& error);

    std::vector<tDeviceConfig> devices;

  private:
    bool parseLine(std::string_view key, std::string_view value, std::string& error);
    bool parseDeviceLine(std::string_view key, std::string_view value, std::string& error);
    bool parseInterfaceLine(std::string_view key, std::string_view value, std::string& error);

    bool inInterface_ = false;  // while parsing: the last section line was "interface"
};

}  // namespace nQVDRIVERSIM
}  // namespace nQUORVAMONITORD_18_5
