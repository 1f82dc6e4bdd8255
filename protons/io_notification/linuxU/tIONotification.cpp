#include "protons/io_notification/linuxU/tIONotification.h"

#include <errno.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "status/statusFromErrno.h"

namespace nQUORVAMONITORD_18_5 {
namespace nZORFEL000 {
namespace {

// Byte offsets of the fields the reader looks at.
constexpr size_t kLengthOffset = offsetof(tNotificationMessage, length);
constexpr size_t kTypeOffset = offsetof(tNotificationMessage, type);
constexpr size_t kEventTypeOffset = offsetof(tNotificationMessage, eventType);
constexpr size_t kCookieOffset = offsetof(tNotificationMessage, cookie);
constexpr size_t kPayloadSizeOffset = offsetof(tNotificationMessage, payloadSize);
constexpr size_t kPayloadOffset = offsetof(tNotificationMessage, payload);

// The netlink header alone; anything shorter is not a netlink message.
constexpr uint32_t kNetlinkHeaderSize = 16;
// The netlink address the kernel reports for a socket or a sender.
constexpr socklen_t kNetlinkAddressSize = 12;

// What the kernel charges a socket's receive buffer for one queued driver message: the size of
// the buffer holding it, not its 72 bytes. Measured 768 bytes on Linux 6.1, 960 on 6.12 and 832
// on 6.18; a third more leaves room for kernels built with larger buffer heads.
constexpr uint64_t kChargePerMessage = 1280;

constexpr uint16_t kEventNotified = 1;
constexpr uint16_t kEventReleased = 2;

// Netlink control types (no-op, error, done, overrun); never a driver message.
bool isControlType(uint16_t type) {
    return type >= NLMSG_NOOP && type <= NLMSG_OVERRUN;
}

// Reads a field of type T at offset; the caller has checked that the bytes were received.
template <typename T>
T fieldAt(const unsigned char* bytes, size_t offset) {
    T value;
    std::memcpy(&value, bytes + offset, sizeof(value));
    return value;
}

int openSocket(tStatusRecord& status) {
    const int descriptor = ::socket(AF_NETLINK, SOCK_RAW, NETLINK_GENERIC);
    if (descriptor == -1) {
        QV_SET_STATUS(status, statusFromErrno(errno));
    }
    return descriptor;
}

// The socket's receive buffer as the kernel reports it (doubled); 0 when it cannot be read.
uint32_t receiveBufferSize(int descriptor, tStatusRecord& status) {
    uint32_t size = 0;
    socklen_t sizeLength = sizeof(size);
    if (::getsockopt(descriptor, SOL_SOCKET, SO_RCVBUF, &size, &sizeLength) != 0) {
        QV_SET_STATUS(status, statusFromErrno(errno));
        return 0;
    }
    return size;
}

void closeIfOpen(int descriptor) {
    if (descriptor != -1) {
        ::close(descriptor);
    }
}

// Orders the stores before it ahead of every later store, at the processor and not only in
// the compiler.
inline void storeFence() {
#if defined(__x86_64__) || defined(__i386__)
    asm volatile("sfence" ::: "memory");
#elif defined(__aarch64__) || defined(__arm__)
    asm volatile("dmb ishst" ::: "memory");
#else
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
#endif
}

}  // namespace

tDecodeResult decodeNotificationMessage(const unsigned char* bytes, size_t received, uint32_t& kind,
                                        void* payloadOut, uint32_t& length, uint64_t& cookie) {
    if (received > kNotificationMessageSize) {
        received = kNotificationMessageSize;
    }
    if (received < kNetlinkHeaderSize) {
        return tDecodeResult::kDropped;
    }
    const uint32_t messageLength = fieldAt<uint32_t>(bytes, kLengthOffset);
    if (messageLength < kNetlinkHeaderSize || messageLength > received) {
        return tDecodeResult::kDropped;
    }
    if (isControlType(fieldAt<uint16_t>(bytes, kTypeOffset))) {
        return tDecodeResult::kDropped;
    }
    // A message too short for the fields below is as malformed as one cut short of its length.
    if (received < kPayloadOffset) {
        return tDecodeResult::kDropped;
    }
    const uint32_t payloadSize = fieldAt<uint32_t>(bytes, kPayloadSizeOffset);
    if (payloadSize <= kNotificationPayloadSize && received < kPayloadOffset + payloadSize) {
        return tDecodeResult::kDropped;
    }

    const uint16_t eventType = fieldAt<uint16_t>(bytes, kEventTypeOffset);
    if (eventType == kEventNotified) {
        kind = kNotified;
    } else if (eventType == kEventReleased) {
        kind = kReleased;
    } else {
        return tDecodeResult::kUnknownEventType;
    }
    if (payloadSize > kNotificationPayloadSize) {
        return tDecodeResult::kPayloadTooLarge;
    }
    length = payloadSize;
    std::memcpy(payloadOut, bytes + kPayloadOffset, payloadSize);
    cookie = fieldAt<uint64_t>(bytes, kCookieOffset);
    return tDecodeResult::kDecoded;
}

bool sentByKernelOrRoot(const msghdr& header) {
    if (header.msg_namelen == kNetlinkAddressSize &&
        static_cast<const sockaddr_nl*>(header.msg_name)->nl_pid == 0) {
        return true;
    }
    // The kernel found the control buffer too small: what is in it may be cut short.
    if ((header.msg_flags & MSG_CTRUNC) != 0) {
        return false;
    }
    const cmsghdr* control = CMSG_FIRSTHDR(&header);
    if (control == nullptr || control->cmsg_level != SOL_SOCKET ||
        control->cmsg_type != SCM_CREDENTIALS || control->cmsg_len != CMSG_LEN(sizeof(ucred))) {
        return false;
    }
    ucred credentials;
    std::memcpy(&credentials, CMSG_DATA(control), sizeof(credentials));
    return credentials.uid == 0;
}

tIONotificationReader::tIONotificationReader(uint64_t depth, tStatusRecord& status)
    : socket_(-1), wakeRead_(-1), wakeWrite_(-1) {
    int ends[2];
    if (::pipe(ends) == 0) {
        wakeRead_ = ends[0];
        wakeWrite_ = ends[1];
    } else {
        QV_SET_STATUS(status, statusFromErrno(errno));
    }

    socket_ = createSocket(depth, status);

    if (!status.isFatal()) {
        sockaddr_nl address;
        std::memset(&address, 0, sizeof(address));
        socklen_t addressSize = kNetlinkAddressSize;
        // createSocket returns -1 only with a fatal status (every failing call sets errno), so
        // socket_ is open here, which the analyzer cannot follow through the status record.
        // NOLINTNEXTLINE(clang-analyzer-unix.StdCLibraryFunctions)
        if (::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &addressSize) == 0) {
            portId_ = address.nl_pid;
        } else {
            QV_SET_STATUS(status, statusFromErrno(errno));
            portId_ = 0xFFFFFFFF;
        }
    }
}

tIONotificationReader::~tIONotificationReader() {
    closeIfOpen(wakeWrite_);
    closeIfOpen(wakeRead_);
    closeIfOpen(socket_);
}

int tIONotificationReader::createSocket(uint64_t depth, tStatusRecord& status) {
    if (depth > 0xFFFFFFFF) {
        QV_SET_STATUS(status, kStatusInvalidParameter);
    }
    if (status.isFatal()) {
        return -1;
    }

    int descriptor = openSocket(status);
    if (descriptor == -1) {
        return -1;
    }

    // Make room for depth messages beyond the one being read. The kernel caps the value set at
    // net.core.rmem_max and doubles it; where the default is above twice that cap, setting it
    // would shrink the buffer, so a fresh socket, which still has the default, replaces this one.
    const uint32_t current = receiveBufferSize(descriptor, status);
    const uint64_t needed = (depth + 1) * kChargePerMessage;
    if (needed > current) {
        const uint32_t requested = static_cast<uint32_t>(std::min<uint64_t>(needed / 2, INT32_MAX));
        if (::setsockopt(descriptor, SOL_SOCKET, SO_RCVBUF, &requested, sizeof(requested)) != 0) {
            QV_SET_STATUS(status, statusFromErrno(errno));
        } else if (receiveBufferSize(descriptor, status) < current) {
            ::close(descriptor);
            descriptor = openSocket(status);
            if (descriptor == -1) {
                return -1;
            }
        }
    }

    // Every datagram then carries its sender's credentials, set by the kernel; asked for before a
    // port exists that anyone could send to.
    const int enabled = 1;
    if (::setsockopt(descriptor, SOL_SOCKET, SO_PASSCRED, &enabled, sizeof(enabled)) != 0) {
        QV_SET_STATUS(status, statusFromErrno(errno));
    }

    // Port 0 lets the kernel choose; no multicast groups.
    sockaddr_nl address;
    std::memset(&address, 0, sizeof(address));
    address.nl_family = AF_NETLINK;
    address.nl_pid = 0;
    address.nl_groups = 0;
    if (::bind(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        QV_SET_STATUS(status, statusFromErrno(errno));
    }

    if (status.isFatal()) {
        ::close(descriptor);
        return -1;
    }
    return descriptor;
}

uint64_t tIONotificationReader::wait(uint32_t& kind, void* buffer, uint32_t& length,
                                     tStatusRecord& status, int32_t timeoutMs) {
    if (status.isFatal()) {
        return 0;
    }

    pollfd entries[2];
    entries[0].fd = socket_;
    entries[0].events = POLLIN;
    entries[0].revents = 0;
    entries[1].fd = wakeRead_;
    entries[1].events = POLLIN;
    entries[1].revents = 0;

    int ready;
    do {
        ready = ::poll(entries, 2, timeoutMs);
    } while (ready == -1 && errno == EINTR);
    if (ready == -1) {
        QV_SET_STATUS(status, kStatusOsFault);
        return 0;
    }
    if (ready == 0) {
        QV_SET_STATUS(status, kStatusTimeout);
        return 0;
    }

    // The socket goes first; a wake byte that came with a message waits for the next call.
    if ((entries[0].revents & POLLIN) != 0) {
        return receive(kind, buffer, length, status);
    }
    if ((entries[1].revents & POLLIN) != 0) {
        char byte;
        while (::read(wakeRead_, &byte, 1) == -1 && errno == EINTR) {
        }
        length = 0;
        kind = kWoken;
        return 0;
    }
    return 0;
}

uint64_t tIONotificationReader::receive(uint32_t& kind, void* buffer, uint32_t& length,
                                        tStatusRecord& status) {
    if (status.isFatal()) {
        return 0;
    }

    unsigned char message[kNotificationMessageSize];
    sockaddr_nl sender;
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(ucred))];
    for (;;) {
        iovec vector;
        vector.iov_base = message;
        vector.iov_len = sizeof(message);
        msghdr header;
        std::memset(&header, 0, sizeof(header));
        header.msg_name = &sender;
        header.msg_namelen = kNetlinkAddressSize;
        header.msg_iov = &vector;
        header.msg_iovlen = 1;
        header.msg_control = control;
        header.msg_controllen = sizeof(control);

        ssize_t received;
        do {
            received = ::recvmsg(socket_, &header, 0);
        } while (received == -1 && errno == EINTR);
        if (received == -1 && errno == ENOBUFS) {
            // The buffer was full when a message came: the kernel dropped it and says so once.
            // The socket works on; what was lost is unknown, so nothing is made of it.
            continue;
        }
        if (received == -1) {
            QV_SET_STATUS(status, kStatusIoError);
            return 0;
        }

        if (!sentByKernelOrRoot(header)) {
            continue;  // not the driver's: take the next datagram, blocking
        }
        uint64_t cookie = 0;
        switch (decodeNotificationMessage(message, static_cast<size_t>(received), kind, buffer,
                                          length, cookie)) {
            case tDecodeResult::kDropped:
                continue;  // malformed or control: take the next datagram, blocking
            case tDecodeResult::kDecoded:
                return cookie;
            case tDecodeResult::kUnknownEventType:
                QV_SET_STATUS(status, kStatusNotSupported);
                return 0;
            case tDecodeResult::kPayloadTooLarge:
                QV_SET_STATUS(status, kStatusIoError);
                return 0;
        }
        return 0;
    }
}

