#include "tests/support/tDriverSimulator.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace nQUORVAMONITORD_18_5 {

namespace {

// A new empty file in /tmp; returns its path or an empty string.
std::string makeTemporaryFile(const char* kind) {
    std::string pattern = std::string("/tmp/qvdriversim-") + kind + "-XXXXXX";
    const int descriptor = ::mkstemp(pattern.data());
    if (descriptor == -1) {
        return "";
    }
    ::close(descriptor);
    return pattern;
}

std::string uniqueSocketPath() {
    static std::atomic<unsigned> counter{0};
    return "/tmp/qvdriversim-" + std::to_string(::getpid()) + "-" +
           std::to_string(counter.fetch_add(1)) + ".sock";
}

std::string readFile(const std::string& path) {
    std::ifstream stream(path, std::ios::binary);
    std::ostringstream text;
    text << stream.rdbuf();
    return text.str();
}

}  // namespace

tDriverSimulator::tDriverSimulator(std::optional<std::string> configText, std::string mountDir)
    : mountDir_(std::move(mountDir)), controlPath_(uniqueSocketPath()) {
    errorsPath_ = makeTemporaryFile("errors");
    std::vector<std::string> argv = {toolPath(), "serve",     "--mount",
                                     mountDir_,  "--control", controlPath_};
    if (configText) {
        configPath_ = makeTemporaryFile("config");
        std::ofstream stream(configPath_, std::ios::binary | std::ios::trunc);
        stream << *configText;
        if (configPath_.empty() || !stream.flush()) {
            startError_ = "cannot write the configuration file";
            return;
        }
        argv.push_back("--config");
        argv.push_back(configPath_);
    }
    if (errorsPath_.empty() || !process_.start(argv, errorsPath_, startError_)) {
        startError_ = "cannot start the simulator: " + startError_;
        return;
    }
    std::string output;
    ready_ = process_.waitForLine("ready", kStartTimeoutMs, output);
    if (!ready_) {
        const int status = stop();
        startError_ = "the simulator did not become ready (exit status " + std::to_string(status) +
                      "); output: " + output + "; errors: " + errors();
    }
}

tDriverSimulator::~tDriverSimulator() {
    stop();
    for (const std::string& path : {configPath_, errorsPath_, controlPath_}) {
        if (!path.empty()) {
            ::unlink(path.c_str());
        }
    }
}

tCommandResult tDriverSimulator::command(std::vector<std::string> args) const {
    args.push_back("--control");
    args.push_back(controlPath_);
    return runTool(args);
}

bool tDriverSimulator::waitForLog(const std::string& part, int timeoutMs) const {
    for (int waited = 0; waited <= timeoutMs; waited += 10) {
        for (const std::string& line : log()) {
            if (line.find(part) != std::string::npos) {
                return true;
            }
        }
        ::usleep(10000);
    }
    return false;
}

std::vector<std::string> tDriverSimulator::log() const {
    const tCommandResult result = command({"log"});
    std::vector<std::string> lines;
    if (result.exitStatus != 0) {
        return lines;
    }
    std::istringstream text(result.output);
    std::string line;
    while (std::getline(text, line)) {
        lines.push_back(line);
    }
    return lines;
}

int tDriverSimulator::stop() {
    ready_ = false;
    return process_.stop(kStopTimeoutMs);
}

std::string tDriverSimulator::errors() const {
    return readFile(errorsPath_);
}

std::string tDriverSimulator::toolPath() {
    return QV_SIMULATOR_PATH;
}

tCommandResult tDriverSimulator::runTool(const std::vector<std::string>& args, int timeoutMs) {
    std::vector<std::string> argv = {toolPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    return tChildProcess::run(argv, timeoutMs);
}

}  // namespace nQUORVAMONITORD_18_5
