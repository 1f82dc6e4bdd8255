#include "tools/qvdriversim/tControlRequest.h"

#include <limits>

#include "protons/io_notification/linuxU/tIONotification.h"
#include "tools/qvdriversim/controlAddress.h"
#include "tools/qvdriversim/errnoNames.h"
#include "tools/qvdriversim/textCodec.h"

namespace nQUORVAMONITORD_18_5 {
namespace nQVDRIVERSIM {

using nZORFEL000::kNotificationMessageSize;
using nZORFEL000::kNotificationPayloadSize;

namespace {

bool numberOption(std::string_view name, std::string_view value, uint64_t max, uint64_t& number,
                  std::string& error) {
    if (parseNumber(value, max, number)) {
        return true;
    }
    error = std::string(name) + " needs a number from 0 to " + std::to_string(max) +
            " (decimal or 0x hexadecimal), not '" + std::string(value) + "'";
    return false;
}

}  // namespace

bool tControlRequest::parseArguments(const std::vector<std::string>& args, std::string& controlPath,
                                     std::string& error) {
    *this = tControlRequest();
    // "--kernel" may also come before the command: qvdriversim --kernel notify.
    size_t first = 0;
    while (first < args.size() && args[first] == "--kernel") {
        controlPath = kKernelControlPath;
        ++first;
    }
    if (first == args.size()) {
        error = "no command given";
        return false;
    }
    const std::string& name = args[first];
    bool sawEvent = false;
    if (name == "notify" || name == "release") {
        command = tCommand::kSend;
        eventType = name == "notify" ? 1 : 2;
    } else if (name == "send") {
        command = tCommand::kSend;
    } else if (name == "log") {
        command = tCommand::kLog;
    } else if (name == "ports") {
        command = tCommand::kPorts;
    } else if (name == "fail-register") {
        command = tCommand::kFailRegister;
    } else if (name == "remove") {
        command = tCommand::kRemove;
    } else if (name == "add") {
        command = tCommand::kAdd;
    } else {
        error = "unknown command '" + name + "'";
        return false;
    }
    bool sawOther = false;
    bool sawHex = false;
    std::vector<std::string> words;  // fail-register: its ERR and COUNT
    size_t i = first + 1;
    while (i < args.size()) {
        const std::string& option = args[i];
        if (option == "--kernel") {  // the one option without a value
            controlPath = kKernelControlPath;
            ++i;
            continue;
        }
        if (command == tCommand::kFailRegister && option.rfind("--", 0) != 0) {
            words.push_back(option);
            ++i;
            continue;
        }
        if (i + 1 >= args.size()) {
            error = "option '" + option + "' needs a value";
            return false;
        }
        const std::string& value = args[i + 1];
        i += 2;
        if (option == "--control") {
            controlPath = value;
            continue;
        }
        const bool sendOnly = name == "send";
        if (command != tCommand::kSend ||
            (!sendOnly && (option == "--event" || option == "--hex"))) {
            error = "'" + name + "' does not take option '" + option + "'";
            return false;
        }
        if (option == "--hex") {
            sawHex = true;
            if (!decodeHex(value, raw) || raw.size() > kMaxRawSize) {
                error = "--hex needs pairs of hexadecimal digits (at most " +
                        std::to_string(kMaxRawSize) + " bytes)";
                return false;
            }
            continue;
        }
        sawOther = sawOther || option != "--event";
        if (!parseOption(option, value, sawEvent, error)) {
            return false;
        }
    }
    if (command == tCommand::kFailRegister) {
        return parseFailRegister(words, error);
    }
    if (sawHex) {
        if (sawEvent || sawOther) {
            error = "send --hex takes the whole datagram and no other message option";
            return false;
        }
        command = tCommand::kSendRaw;
    } else if (name == "send" && !sawEvent) {
        error = "send needs --event T or --hex BYTES";
        return false;
    }
    return true;
}

bool tControlRequest::parseFailRegister(const std::vector<std::string>& words, std::string& error) {
    uint64_t number = 1;
    if (words.empty() || words.size() > 2) {
        error = "fail-register needs ERR and may take COUNT";
        return false;
    }
    if (!parseErrno(words[0], registerErrno)) {
        error =
            "'" + words[0] + "' is not an errno name or a number from 1 to 511 (ENOSYS excluded)";
        return false;
    }
    if (words.size() == 2 && !numberOption("COUNT", words[1], 0xFFFFFFFF, number, error)) {
        return false;
    }
    failCount = static_cast<uint32_t>(number);
    return true;
}

bool tControlRequest::parseOption(std::string_view name, std::string_view value, bool& sawEvent,
                                  std::string& error) {
    uint64_t number = 0;
    if (name == "--event") {
        sawEvent = true;
        if (!numberOption(name, value, 0xFFFF, number, error)) {
            return false;
        }
        eventType = static_cast<uint16_t>(number);
    } else if (name == "--cookie") {
        if (!numberOption(name, value, std::numeric_limits<uint64_t>::max(), cookie, error)) {
            return false;
        }
        hasCookie = true;
    } else if (name == "--payload") {
        if (!decodeHex(value, payload) || payload.size() > kNotificationPayloadSize) {
            error = "--payload needs pairs of hexadecimal digits, at most 32 bytes";
            return false;
        }
    } else if (name == "--payload-size") {
        if (!numberOption(name, value, 0xFFFFFFFF, number, error)) {
            return false;
        }
        payloadSize = static_cast<uint32_t>(number);
        hasPayloadSize = true;
    } else if (name == "--nltype") {
        if (!numberOption(name, value, 0xFFFF, number, error)) {
            return false;
        }
        netlinkType = static_cast<uint16_t>(number);
    } else if (name == "--length") {
        if (!numberOption(name, value, 0xFFFFFFFF, number, error)) {
            return false;
        }
        length = static_cast<uint32_t>(number);
    } else {
        error = "unknown option '" + std::string(name) + "'";
        return false;
    }
    return true;
}

std::string tControlRequest::encode() const {
    switch (command) {
        case tCommand::kLog:
            return "log";
        case tCommand::kPorts:
            return "ports";
        case tCommand::kSendRaw:
            return "send --hex 0x" + encodeHex(raw);
        case tCommand::kFailRegister:
            return "fail-register " + std::to_string(registerErrno) + " " +
                   std::to_string(failCount);
        case tCommand::kRemove:
            return "remove";
        case tCommand::kAdd:
            return "add";
        case tCommand::kSend:
        case tCommand::kNone:
            break;
    }
    // The kernel module writes the netlink header itself and refuses these two options, so the
    // defaults stay off the line.
    std::string line =
        "send --event " + std::to_string(eventType) + " --payload 0x" + encodeHex(payload);
    if (netlinkType != kDefaultNetlinkType) {
        line += " --nltype " + std::to_string(netlinkType);
    }
    if (length != kNotificationMessageSize) {
        line += " --length " + std::to_string(length);
    }
    if (hasCookie) {
        line += " --cookie " + std::to_string(cookie);
    }
    if (hasPayloadSize) {
        line += " --payload-size " + std::to_string(payloadSize);
    }
    return line;
}

bool tControlRequest::decode(std::string_view line, std::string& error) {
    std::vector<std::string> args;
    while (!line.empty()) {
        const size_t blank = line.find(' ');
        if (blank != 0) {
            args.emplace_back(line.substr(0, blank));
        }
        line.remove_prefix(blank == std::string_view::npos ? line.size() : blank + 1);
    }
    std::string ignored;
    return parseArguments(args, ignored, error);
}

}  // namespace nQVDRIVERSIM
}  // namespace nQUORVAMONITORD_18_5
