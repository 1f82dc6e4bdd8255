// The driver's behaviour, apart from how requests reach it: the file tree it presents, opens,
// reads and writes with their injected faults, the device requests, the registrations, the
// notification messages and the event log. Every entry point is thread-safe: the file system
// and the control socket call in from different threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "tools/qvdriversim/tControlRequest.h"
#include "tools/qvdriversim/tNotificationSender.h"
#include "tools/qvdriversim/tSimulatorConfig.h"

namespace nQUORVAMONITORD_18_5 {
namespace nQVDRIVERSIM {

enum class tNodeKind { kMissing, kDirectory, kInterfacePath, kDeviceNode };

struct tNodeInfo {
    tNodeKind kind = tNodeKind::kMissing;
    uint64_t size = 0;                 // files only
    std::vector<std::string> entries;  // directories only, without "." and ".."
};

class tSimulatedDriver {
  public:
    // mountDir is where the tree appears; default interfacePath contents name the node there.
    tSimulatedDriver(const tSimulatorConfig& config, const std::string& mountDir,
                     tNotificationSender& sender);

    // Paths are relative to the mount directory and start with '/'.
    tNodeInfo lookup(const std::string& path) const;

    // File operations; each returns 0 (or a byte count) or a negated errno. open stores a
    // handle for the later calls on the same open file.
    int open(const std::string& path, int flags, uint64_t& handle);
    void release(uint64_t handle);
    int read(uint64_t handle, char* buffer, size_t size, uint64_t offset);
    int write(uint64_t handle, const char* buffer, size_t size, uint64_t offset);
    int ioctl(uint64_t handle, uint32_t request, uint64_t argument, void* data);

    // Runs a control command; returns false (with the message in reply) when it failed.
    bool execute(const tControlRequest& request, std::string& reply);

  private:
    struct tDevice {
        tDeviceConfig config;
        std::string nodePath;  // relative to the mount directory
        std::string memory;    // what read, write and mmap of the node see
        uint64_t openAttempts = 0;
        uint64_t registerAttempts = 0;
    };
    struct tInterface {
        tInterfaceConfig config;
        std::string path;  // of its interfacePath file, relative to the mount directory
        std::string content;
        uint64_t openAttempts = 0;
        uint64_t readAttempts = 0;
    };
    struct tOpenFile {
        size_t device;
        bool isNode;
        size_t interface;
    };
    struct tRegistration {
        uint64_t handle;  // the open node it came through
        size_t device;
        uint32_t port;
        uint32_t id;
        uint64_t cookie;
    };

    bool findDevice(const std::string& name, size_t& device) const;
    bool findInterface(size_t device, const std::string& name, size_t& interface) const;
    static bool failNow(const tFault& fault, uint64_t& attempts);
    int registerNotification(const tOpenFile& file, uint64_t handle, const void* data);
    int unregisterNotification(const tOpenFile& file, uint64_t handle, uint64_t argument);
    int blockRequest(const tOpenFile& file, uint32_t request, void* data);
    // Runs sendOne for every registered port, under the lock; sendOne appends its line to reply
    // and returns whether the send worked. False when no port is registered or a send failed.
    bool sendToEveryPort(std::string& reply,
                         const std::function<bool(const tRegistration&, std::string&)>& sendOne);
    bool sendEvent(const tControlRequest& request, std::string& reply);
    bool sendRaw(const tControlRequest& request, std::string& reply);
    // Replaces every device's register fault; its count starts again from the next request.
    bool failRegister(const tControlRequest& request, std::string& reply);
    std::string describePorts() const;
    void record(const std::string& line);

    mutable std::mutex mutex_;
    std::vector<tDevice> devices_;
    std::vector<tInterface> interfaces_;  // indexes kept per device in deviceInterfaces_
    std::vector<std::vector<size_t>> deviceInterfaces_;
    std::map<uint64_t, tOpenFile> openFiles_;
    uint64_t nextHandle_ = 1;
    std::vector<tRegistration> registrations_;
    std::vector<std::string> log_;
    uint32_t sequence_ = 0;
    tNotificationSender& sender_;
};

}  // namespace nQVDRIVERSIM
}  // namespace nQUORVAMONITORD_18_5
