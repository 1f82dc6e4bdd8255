#include "tools/qvdriversim/tNotificationSender.h"

#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace nQUORVAMONITORD_18_5 {
namespace nQVDRIVERSIM {

tNotificationSender::~tNotificationSender() {
    if (socket_ != -1) {
        ::close(socket_);
    }
}

bool tNotificationSender::open(std::string& error) {
    socket_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_GENERIC);
    if (socket_ == -1) {
        error = std::string("cannot create the netlink socket: ") + std::strerror(errno);
        return false;
    }
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    if (::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == -1) {
        error = std::string("cannot bind the netlink socket: ") + std::strerror(errno);
        return false;
    }
    socklen_t size = sizeof address;
    if (::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &size) == -1) {
        error = std::string("cannot read the netlink port: ") + std::strerror(errno);
        return false;
    }
    portId_ = address.nl_pid;
    return true;
}

int tNotificationSender::send(uint32_t port, const void* bytes, size_t size) {
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_pid = port;
    const ssize_t sent = ::sendto(socket_, bytes, size, MSG_DONTWAIT,
                                  reinterpret_cast<sockaddr*>(&address), sizeof address);
    if (sent == -1) {
        return errno;
    }
    return static_cast<size_t>(sent) == size ? 0 : EMSGSIZE;
}

}  // namespace nQVDRIVERSIM
}  // namespace nQUORVAMONITORD_18_5
