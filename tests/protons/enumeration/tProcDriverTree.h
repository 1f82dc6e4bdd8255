// Test helper: a throwaway driver procfs tree. Mounts a tmpfs over /proc/driver inside a private
// mount namespace of this process (entered on first use, so the machine's own /proc/driver is
// never touched even when the test binary is started by hand) and builds directories and
// interfacePath files in it.
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace nQUORVAMONITORD_18_5::nZORFEL000 {

class tProcDriverTree {
  public:
    static constexpr const char* kRoot = "/proc/driver";

    // Check mounted() before using the tree; error() says what went wrong otherwise.
    tProcDriverTree() {
        if (!enterPrivateMountNamespace(error_)) {
            return;
        }
        if (mount("none", kRoot, "tmpfs", 0, nullptr) != 0) {
            error_ = std::string("mount tmpfs on /proc/driver: ") + strerror(errno);
            return;
        }
        mounted_ = true;
    }

    ~tProcDriverTree() {
        if (mounted_) {
            umount2(kRoot, MNT_DETACH);
        }
    }

    tProcDriverTree(const tProcDriverTree&) = delete;
    tProcDriverTree& operator=(const tProcDriverTree&) = delete;

    bool mounted() const { return mounted_; }
    const std::string& error() const { return error_; }

    // Creates every missing directory of relative (below /proc/driver) and returns its full path.
    std::string makeDirectory(const std::string& relative, mode_t mode = 0755) {
        std::string path = kRoot;
        size_t start = 0;
        while (start < relative.size()) {
            size_t end = relative.find('/', start);
            if (end == std::string::npos) {
                end = relative.size();
            }
            path += "/" + relative.substr(start, end - start);
            if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
                error_ = "mkdir " + path + ": " + strerror(errno);
            }
            start = end + 1;
        }
        if (chmod(path.c_str(), mode) != 0) {
            error_ = "chmod " + path + ": " + strerror(errno);
        }
        return path;
    }

    // Creates /proc/driver/qv/<device>/deviceInterfaces/<entry> and returns its full path.
    std::string makeInterface(const std::string& device, const std::string& entry) {
        return makeDirectory("qv/" + device + "/deviceInterfaces/" + entry);
    }

    // Writes content, byte for byte, to the file at path (created or truncated) with mode.
    void writeFile(const std::string& path, const std::string& content, mode_t mode = 0644) {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
        if (fd == -1) {
            error_ = "create " + path + ": " + strerror(errno);
            return;
        }
        if (write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
            error_ = "write " + path + ": " + strerror(errno);
        }
        close(fd);
        if (chmod(path.c_str(), mode) != 0) {
            error_ = "chmod " + path + ": " + strerror(errno);
        }
    }

    // Writes content to <directory>/interfacePath and returns the file's path.
    std::string writeInterfacePath(const std::string& directory, const std::string& content,
                                   mode_t mode = 0644) {
        std::string path = directory + "/interfacePath";
        writeFile(path, content, mode);
        return path;
    }

    // Moves this process (and the children it starts later) into a mount namespace of its own,
    // once; mounts made afterwards do not reach the namespace the process came from.
    static bool enterPrivateMountNamespace(std::string& error) {
        static bool entered = false;
        if (entered) {
            return true;
        }
        if (unshare(CLONE_NEWNS) != 0) {
            error = std::string("unshare(CLONE_NEWNS): ") + strerror(errno);
            return false;
        }
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            error = std::string("make / private: ") + strerror(errno);
            return false;
        }
        entered = true;
        return true;
    }

  private:
    bool mounted_ = false;
    std::string error_;
};

}  // namespace nQUORVAMONITORD_18_5::nZORFEL000
