#include "bench/tNetlinkSender.h"

#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "bench/monotonicClock.h"

namespace nQUORVAMONITORD_18_5 {
namespace nQVBENCH {
namespace {

constexpr uint16_t kFamilyType = 0x1c;
constexpr uint16_t kAttributeLength = 48;

}  // namespace

nZORFEL000::tNotificationMessage makeNotificationMessage(uint16_t eventType, uint64_t cookie,
                                                         uint32_t sequence, uint32_t senderPort) {
    nZORFEL000::tNotificationMessage message;
    std::memset(&message, 0, sizeof(message));
    message.length = nZORFEL000::kNotificationMessageSize;
    message.type = kFamilyType;
    message.sequence = sequence;
    message.senderPort = senderPort;
    message.command = 1;
    message.version = 1;
    message.attributeLength = kAttributeLength;
    message.eventType = eventType;
    message.cookie = cookie;
    message.payloadSize = 0;
    return message;
}

tNetlinkSender::tNetlinkSender() {
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_GENERIC);
    if (fd < 0) {
        return;
    }
    sockaddr_nl address;
    std::memset(&address, 0, sizeof(address));
    address.nl_family = AF_NETLINK;
    socklen_t size = sizeof(address);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        ::close(fd);
        return;
    }
    socket_ = fd;
    port_ = address.nl_pid;
}

tNetlinkSender::~tNetlinkSender() {
    if (socket_ >= 0) {
        ::close(socket_);
    }
}

int64_t tNetlinkSender::send(uint32_t port, uint16_t eventType, uint64_t cookie) {
    const nZORFEL000::tNotificationMessage message =
        makeNotificationMessage(eventType, cookie, ++sequence_, port_);
    sockaddr_nl target;
    std::memset(&target, 0, sizeof(target));
    target.nl_family = AF_NETLINK;
    target.nl_pid = port;
    const int64_t before = monotonicNanoseconds();
    const ssize_t sent = ::sendto(socket_, &message, sizeof(message), 0,
                                  reinterpret_cast<const sockaddr*>(&target), sizeof(target));
    return sent == static_cast<ssize_t>(sizeof(message)) ? before : 0;
}

}  // namespace nQVBENCH
}  // namespace nQUORVAMONITORD_18_5
