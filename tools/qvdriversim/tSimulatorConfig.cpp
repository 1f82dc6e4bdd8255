#include "tools/qvdriversim/tSimulatorConfig.h"

#include "tools/qvdriversim/deviceRequests.h"
#include "tools/qvdriversim/errnoNames.h"
#include "tools/qvdriversim/textCodec.h"

namespace nQUORVAMONITORD_18_5 {
namespace nQVDRIVERSIM {

namespace {

constexpr uint32_t kMaxPages = 1024;

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// A directory name the file system can serve: not empty, no slash or NUL, not "." or "..".
bool validDirectoryName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

// "ERRNO" or "ERRNO COUNT".
bool parseFault(std::string_view value, tFault& fault, std::string& error) {
    const size_t blank = value.find_first_of(" \t");
    const std::string_view name = value.substr(0, blank);
    if (!parseErrno(name, fault.error)) {
        error = "'" + std::string(name) +
                "' is not an error number or name usable here (1..511, not ENOSYS)";
        return false;
    }
    if (blank == std::string_view::npos) {
        return true;
    }
    if (!parseNumber(trim(value.substr(blank)), std::numeric_limits<uint64_t>::max(),
                     fault.count)) {
        error = "the count after the error must be a number";
        return false;
    }
    return true;
}

}  // namespace

tSimulatorConfig tSimulatorConfig::defaults() {
    tSimulatorConfig config;
    tDeviceConfig device;
    device.name = "dev0";
    device.pages = kDefaultPageCount;
    tInterfaceConfig interface;
    interface.directory = "morvelkestrak_morvelkestrak\\0";
    device.interfaces.push_back(interface);
    config.devices.push_back(device);
    return config;
}

bool tSimulatorConfig::parse(std::string_view text, std::string& error) {
    devices.clear();
    inInterface_ = false;
    size_t lineNumber = 0;
    while (!text.empty()) {
        ++lineNumber;
        const size_t end = text.find('\n');
        const std::string_view line = trim(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.empty() || line.front() == '#') {
            continue;
        }
        const size_t blank = line.find_first_of(" \t");
        const std::string_view key = line.substr(0, blank);
        const std::string_view value =
            blank == std::string_view::npos ? std::string_view() : trim(line.substr(blank));
        std::string message;
        if (!parseLine(key, value, message)) {
            error = "line " + std::to_string(lineNumber) + ": " + message;
            return false;
        }
    }
    return true;
}

bool tSimulatorConfig::parseLine(std::string_view key, std::string_view value, std::string& error) {
    if (key == "device") {
        if (!validDirectoryName(value)) {
            error = "'device' needs a name without '/' (and not '.' or '..')";
            return false;
        }
        for (const tDeviceConfig& device : devices) {
            if (device.name == value) {
                error = "device '" + std::string(value) + "' is defined twice";
                return false;
            }
        }
        tDeviceConfig device;
        device.name = value;
        device.pages = kDefaultPageCount;
        devices.push_back(device);
        inInterface_ = false;
        return true;
    }
    if (devices.empty()) {
        error = "'" + std::string(key) + "' must follow a 'device' line";
        return false;
    }
    if (key == "interface") {
        if (!validDirectoryName(value)) {
            error = "'interface' needs a directory name without '/' (and not '.' or '..')";
            return false;
        }
        for (const tInterfaceConfig& interface : devices.back().interfaces) {
            if (interface.directory == value) {
                error = "interface '" + std::string(value) + "' is defined twice in device '" +
                        devices.back().name + "'";
                return false;
            }
        }
        tInterfaceConfig interface;
        interface.directory = value;
        devices.back().interfaces.push_back(interface);
        inInterface_ = true;
        return true;
    }
    if (inInterface_ && parseInterfaceLine(key, value, error)) {
        return true;
    }
    if (!error.empty()) {
        return false;
    }
    return parseDeviceLine(key, value, error);
}

// Keys of the current device; an unknown key ends up here and is reported.
bool tSimulatorConfig::parseDeviceLine(std::string_view key, std::string_view value,
                                       std::string& error) {
    tDeviceConfig& device = devices.back();
    if (key == "pages") {
        uint64_t pages = 0;
        if (!parseNumber(value, kMaxPages, pages) || pages == 0) {
            error = "'pages' needs a number from 1 to " + std::to_string(kMaxPages);
            return false;
        }
        device.pages = static_cast<uint32_t>(pages);
        return true;
    }
    if (key == "node-open-errno") {
        return parseFault(value, device.openFault, error);
    }
    if (key == "register-errno") {
        return parseFault(value, device.registerFault, error);
    }
    const bool interfaceKey =
        key == "path" || key == "path-hex" || key == "open-errno" || key == "read-errno";
    error = interfaceKey ? "'" + std::string(key) + "' must follow an 'interface' line"
                         : "unknown key '" + std::string(key) + "'";
    return false;
}

// Keys of the current interface. Returns false with error empty when the key is not one of
// them, so the caller tries the device keys.
bool tSimulatorConfig::parseInterfaceLine(std::string_view key, std::string_view value,
                                          std::string& error) {
    tInterfaceConfig& interface = devices.back().interfaces.back();
    if (key == "path") {
        if (!decodeEscapes(value, interface.content)) {
            error = "'path' has a bad escape (use \\\\ \\n \\r \\t \\0 or \\xHH)";
            return false;
        }
        interface.hasContent = true;
        return true;
    }
    if (key == "path-hex") {
        if (!decodeHex(value, interface.content)) {
            error = "'path-hex' needs pairs of hexadecimal digits";
            return false;
        }
        interface.hasContent = true;
        return true;
    }
    if (key == "open-errno") {
        return parseFault(value, interface.openFault, error);
    }
    if (key == "read-errno") {
        return parseFault(value, interface.readFault, error);
    }
    return false;
}

}  // namespace nQVDRIVERSIM
}  // namespace nQUORVAMONITORD_18_5
