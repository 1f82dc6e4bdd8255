#include "tools/qvdriversim/tSimulatedDriver.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "protons/driver/linuxU/iInterfaceProxy.h"
#include "protons/io_notification/linuxU/tIONotification.h"
#include "tools/qvdriversim/deviceRequests.h"
#include "tools/qvdriversim/errnoNames.h"
#include "tools/qvdriversim/textCodec.h"

namespace nQUORVAMONITORD_18_5 {
namespace nQVDRIVERSIM {

using nZORFEL000::kNotificationMessageSize;
using nZORFEL000::kRegisterNotification;
using nZORFEL000::kUnregisterNotification;
using nZORFEL000::tDeviceIoRequest;
using nZORFEL000::tNotificationMessage;
using nZORFEL000::tNotificationRequest;

namespace {

constexpr const char* kInterfacesDirectory = "deviceInterfaces";
constexpr const char* kInterfacePathFile = "interfacePath";
constexpr const char* kNodeFile = "node";
// Attribute header, cookie, payload size and payload.
constexpr uint16_t kAttributeLength = 48;

std::vector<std::string> splitPath(const std::string& path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start < path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) {
            end = path.size();
        }
        if (end > start) {
            parts.push_back(path.substr(start, end - start));
        }
        start = end + 1;
    }
    return parts;
}

std::string outcome(int result) {
    return result < 0 ? errnoName(-result) : "ok";
}

std::string countOutcome(int result) {
    return result < 0 ? errnoName(-result) : std::to_string(result);
}

}  // namespace

tSimulatedDriver::tSimulatedDriver(const tSimulatorConfig& config, const std::string& mountDir,
                                   tNotificationSender& sender)
    : sender_(sender) {
    const auto pageSize = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    for (const tDeviceConfig& deviceConfig : config.devices) {
        tDevice device;
        device.config = deviceConfig;
        device.nodePath = "/qv/" + deviceConfig.name + "/" + kNodeFile;
        device.memory.resize(deviceConfig.pages * pageSize);
        for (size_t i = 0; i < device.memory.size(); ++i) {
            device.memory[i] = static_cast<char>((i / pageSize) & 0xFF);
        }
        std::vector<size_t> indexes;
        for (const tInterfaceConfig& interfaceConfig : deviceConfig.interfaces) {
            tInterface interface;
            interface.config = interfaceConfig;
            interface.path = "/qv/" + deviceConfig.name + "/" + kInterfacesDirectory + "/" +
                             interfaceConfig.directory + "/" + kInterfacePathFile;
            interface.content =
                interfaceConfig.hasContent ? interfaceConfig.content : mountDir + device.nodePath;
            indexes.push_back(interfaces_.size());
            interfaces_.push_back(interface);
        }
        deviceInterfaces_.push_back(indexes);
        devices_.push_back(device);
    }
}

bool tSimulatedDriver::findDevice(const std::string& name, size_t& device) const {
    for (size_t i = 0; i < devices_.size(); ++i) {
        if (devices_[i].config.name == name) {
            device = i;
            return true;
        }
    }
    return false;
}

bool tSimulatedDriver::findInterface(size_t device, const std::string& name,
                                     size_t& interface) const {
    for (size_t index : deviceInterfaces_[device]) {
        if (interfaces_[index].config.directory == name) {
            interface = index;
            return true;
        }
    }
    return false;
}

tNodeInfo tSimulatedDriver::lookup(const std::string& path) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::vector<std::string> parts = splitPath(path);
    tNodeInfo info;
    if (parts.empty()) {
        info.kind = tNodeKind::kDirectory;
        if (!devices_.empty()) {
            info.entries.push_back("qv");
        }
        return info;
    }
    if (parts[0] != "qv" || devices_.empty()) {
        return info;
    }
    if (parts.size() == 1) {
        info.kind = tNodeKind::kDirectory;
        for (const tDevice& device : devices_) {
            info.entries.push_back(device.config.name);
        }
        return info;
    }
    size_t device = 0;
    if (!findDevice(parts[1], device)) {
        return info;
    }
    if (parts.size() == 2) {
        info.kind = tNodeKind::kDirectory;
        info.entries = {kInterfacesDirectory, kNodeFile};
        return info;
    }
    if (parts[2] == kNodeFile && parts.size() == 3) {
        info.kind = tNodeKind::kDeviceNode;
        info.size = devices_[device].memory.size();
        return info;
    }
    if (parts[2] != kInterfacesDirectory) {
        return info;
    }
    if (parts.size() == 3) {
        info.kind = tNodeKind::kDirectory;
        for (size_t index : deviceInterfaces_[device]) {
            info.entries.push_back(interfaces_[index].config.directory);
        }
        return info;
    }
    size_t interface = 0;
    if (!findInterface(device, parts[3], interface)) {
        return info;
    }
    if (parts.size() == 4) {
        info.kind = tNodeKind::kDirectory;
        info.entries = {kInterfacePathFile};
    } else if (parts.size() == 5 && parts[4] == kInterfacePathFile) {
        info.kind = tNodeKind::kInterfacePath;
        info.size = interfaces_[interface].content.size();
    }
    return info;
}

