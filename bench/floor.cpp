// The least a restart watcher can do, as a yardstick for the daemon. At start it does the same
// work the daemon must do before it is ready, each step once and plainly: find the device
// interface in the driver's procfs tree with the daemon's glob pattern, read its interfacePath
// to the end, open the node, create and bind a NETLINK_GENERIC socket and send the register
// request. Then it
// switches to the daemon's priority (SCHED_FIFO 98), so a comparison measures the work and not
// the scheduler, and blocks in one receive; each message costs one open and read of the pid file
// and one kill. A message of event type 2 unregisters and ends it with status 0.
//
// Usage: qvbenchfloor PIDFILE. Like the daemon it prints nothing: its port and cookie are in the
// driver's register request.
#include <fcntl.h>
#include <glob.h>
#include <linux/netlink.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "protons/io_notification/linuxU/tIONotification.h"

namespace {

using nQUORVAMONITORD_18_5::nZORFEL000::kNotificationMessageSize;
using nQUORVAMONITORD_18_5::nZORFEL000::kRegisterNotification;
using nQUORVAMONITORD_18_5::nZORFEL000::kUnregisterNotification;
using nQUORVAMONITORD_18_5::nZORFEL000::tNotificationMessage;
using nQUORVAMONITORD_18_5::nZORFEL000::tNotificationRequest;

constexpr int kPriority = 98;
constexpr uint32_t kRestartNotificationId = 0x0FE57AF7;
constexpr size_t kEventTypeOffset = offsetof(tNotificationMessage, eventType);
constexpr uint16_t kEventReleased = 2;
constexpr size_t kPathCapacity = 256;

// The daemon's pattern and names: "<name>\<suffix>" directories, the backslash escaped for glob.
constexpr const char* kPatterns[] = {
    "/proc/driver/qv/*/deviceInterfaces/morvelkestrak_morvelkestrak\\\\*",
    "/proc/driver/qv/*/deviceInterfaces/morvelpandk_morvelsondrapand\\\\*"};

// Reads the node path of the first interface found into node; false if there is none.
bool findNode(char (&node)[kPathCapacity]) {
    for (const char* pattern : kPatterns) {
        glob_t matches;
        if (::glob(pattern, GLOB_ONLYDIR, nullptr, &matches) != 0) {
            ::globfree(&matches);
            continue;
        }
        char file[4096];
        std::snprintf(file, sizeof(file), "%s/interfacePath", matches.gl_pathv[0]);
        ::globfree(&matches);
        const int fd = ::open(file, O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return false;
        }
        // To the end of the file, as any reader must to know it has all of it: for a path that
        // fits, the content and then the end.
        size_t length = 0;
        ssize_t count;
        do {
            count = ::read(fd, node + length, kPathCapacity - 1 - length);
            length += count > 0 ? static_cast<size_t>(count) : 0;
        } while (count > 0 && length < kPathCapacity - 1);
        ::close(fd);
        if (count < 0 || length == 0) {
            return false;
        }
        node[length] = '\0';
        return true;
    }
    return false;
}

// Binds a NETLINK_GENERIC socket to a port the kernel chooses; returns it and the port, or -1.
int openBoundSocket(uint32_t& port) {
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_GENERIC);
    if (fd < 0) {
        return -1;
    }
    sockaddr_nl address;
    std::memset(&address, 0, sizeof(address));
    address.nl_family = AF_NETLINK;
    socklen_t size = sizeof(address);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        ::close(fd);
        return -1;
    }
    port = address.nl_pid;
    return fd;
}

// One open, one read and one kill.
void signalRecordedProcess(const char* pidFile) {
    const int fd = ::open(pidFile, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    char text[32];
    const ssize_t count = ::read(fd, text, sizeof(text) - 1);
    ::close(fd);
    if (count <= 0) {
        return;
    }
    text[count] = '\0';
    const long pid = std::strtol(text, nullptr, 10);
    if (pid > 0) {
        (void)::kill(static_cast<pid_t>(pid), SIGTERM);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s PIDFILE\n", argv[0]);
        return 2;
    }
    char nodePath[kPathCapacity];
    if (!findNode(nodePath)) {
        std::fprintf(stderr, "no device interface\n");
        return 1;
    }
    const int node = ::open(nodePath, O_RDWR | O_CLOEXEC);
    if (node < 0) {
        std::perror("device node");
        return 1;
    }
    tNotificationRequest request;
    const int fd = openBoundSocket(request.portId);
    if (fd < 0) {
        std::perror("netlink socket");
        return 1;
    }
    request.cookie = reinterpret_cast<uintptr_t>(&request);
    request.notificationId = kRestartNotificationId;
    if (::ioctl(node, kRegisterNotification, &request) == -1) {
        std::perror("register request");
        return 1;
    }
    sched_param param{};
    param.sched_priority = kPriority;
    if (::sched_setscheduler(0, SCHED_FIFO, &param) != 0) {
        std::perror("sched_setscheduler");
        return 1;
    }

    unsigned char message[kNotificationMessageSize];
    for (;;) {
        const ssize_t received = ::recv(fd, message, sizeof(message), 0);
        if (received < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::perror("recv");
            return 1;
        }
        uint16_t eventType = 0;
        if (static_cast<size_t>(received) >= kEventTypeOffset + sizeof(eventType)) {
            std::memcpy(&eventType, message + kEventTypeOffset, sizeof(eventType));
        }
        if (eventType == kEventReleased) {
            (void)::ioctl(node, kUnregisterNotification,
                          static_cast<unsigned long>(kRestartNotificationId));
            return 0;
        }
        signalRecordedProcess(argv[1]);
    }
}
