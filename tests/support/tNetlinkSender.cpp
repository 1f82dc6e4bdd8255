#include "tests/support/tNetlinkSender.h"

#include <grp.h>
#include <linux/capability.h>
#include <linux/netlink.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "protons/io_notification/linuxU/tIONotification.h"

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

bool sendAsUserWithNetAdmin(uid_t id, uint32_t port, std::initializer_list<uint16_t> eventTypes,
                            bool untilFull) {
    std::vector<nZORFEL000::tNotificationMessage> messages;
    for (const uint16_t eventType : eventTypes) {
        nZORFEL000::tNotificationMessage message;
        std::memset(&message, 0, sizeof message);
        message.length = nZORFEL000::kNotificationMessageSize;
        message.type = 0x1C;  // a generic netlink family's type
        message.attributeLength = 52;
        message.eventType = eventType;
        messages.push_back(message);
    }
    const pid_t child = ::fork();
    if (child == 0) {
        // Capabilities kept across the change of user, then narrowed to CAP_NET_ADMIN.
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct capabilities[_LINUX_CAPABILITY_U32S_3] = {};
        capabilities[CAP_TO_INDEX(CAP_NET_ADMIN)].effective = CAP_TO_MASK(CAP_NET_ADMIN);
        capabilities[CAP_TO_INDEX(CAP_NET_ADMIN)].permitted = CAP_TO_MASK(CAP_NET_ADMIN);
        if (::prctl(PR_SET_KEEPCAPS, 1) != 0 || ::setgroups(0, nullptr) != 0 ||
            ::setresgid(id, id, id) != 0 || ::setresuid(id, id, id) != 0 ||
            ::syscall(SYS_capset, &header, capabilities) != 0) {
            ::_exit(2);
        }
        const tNetlinkSender sender;
        if (untilFull) {
            long queued = 0;
            while (sender.send(port, &messages[0], sizeof messages[0], MSG_DONTWAIT)) {
                ++queued;
            }
            ::_exit(errno == EAGAIN && queued > 0 ? 0 : 1);
        }
        for (const auto& message : messages) {
            if (!sender.send(port, &message, sizeof message)) {
                ::_exit(1);
            }
        }
        ::_exit(0);
    }
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

}  // namespace nQUORVAMONITORD_18_5
