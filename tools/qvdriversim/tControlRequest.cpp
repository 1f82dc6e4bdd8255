#include "tools/qvdriversim/tControlRequest.h"

#include <limits>

#include "protons/io_notification/linuxU/tIONotification.h"
#include "tools/qvdriversim/textCodec.h"

namespace nQUORVAMONITORD_18_5 {
namespace nQVDRIVERSIM {

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
    if (args.empty()) {
        error = "no command given";
        return false;
    }
    const std::string& name = args[0];
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
    } else {
        error = "unknown command '" + name + "'";
        return false;
    }
    bool sawOther = false;
    bool sawHex = false;
    for (size_t i = 1; i < args.size(); i += 2) {
        const std::string& option = args[i];
        if (i + 1 >= args.size()) {
            error = "option '" + option + "' needs a value";
            return false;
        }
        const std::string& value = args[i + 1];
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
        case tCommand::kSend:
        case tCommand::kNone:
            break;
    }
    std::string line = "send --event " + std::to_string(eventType) + " --nltype " +
                       std::to_string(netlinkType) + " --length " + std::to_string(length) +
                       " --payload 0x" + encodeHex(payload);
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
