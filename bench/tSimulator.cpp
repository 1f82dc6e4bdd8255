#include "bench/tSimulator.h"

#include <cstdlib>
#include <utility>

namespace nQUORVAMONITORD_18_5 {
namespace nQVBENCH {
namespace {

constexpr int kReadyTimeoutMs = 10000;
constexpr int kStopTimeoutMs = 5000;

// The value of "name=" among the blank-separated fields of line, or an empty view.
std::string_view fieldValue(std::string_view line, std::string_view name) {
    size_t start = 0;
    while (start < line.size()) {
        size_t end = line.find(' ', start);
        if (end == std::string_view::npos) {
            end = line.size();
        }
        const std::string_view field = line.substr(start, end - start);
        if (field.size() > name.size() && field.substr(0, name.size()) == name &&
            field[name.size()] == '=') {
            return field.substr(name.size() + 1);
        }
        start = end + 1;
    }
    return {};
}

bool isDigitOf(char c, int base) {
    if (c >= '0' && c <= '9') {
        return true;
    }
    return base == 16 && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'));
}

bool parseUnsigned(std::string_view text, int base, uint64_t& value) {
    if (text.empty() || text.size() > (base == 16 ? 16u : 10u)) {
        return false;
    }
    for (const char c : text) {
        if (!isDigitOf(c, base)) {
            return false;
        }
    }
    const std::string copy(text);
    char* end = nullptr;
    value = std::strtoull(copy.c_str(), &end, base);
    return end != nullptr && *end == '\0';
}

}  // namespace

tSimulator::tSimulator(std::string program, std::string controlPath)
    : program_(std::move(program)), controlPath_(std::move(controlPath)) {}

tSimulator::~tSimulator() {
    stop();
}

bool tSimulator::start(std::string& error) {
    tLaunchedProcess::tOptions options;
    options.captureStdout = true;
    if (!process_.start({program_, "serve", "--control", controlPath_}, options)) {
        error = "cannot start " + program_;
        return false;
    }
    std::string line;
    if (!process_.readLine(kReadyTimeoutMs, line) || line != "ready") {
        error = "the simulator did not report ready";
        process_.stop(kStopTimeoutMs);
        return false;
    }
    return true;
}

int tSimulator::command(std::vector<std::string> args, std::string& output) const {
    args.insert(args.begin(), program_);
    args.push_back("--control");
    args.push_back(controlPath_);
    return runCommand(args, output);
}

bool tSimulator::lastRegistration(uint32_t& port, uint64_t& cookie) const {
    std::string log;
    if (command({"log"}, log) != 0) {
        return false;
    }
    bool found = false;
    size_t start = 0;
    while (start < log.size()) {
        size_t end = log.find('\n', start);
        if (end == std::string::npos) {
            end = log.size();
        }
        uint32_t linePort = 0;
        uint64_t lineCookie = 0;
        if (parseRegistration(std::string_view(log).substr(start, end - start), linePort,
                              lineCookie)) {
            port = linePort;
            cookie = lineCookie;
            found = true;
        }
        start = end + 1;
    }
    return found;
}

void tSimulator::stop() {
    process_.stop(kStopTimeoutMs);
}

bool tSimulator::parseRegistration(std::string_view line, uint32_t& port, uint64_t& cookie) {
    if (line.substr(0, 9) != "register " || fieldValue(line, "result") != "ok") {
        return false;
    }
    uint64_t portValue = 0;
    const std::string_view cookieText = fieldValue(line, "cookie");
    if (!parseUnsigned(fieldValue(line, "port"), 10, portValue) || portValue > 0xFFFFFFFF ||
        cookieText.substr(0, 2) != "0x" || !parseUnsigned(cookieText.substr(2), 16, cookie)) {
        return false;
    }
    port = static_cast<uint32_t>(portValue);
    return true;
}

}  // namespace nQVBENCH
}  // namespace nQUORVAMONITORD_18_5