bool tSimulatedDriver::failNow(const tFault& fault, uint64_t& attempts) {
    ++attempts;
    return fault.error != 0 && attempts <= fault.count;
}

int tSimulatedDriver::open(const std::string& path, int flags, uint64_t& handle) {
    const tNodeInfo info = lookup(path);
    std::lock_guard<std::mutex> lock(mutex_);
    const std::vector<std::string> parts = splitPath(path);
    tOpenFile file{};
    tFault fault;
    uint64_t* attempts = nullptr;
    if (info.kind == tNodeKind::kDeviceNode) {
        findDevice(parts[1], file.device);
        file.isNode = true;
        fault = devices_[file.device].config.openFault;
        attempts = &devices_[file.device].openAttempts;
    } else if (info.kind == tNodeKind::kInterfacePath) {
        findDevice(parts[1], file.device);
        findInterface(file.device, parts[3], file.interface);
        fault = interfaces_[file.interface].config.openFault;
        attempts = &interfaces_[file.interface].openAttempts;
    } else {
        return info.kind == tNodeKind::kMissing ? -ENOENT : -EISDIR;
    }
    const int result = failNow(fault, *attempts) ? -fault.error : 0;
    record(std::string("open ") + (file.isNode ? "node " : "interfacePath ") + escapeForLog(path) +
           " flags=" + hexNumber(static_cast<uint32_t>(flags), 1) +
           " attempt=" + std::to_string(*attempts) + " result=" + outcome(result));
    if (result == 0) {
        handle = nextHandle_++;
        openFiles_[handle] = file;
    }
    return result;
}

void tSimulatedDriver::release(uint64_t handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = openFiles_.find(handle);
    if (found == openFiles_.end()) {
        return;
    }
    const tOpenFile file = found->second;
    openFiles_.erase(found);
    if (!file.isNode) {
        record("close interfacePath " + escapeForLog(interfaces_[file.interface].path));
        return;
    }
    // Closing the node ends the registrations made through it, as a driver would on release.
    for (auto it = registrations_.begin(); it != registrations_.end();) {
        if (it->handle == handle) {
            record("drop port=" + std::to_string(it->port) + " id=" + hexNumber(it->id, 8) +
                   " reason=closed");
            it = registrations_.erase(it);
        } else {
            ++it;
        }
    }
    record("close node " + escapeForLog(devices_[file.device].nodePath));
}

int tSimulatedDriver::read(uint64_t handle, char* buffer, size_t size, uint64_t offset) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = openFiles_.find(handle);
    if (found == openFiles_.end()) {
        return -EBADF;
    }
    const tOpenFile& file = found->second;
    const std::string* bytes = nullptr;
    std::string what;
    int result = 0;
    if (file.isNode) {
        bytes = &devices_[file.device].memory;
        what = "node " + escapeForLog(devices_[file.device].nodePath);
    } else {
        tInterface& interface = interfaces_[file.interface];
        bytes = &interface.content;
        what = "interfacePath " + escapeForLog(interface.path);
        if (failNow(interface.config.readFault, interface.readAttempts)) {
            result = -interface.config.readFault.error;
        }
    }
    if (result == 0 && offset < bytes->size()) {
        const size_t count = std::min<size_t>(size, bytes->size() - offset);
        std::copy_n(bytes->data() + offset, count, buffer);
        result = static_cast<int>(count);
    }
    record("read " + what + " offset=" + std::to_string(offset) + " size=" + std::to_string(size) +
           " result=" + countOutcome(result));
    return result;
}

int tSimulatedDriver::write(uint64_t handle, const char* buffer, size_t size, uint64_t offset) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = openFiles_.find(handle);
    if (found == openFiles_.end()) {
        return -EBADF;
    }
    const tOpenFile& file = found->second;
    int result = -EPERM;
    std::string what;
    if (!file.isNode) {
        what = "interfacePath " + escapeForLog(interfaces_[file.interface].path);
    } else {
        std::string& memory = devices_[file.device].memory;
        what = "node " + escapeForLog(devices_[file.device].nodePath);
        if (offset >= memory.size()) {
            result = size == 0 ? 0 : -ENOSPC;
        } else {
            const size_t count = std::min<size_t>(size, memory.size() - offset);
            std::memcpy(memory.data() + offset, buffer, count);
            result = static_cast<int>(count);
        }
    }
    record("write " + what + " offset=" + std::to_string(offset) + " size=" + std::to_string(size) +
           " result=" + countOutcome(result));
    return result;
}