void tIONotificationReader::wake(tStatusRecord& status) {
    if (status.isFatal()) {
        return;
    }
    const char byte = 'q';
    ssize_t written;
    do {
        written = ::write(wakeWrite_, &byte, 1);
    } while (written == -1 && errno == EINTR);
    if (written != 1) {
        QV_SET_STATUS(status, kStatusIoError);
    }
}

tIONotification::tIONotification() : device_(nullptr), notificationId_(0), registered_(false) {}

tIONotification::~tIONotification() = default;

void tIONotification::registerWith(tIONotificationReader* reader, tDeviceInterfaceProxy* device,
                                   uint32_t notificationId, tStatusRecord& status) {
    if (status.isFatal()) {
        return;
    }
    device_ = device;
    notificationId_ = notificationId;
    // The stored device and id are in memory before the driver learns of this object.
    storeFence();

    tNotificationRequest request;
    request.cookie = reinterpret_cast<uintptr_t>(this);
    request.portId = reader->portId();
    request.notificationId = notificationId;
    if (::ioctl(device->descriptor, kRegisterNotification, &request) == -1) {
        QV_SET_STATUS(status, kStatusOsFault);
        return;
    }
    registered_ = true;
}

void tIONotification::unregister() {
    if (!registered_) {
        registered_ = false;
        return;
    }
    if (!device_->isOpen()) {
        registered_ = false;
        return;
    }
    // The id itself is the argument; the driver's answer changes nothing here.
    ::ioctl(device_->descriptor, kUnregisterNotification,
            static_cast<unsigned long>(notificationId_));
    registered_ = false;
}

}  // namespace nZORFEL000
}  // namespace nQUORVAMONITORD_18_5
