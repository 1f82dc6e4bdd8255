// A command for the running simulator, parsed from the client's command line and carried over
// the control socket as one line in a canonical form of the same options.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace nQUORVAMONITORD_18_5 {
namespace nQVDRIVERSIM {

inline constexpr uint16_t kDefaultNetlinkType = 0x1c;
inline constexpr uint32_t kMaxRawSize = 65536;

class tControlRequest {
  public:
    enum class tCommand { kNone, kSend, kSendRaw, kLog, kPorts, kFailRegister, kRemove, kAdd };

    // Parses a client command and its options (args[0] is the command name: notify, release,
    // send, log, ports, fail-register, remove or add). "--control PATH" is accepted with every
    // command and stored in controlPath; "--kernel", also before the command, stores the kernel
    // module's control file there. Returns false with a message in error on anything malformed.
    bool parseArguments(const std::vector<std::string>& args, std::string& controlPath,
                        std::string& error);

    // The request as one line without a newline; decode(encode()) gives the same request.
    // The netlink type and length appear only when they differ from their defaults.
    std::string encode() const;
    bool decode(std::string_view line, std::string& error);

    tCommand command = tCommand::kNone;
    uint16_t eventType = 0;
    bool hasCookie = false;  // false: each registration's own cookie
    uint64_t cookie = 0;
    std::string payload;          // at most 32 bytes
    bool hasPayloadSize = false;  // false: the payload's byte count
    uint32_t payloadSize = 0;
    uint16_t netlinkType = kDefaultNetlinkType;
    uint32_t length = 72;    // the netlink length field
    std::string raw;         // kSendRaw: the whole datagram
    int registerErrno = 0;   // kFailRegister: the errno the next registrations fail with
    uint32_t failCount = 1;  // kFailRegister: how many; 0 ends the refusals

  private:
    bool parseOption(std::string_view name, std::string_view value, bool& sawEvent,
                     std::string& error);
    bool parseFailRegister(const std::vector<std::string>& words, std::string& error);
};

}  // namespace nQVDRIVERSIM
}  // namespace nQUORVAMONITORD_18_5
