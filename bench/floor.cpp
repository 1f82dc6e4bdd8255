// The least a restart watcher can do, as a yardstick for the daemon: block in one receive on a
// bound NETLINK_GENERIC socket, then one open and read of the pid file and one kill. It runs at
// the daemon's priority (SCHED_FIFO 98), so a comparison measures the work, not the scheduler.
//
// Usage: qvbenchfloor PIDFILE. Prints its netlink port id on a line once it is ready to receive.
// A message of event type 2 ends it with status 0.
#include <fcntl.h>
#include <linux/netlink.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kPriority = 98;
constexpr size_t kMessageSize = 72;
constexpr size_t kEventTypeOffset = 22;
constexpr uint16_t kEventReleased = 2;

// Binds a NETLINK_GENERIC socket to a port the kernel chooses; returns it and the port, or -1.
int openBoundSocket(uint32_t& port) {
    const int fd = ::socket(AF_NETLINK, SOCK_RAW, NETLINK_GENERIC);
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
    uint32_t port = 0;
    const int fd = openBoundSocket(port);
    if (fd < 0) {
        std::perror("netlink socket");
        return 1;
    }
    sched_param param{};
    param.sched_priority = kPriority;
    if (::sched_setscheduler(0, SCHED_FIFO, &param) != 0) {
        std::perror("sched_setscheduler");
        return 1;
    }
    std::printf("%u\n", port);
    std::fflush(stdout);

    unsigned char message[kMessageSize];
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
            return 0;
        }
        signalRecordedProcess(argv[1]);
    }
}