int tSimulatedDriver::ioctl(uint64_t handle, uint32_t request, uint64_t argument, void* data) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = openFiles_.find(handle);
    if (found == openFiles_.end()) {
        return -EBADF;
    }
    const tOpenFile& file = found->second;
    if (!file.isNode) {
        record("ioctl interfacePath " + escapeForLog(interfaces_[file.interface].path) +
               " request=" + hexNumber(request, 8) + " result=ENOTTY");
        return -ENOTTY;
    }
    if (request == kRegisterNotification) {
        return registerNotification(file, handle, data);
    }
    if (request == kUnregisterNotification) {
        return unregisterNotification(file, handle, argument);
    }
    return blockRequest(file, request, data);
}

int tSimulatedDriver::registerNotification(const tOpenFile& file, uint64_t handle,
                                           const void* data) {
    tDevice& device = devices_[file.device];
    tNotificationRequest request{};
    if (data != nullptr) {
        std::memcpy(&request, data, sizeof request);
    }
    const int result = data == nullptr ? -EFAULT
                       : failNow(device.config.registerFault, device.registerAttempts)
                           ? -device.config.registerFault.error
                           : 0;
    record("register node=" + escapeForLog(device.nodePath) +
           " cookie=" + hexNumber(request.cookie, 16) + " port=" + std::to_string(request.portId) +
           " id=" + hexNumber(request.notificationId, 8) + " result=" + outcome(result));
    if (result == 0) {
        registrations_.push_back(
            {handle, file.device, request.portId, request.notificationId, request.cookie});
    }
    return result;
}

int tSimulatedDriver::unregisterNotification(const tOpenFile& file, uint64_t handle,
                                             uint64_t argument) {
    const auto before = registrations_.size();
    std::erase_if(registrations_, [&](const tRegistration& registration) {
        return registration.handle == handle && registration.id == argument;
    });
    const int result = registrations_.size() < before ? 0 : -ENOENT;
    record("unregister node=" + escapeForLog(devices_[file.device].nodePath) +
           " arg=" + hexNumber(argument, 8) + " result=" + outcome(result));
    return result;
}

int tSimulatedDriver::blockRequest(const tOpenFile& file, uint32_t request, void* data) {
    tDeviceIoRequest block{};
    const bool known =
        request == kFillResultRequest || request == kFailingRequest || request == kEchoSizesRequest;
    int result = known ? 0 : -ENOTTY;
    if (known && data != nullptr) {
        std::memcpy(&block, data, sizeof block);
    }
    if (request == kFillResultRequest) {
        block.result = kFillResultValue;
    } else if (request == kEchoSizesRequest) {
        block.result = (static_cast<uint64_t>(block.inputSize) << 32) | block.outputSize;
    } else if (request == kFailingRequest) {
        result = -kFailingRequestErrno;
    }
    std::string line = "ioctl node=" + escapeForLog(devices_[file.device].nodePath) +
                       " request=" + hexNumber(request, 8);
    if (known) {
        line += " input=" + hexNumber(block.inputAddress, 1) +
                " input-size=" + std::to_string(block.inputSize) +
                " output=" + hexNumber(block.outputAddress, 1) +
                " output-size=" + std::to_string(block.outputSize);
    }
    line += " result=" + outcome(result);
    if (result == 0) {
        line += " value=" + hexNumber(block.result, 16);
        std::memcpy(data, &block, sizeof block);
    }
    record(line);
    return result;
}

bool tSimulatedDriver::execute(const tControlRequest& request, std::string& reply) {
    switch (request.command) {
        case tControlRequest::tCommand::kLog: {
            std::lock_guard<std::mutex> lock(mutex_);
            reply.clear();
            for (const std::string& line : log_) {
                reply += line + "\n";
            }
            return true;
        }
        case tControlRequest::tCommand::kPorts: {
            std::lock_guard<std::mutex> lock(mutex_);
            reply = describePorts();
            return true;
        }
        case tControlRequest::tCommand::kSend:
            return sendEvent(request, reply);
        case tControlRequest::tCommand::kSendRaw:
            return sendRaw(request, reply);
        case tControlRequest::tCommand::kFailRegister:
            return failRegister(request, reply);
        case tControlRequest::tCommand::kRemove:
        case tControlRequest::tCommand::kAdd:
            reply = std::string(request.command == tControlRequest::tCommand::kRemove ? "remove"
                                                                                      : "add") +
                    " is not supported by the simulator; the kernel module qvdrivermod offers it "
                    "(--kernel)\n";
            return false;
        case tControlRequest::tCommand::kNone:
            break;
    }
    reply = "no command\n";
    return false;
}

