#include "tests/support/tNetlinkSender.h"

#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

namespace nQUORVAMONITORD_18_5 {

tNetlinkSender::tNetlinkSender() {
    socket_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_GENERIC);
    sockaddr_nl self{};
    self.nl_family = AF_NETLINK;
    if (socket_ >= 0 &&
        ::bind(socket_, reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0) {
        ::close(socket_);
        socket_ = -1;
    }
}

tNetlinkSender::~tNetlinkSender() {
    if (socket_ >= 0) {
        ::close(socket_);
    }
}

bool tNetlinkSender::send(uint32_t port, const void* bytes, size_t size, int flags) const {
    sockaddr_nl target{};
    target.nl_family = AF_NETLINK;
    target.nl_pid = port;
    return ::sendto(socket_, bytes, size, flags, reinterpret_cast<const sockaddr*>(&target),
                    sizeof target) == static_cast<ssize_t>(size);
}

}  // namespace nQUORVAMONITORD_18_5
