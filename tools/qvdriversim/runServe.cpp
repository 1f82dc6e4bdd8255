#include "tools/qvdriversim/runServe.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tools/qvdriversim/controlAddress.h"
#include "tools/qvdriversim/tControlServer.h"
#include "tools/qvdriversim/tDriverFileSystem.h"
#include "tools/qvdriversim/tNotificationSender.h"
#include "tools/qvdriversim/tSimulatedDriver.h"
#include "tools/qvdriversim/tSimulatorConfig.h"

namespace nQUORVAMONITORD_18_5 {
namespace nQVDRIVERSIM {

namespace {

constexpr const char* kDefaultMountDir = "/proc/driver";

struct tServeOptions {
    std::string mountDir = kDefaultMountDir;
    std::string configFile;
    std::string controlPath;
};

int fail(int status, const std::string& message) {
    std::fprintf(stderr, "qvdriversim: %s\n", message.c_str());
    return status;
}

bool parseServeOptions(const std::vector<std::string>& args, tServeOptions& options,
                       std::string& error) {
    for (size_t i = 0; i < args.size(); i += 2) {
        if (i + 1 >= args.size()) {
            error = "option '" + args[i] + "' needs a value";
            return false;
        }
        if (args[i] == "--mount") {
            options.mountDir = args[i + 1];
        } else if (args[i] == "--config") {
            options.configFile = args[i + 1];
        } else if (args[i] == "--control") {
            options.controlPath = args[i + 1];
        } else {
            error = "serve does not take option '" + args[i] + "'";
            return false;
        }
    }
    if (options.mountDir.empty()) {
        error = "--mount needs a directory";
        return false;
    }
    return true;
}

bool loadConfig(const std::string& file, tSimulatorConfig& config, std::string& error) {
    if (file.empty()) {
        config = tSimulatorConfig::defaults();
        return true;
    }
    std::ifstream stream(file, std::ios::binary);
    if (!stream) {
        error = "cannot read configuration " + file + ": " + std::strerror(errno);
        return false;
    }
    std::ostringstream text;
    text << stream.rdbuf();
    if (!config.parse(text.str(), error)) {
        error = file + ": " + error;
        return false;
    }
    return true;
}

// The kernel's initial mount namespace has this fixed inode number on current kernels.
constexpr ino_t kInitialMountNamespaceInode = 0xEFFFFFF8;

bool namespaceInode(const char* link, ino_t& inode) {
    struct stat status {};
    if (::stat(link, &status) == -1) {
        return false;
    }
    inode = status.st_ino;
    return true;
}

// The parent mount id of "/" in this namespace: 1 (the boot-time root) in the initial one.
bool rootParentMountId(unsigned long& parent) {
    std::ifstream stream("/proc/self/mountinfo");
    std::string line;
    while (std::getline(stream, line)) {
        std::istringstream fields(line);
        unsigned long id = 0;
        std::string device;
        std::string root;
        std::string mountPoint;
        if (fields >> id >> parent >> device >> root >> mountPoint && mountPoint == "/") {
            return true;
        }
    }
    return false;
}

// True unless this process is known to have a mount namespace of its own. Process 1's
// namespace is the reference; where it may not be inspected, the initial namespace is
// recognised by its fixed inode or by its root mount hanging off the boot-time root.
bool inInitialMountNamespace() {
    ino_t own = 0;
    if (!namespaceInode("/proc/self/ns/mnt", own)) {
        return true;
    }
    ino_t first = 0;
    if (namespaceInode("/proc/1/ns/mnt", first)) {
        return own == first;
    }
    unsigned long parent = 0;
    return own == kInitialMountNamespaceInode || !rootParentMountId(parent) || parent == 1;
}

bool isUnderProc(const std::filesystem::path& path) {
    const std::string text = path.string();
    return text == "/proc" || text.rfind("/proc/", 0) == 0;
}

// The absolute mount directory without a trailing slash.
std::string absoluteDirectory(const std::string& directory) {
    std::error_code error;
    std::string text = std::filesystem::absolute(directory, error).lexically_normal().string();
    while (text.size() > 1 && text.back() == '/') {
        text.pop_back();
    }
    return text;
}

}  // namespace

bool mountAllowed(const std::string& mountDir, std::string& error) {
    std::error_code ignored;
    const std::filesystem::path lexical = absoluteDirectory(mountDir);
    const std::filesystem::path resolved = std::filesystem::weakly_canonical(lexical, ignored);
    if (!isUnderProc(lexical) && !isUnderProc(resolved)) {
        return true;
    }
    if (!inInitialMountNamespace()) {
        return true;
    }
    error = "refusing to mount over " + lexical.string() +
            ": this process shares the machine's initial mount namespace; run it inside "
            "'unshare --mount --propagation private'";
    return false;
}

int runServe(const std::vector<std::string>& args) {
    tServeOptions options;
    std::string error;
    if (!parseServeOptions(args, options, error)) {
        return fail(2, error + " (see 'qvdriversim help')");
    }
    tSimulatorConfig config;
    if (!loadConfig(options.configFile, config, error)) {
        return fail(2, error);
    }
    if (!mountAllowed(options.mountDir, error)) {
        return fail(1, error);
    }
    const std::string mountDir = absoluteDirectory(options.mountDir);
    struct stat status {};
    if (::stat(mountDir.c_str(), &status) == -1 || !S_ISDIR(status.st_mode)) {
        return fail(1, "mount directory " + mountDir + " is not an existing directory");
    }
    tNotificationSender sender;
    if (!sender.open(error)) {
        return fail(1, error);
    }
    tSimulatedDriver driver(config, mountDir, sender);
    tControlServer control(driver);
    if (!control.listen(chooseControlPath(options.controlPath), error)) {
        return fail(1, error);
    }
    tDriverFileSystem fileSystem(driver);
    if (!fileSystem.mount(mountDir, error) || !control.start(error)) {
        return fail(1, error);
    }
    std::fputs("ready\n", stdout);
    std::fflush(stdout);
    if (!fileSystem.run(error)) {
        return fail(1, error);
    }
    return 0;
}

int runCheckConfig(const std::vector<std::string>& args) {
    if (args.size() != 1) {
        return fail(2, "check-config takes one configuration file");
    }
    tSimulatorConfig config;
    std::string error;
    if (!loadConfig(args[0], config, error)) {
        return fail(2, error);
    }
    size_t interfaces = 0;
    for (const tDeviceConfig& device : config.devices) {
        interfaces += device.interfaces.size();
    }
    std::printf("%s: %zu device(s), %zu interface(s)\n", args[0].c_str(), config.devices.size(),
                interfaces);
    return 0;
}

}  // namespace nQVDRIVERSIM
}  // namespace nQUORVAMONITORD_18_5