bool tSimulatedDriver::failRegister(const tControlRequest& request, std::string& reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (tDevice& device : devices_) {
        device.config.registerFault = {request.registerErrno, request.failCount};
        device.registerAttempts = 0;
    }
    reply = "the next " + std::to_string(request.failCount) +
            " register requests on each device fail with " + errnoName(request.registerErrno) +
            "\n";
    return true;
}

std::string tSimulatedDriver::describePorts() const {
    if (registrations_.empty()) {
        return "no port is registered\n";
    }
    std::string text;
    for (const tRegistration& registration : registrations_) {
        text += "port=" + std::to_string(registration.port) +
                " id=" + hexNumber(registration.id, 8) +
                " cookie=" + hexNumber(registration.cookie, 16) +
                " node=" + escapeForLog(devices_[registration.device].nodePath) + "\n";
    }
    return text;
}

bool tSimulatedDriver::sendToEveryPort(
    std::string& reply, const std::function<bool(const tRegistration&, std::string&)>& sendOne) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (registrations_.empty()) {
        reply = "no port is registered with the simulated driver; nothing sent\n";
        return false;
    }
    reply.clear();
    bool allSent = true;
    for (const tRegistration& registration : registrations_) {
        allSent = sendOne(registration, reply) && allSent;
    }
    return allSent;
}

bool tSimulatedDriver::sendEvent(const tControlRequest& request, std::string& reply) {
    return sendToEveryPort(reply, [&](const tRegistration& registration, std::string& text) {
        tNotificationMessage message{};
        message.length = request.length;
        message.type = request.netlinkType;
        message.sequence = ++sequence_;
        message.senderPort = sender_.portId();
        message.command = 1;
        message.version = 1;
        message.attributeLength = kAttributeLength;
        message.eventType = request.eventType;
        message.cookie = request.hasCookie ? request.cookie : registration.cookie;
        message.payloadSize = request.hasPayloadSize
                                  ? request.payloadSize
                                  : static_cast<uint32_t>(request.payload.size());
        std::memcpy(message.payload, request.payload.data(), request.payload.size());
        const int error = sender_.send(registration.port, &message, sizeof message);
        record("send port=" + std::to_string(registration.port) + " event=" +
               std::to_string(request.eventType) + " cookie=" + hexNumber(message.cookie, 16) +
               " seq=" + std::to_string(message.sequence) + " nltype=" +
               hexNumber(message.type, 4) + " length=" + std::to_string(message.length) +
               " payload-size=" + std::to_string(message.payloadSize) +
               " payload=" + encodeHex(request.payload) + " result=" + outcome(-error));
        if (error != 0) {
            text += "failed to send event type " + std::to_string(request.eventType) + " to port " +
                    std::to_string(registration.port) + ": " + std::strerror(error) + "\n";
            return false;
        }
        text += "sent event type " + std::to_string(request.eventType) + " to port " +
                std::to_string(registration.port) + " (cookie " + hexNumber(message.cookie, 16) +
                ", sequence " + std::to_string(message.sequence) + ")\n";
        return true;
    });
}

bool tSimulatedDriver::sendRaw(const tControlRequest& request, std::string& reply) {
    return sendToEveryPort(reply, [&](const tRegistration& registration, std::string& text) {
        const int error = sender_.send(registration.port, request.raw.data(), request.raw.size());
        record("send-raw port=" + std::to_string(registration.port) +
               " bytes=" + std::to_string(request.raw.size()) + " hex=" + encodeHex(request.raw) +
               " result=" + outcome(-error));
        if (error != 0) {
            text += "failed to send " + std::to_string(request.raw.size()) + " raw bytes to port " +
                    std::to_string(registration.port) + ": " + std::strerror(error) + "\n";
            return false;
        }
        text += "sent " + std::to_string(request.raw.size()) + " raw bytes to port " +
                std::to_string(registration.port) + "\n";
        return true;
    });
}

void tSimulatedDriver::record(const std::string& line) {
    log_.push_back(line);
}

static_assert(sizeof(tNotificationMessage) == kNotificationMessageSize);

}  // namespace nQVDRIVERSIM
}  // namespace nQUORVAMONITORD_18_5
