// The I/O-notification pair: tIONotificationReader owns the netlink socket on which the driver
// delivers notification messages, plus a wake pipe; tIONotification subscribes a reader to one
// notification id of one device.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

#include "protons/driver/linuxU/tDeviceInterfaceProxy.h"
#include "status/tStatusRecord.h"

namespace nQUORVAMONITORD_18_5 {
namespace nZORFEL000 {

// Event kinds reported by tIONotificationReader::wait.
inline constexpr uint32_t kNotified = 0;  // driver message of event type 1
inline constexpr uint32_t kReleased = 1;  // driver message of event type 2
inline constexpr uint32_t kWoken = 2;     // a byte on the wake pipe

inline constexpr uint32_t kNotificationMessageSize = 72;
inline constexpr uint32_t kNotificationPayloadSize = 32;

// A driver message: a generic netlink message carrying one attribute (native byte order).
struct tNotificationMessage {
    uint32_t length;  // netlink header
    uint16_t type;
    uint16_t flags;
    uint32_t sequence;
    uint32_t senderPort;
    uint8_t command;  // generic netlink header
    uint8_t version;
    uint16_t reserved;
    uint16_t attributeLength;  // attribute header
    uint16_t eventType;
    uint64_t cookie;
    uint32_t payloadSize;
    uint8_t payload[kNotificationPayloadSize];
    uint32_t reserved2;
};

static_assert(sizeof(tNotificationMessage) == kNotificationMessageSize);
static_assert(offsetof(tNotificationMessage, type) == 4);
static_assert(offsetof(tNotificationMessage, command) == 16);
static_assert(offsetof(tNotificationMessage, attributeLength) == 20);
static_assert(offsetof(tNotificationMessage, eventType) == 22);
static_assert(offsetof(tNotificationMessage, cookie) == 24);
static_assert(offsetof(tNotificationMessage, payloadSize) == 32);
static_assert(offsetof(tNotificationMessage, payload) == 36);
static_assert(offsetof(tNotificationMessage, reserved2) == 68);

// What the bytes of one received datagram amount to.
enum class tDecodeResult {
    kDropped,           // malformed or a netlink control message: receive the next one
    kDecoded,           // kind, length, payload and cookie are set
    kUnknownEventType,  // nothing set
    kPayloadTooLarge,   // kind set, nothing else
};

// Decodes the first `received` bytes of a datagram (at most kNotificationMessageSize are looked
// at). Never reads beyond the bytes received: a message too short to hold the fields decoding
// needs is dropped. payloadOut must hold kNotificationPayloadSize bytes.
tDecodeResult decodeNotificationMessage(const unsigned char* bytes, size_t received, uint32_t& kind,
                                        void* payloadOut, uint32_t& length, uint64_t& cookie);

// True when what recvmsg filled into header shows that the kernel sent the datagram (sender port
// 0, which no user socket can have) or a process whose credentials are root's: the
// SCM_CREDENTIALS message the kernel attaches on a socket with SO_PASSCRED, whole and with uid 0.
// Any process with CAP_NET_ADMIN may send to the reader's port; nothing else speaks for the
// driver.
bool sentByKernelOrRoot(const msghdr& header);

class tIONotificationReader {
  public:
    // Creates the wake pipe and a bound NETLINK_GENERIC socket whose receive buffer holds at
    // least depth + 1 messages and which receives each sender's credentials. Runs whatever the
    // status record holds; the socket is only created when it holds no error.
    tIONotificationReader(uint64_t depth, tStatusRecord& status);
    virtual ~tIONotificationReader();
    tIONotificationReader(const tIONotificationReader&) = delete;
    tIONotificationReader& operator=(const tIONotificationReader&) = delete;

    // Blocks until a driver message or a wake byte arrives, or timeoutMs passes (-1: no limit);
    // a datagram sent by anyone but the kernel or root is dropped like a malformed one, and so is
    // the kernel's report that it dropped one for want of room (ENOBUFS). Returns the message's
    // cookie and sets kind, length and buffer (32 bytes) as the event says; returns 0 otherwise.
    virtual uint64_t wait(uint32_t& kind, void* buffer, uint32_t& length, tStatusRecord& status,
                          int32_t timeoutMs);

    // Makes a blocked or later wait report kWoken.
    virtual void wake(tStatusRecord& status);

    uint32_t portId() const { return portId_; }
    int socketDescriptor() const { return socket_; }

  private:
    static int createSocket(uint64_t depth, tStatusRecord& status);
    uint64_t receive(uint32_t& kind, void* buffer, uint32_t& length, tStatusRecord& status);

    int socket_;
    uint32_t portId_;
    int wakeRead_;
    int wakeWrite_;
};

// Register request: the 16-byte tNotificationRequest is written to the driver.
inline constexpr uint32_t kRegisterNotification = 0x4010FF00;
// Unregister request: the notification id is the argument value itself.
inline constexpr uint32_t kUnregisterNotification = 0xFF01;

struct tNotificationRequest {
    uint64_t cookie;  // address of the registering tIONotification
    uint32_t portId;  // the reader's netlink port
    uint32_t notificationId;
};

static_assert(sizeof(tNotificationRequest) == 16);
static_assert(offsetof(tNotificationRequest, portId) == 8);
static_assert(offsetof(tNotificationRequest, notificationId) == 12);

class tIONotification {
  public:
    tIONotification();
    // Does not unregister: the owner calls unregister first.
    virtual ~tIONotification();
    tIONotification(const tIONotification&) = delete;
    tIONotification& operator=(const tIONotification&) = delete;

    // Asks the driver, on device's descriptor, to send notificationId to the reader's port.
    // A refusal sets kStatusOsFault and leaves the registered flag as it was.
    virtual void registerWith(tIONotificationReader* reader, tDeviceInterfaceProxy* device,
                              uint32_t notificationId, tStatusRecord& status);

    // Withdraws the subscription; sends nothing when none is held or the device is closed.
    virtual void unregister();

    bool isRegistered() const { return registered_; }

  private:
    tDeviceInterfaceProxy* device_;
    uint32_t notificationId_;
    bool registered_;
};

}  // namespace nZORFEL000
}  // namespace nQUORVAMONITORD_18_5
