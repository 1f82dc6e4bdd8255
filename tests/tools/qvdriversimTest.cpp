// The simulator as other tests use it: started through tDriverSimulator in this test's private
// mount namespace at /proc/driver, reached through the real kernel paths (FUSE files, ioctls,
// mmap, netlink datagrams) and its control commands.
#include <fcntl.h>
#include <glob.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "protons/driver/linuxU/iInterfaceProxy.h"
#include "protons/io_notification/linuxU/tIONotification.h"
#include "tests/support/tDriverSimulator.h"
#include "tools/qvdriversim/deviceRequests.h"

namespace nQUORVAMONITORD_18_5 {
namespace {

using nQVDRIVERSIM::kEchoSizesRequest;
using nQVDRIVERSIM::kFailingRequest;
using nQVDRIVERSIM::kFillResultRequest;
using nQVDRIVERSIM::kFillResultValue;
using nZORFEL000::kRegisterNotification;
using nZORFEL000::kUnregisterNotification;
using nZORFEL000::tDeviceIoRequest;
using nZORFEL000::tNotificationMessage;
using nZORFEL000::tNotificationRequest;

constexpr uint32_t kRestartId = 0x0FE57AF7;
constexpr const char* kNodePath = "/proc/driver/qv/dev0/node";
constexpr const char* kDefaultInterfacePath =
    "/proc/driver/qv/dev0/deviceInterfaces/morvelkestrak_morvelkestrak\\0/interfacePath";

// A bound NETLINK_GENERIC socket standing in for the daemon's reader.
class tNetlinkListener {
  public:
    tNetlinkListener() {
        socket_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_GENERIC);
        sockaddr_nl address{};
        address.nl_family = AF_NETLINK;
        socklen_t size = sizeof address;
        if (socket_ != -1 &&
            ::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
            port_ = address.nl_pid;
        }
    }
    ~tNetlinkListener() {
        if (socket_ != -1) {
            ::close(socket_);
        }
    }
    tNetlinkListener(const tNetlinkListener&) = delete;
    tNetlinkListener& operator=(const tNetlinkListener&) = delete;

    uint32_t port() const { return port_; }

    // One datagram (up to 512 bytes), or an empty string when none arrives in time.
    std::string receive(int timeoutMs = 5000) {
        pollfd entry{socket_, POLLIN, 0};
        if (::poll(&entry, 1, timeoutMs) != 1) {
            return "";
        }
        char buffer[512];
        const ssize_t count = ::recv(socket_, buffer, sizeof buffer, MSG_TRUNC);
        if (count < 0) {
            return "";
        }
        return std::string(buffer, std::min<size_t>(static_cast<size_t>(count), sizeof buffer));
    }

    bool nothingPending() {
        pollfd entry{socket_, POLLIN, 0};
        return ::poll(&entry, 1, 200) == 0;
    }

  private:
    int socket_ = -1;
    uint32_t port_ = 0;
};

int registerPort(int node, uint64_t cookie, uint32_t port, uint32_t id) {
    tNotificationRequest request{cookie, port, id};
    return ::ioctl(node, kRegisterNotification, &request);
}

tNotificationMessage decode(const std::string& datagram) {
    tNotificationMessage message{};
    std::memcpy(&message, datagram.data(), std::min(datagram.size(), sizeof message));
    return message;
}

bool contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// Reads a file the way the daemon does: "re" and one fread of up to 4096 bytes.
bool readLikeDaemon(const std::string& path, std::string& content, int& openErrno,
                    bool& streamError) {
    FILE* file = std::fopen(path.c_str(), "re");
    if (file == nullptr) {
        openErrno = errno;
        return false;
    }
    char buffer[4096];
    const size_t count = std::fread(buffer, 1, sizeof buffer, file);
    streamError = std::ferror(file) != 0;
    std::fclose(file);
    content.assign(buffer, count);
    return true;
}

TEST(qvdriversimTest, DefaultDeviceIsFoundAndNamesItsNode) {
    tDriverSimulator simulator;
    ASSERT_TRUE(simulator.ready()) << simulator.startError();

    glob_t matches{};
    ASSERT_EQ(::glob("/proc/driver/qv/*/deviceInterfaces/morvelkestrak_morvelkestrak\\\\*",
                     GLOB_ONLYDIR, nullptr, &matches),
              0);
    ASSERT_EQ(matches.gl_pathc, 1u);
    EXPECT_STREQ(matches.gl_pathv[0],
                 "/proc/driver/qv/dev0/deviceInterfaces/morvelkestrak_morvelkestrak\\0");
    ::globfree(&matches);

    std::string content;
    int openErrno = 0;
    bool streamError = true;
    ASSERT_TRUE(readLikeDaemon(kDefaultInterfacePath, content, openErrno, streamError));
    EXPECT_FALSE(streamError);
    EXPECT_EQ(content, kNodePath);

    const int node = ::open(content.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_NE(node, -1) << std::strerror(errno);
    ::close(node);
}

TEST(qvdriversimTest, NotifyAndReleaseSendExactMessagesToTheRegisteredPort) {
    tDriverSimulator simulator;
    ASSERT_TRUE(simulator.ready()) << simulator.startError();
    tNetlinkListener listener;
    ASSERT_NE(listener.port(), 0u);
    const int node = ::open(kNodePath, O_RDWR | O_CLOEXEC);
    ASSERT_NE(node, -1) << std::strerror(errno);
    const uint64_t cookie = 0x0000'7FFD'1234'5678;
    ASSERT_EQ(registerPort(node, cookie, listener.port(), kRestartId), 0) << std::strerror(errno);

    const tCommandResult notified = simulator.command({"notify", "--payload", "a1b2c3"});
    ASSERT_EQ(notified.exitStatus, 0) << notified.errors;
    EXPECT_NE(notified.output.find("sent event type 1 to port " + std::to_string(listener.port())),
              std::string::npos)
        << notified.output;
    const std::string first = listener.receive();
    ASSERT_EQ(first.size(), 72u);
    const tNotificationMessage message = decode(first);
    EXPECT_EQ(message.length, 72u);
    EXPECT_EQ(message.type, 0x1c);
    EXPECT_EQ(message.flags, 0);
    EXPECT_EQ(message.eventType, 1);
    EXPECT_EQ(message.cookie, cookie);
    EXPECT_EQ(message.payloadSize, 3u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(message.payload), 32),
              std::string("\xa1\xb2\xc3") + std::string(29, '\0'));
    EXPECT_EQ(message.reserved2, 0u);

    const tCommandResult released = simulator.command({"release"});
    ASSERT_EQ(released.exitStatus, 0) << released.errors;
    const tNotificationMessage second = decode(listener.receive());
    EXPECT_EQ(second.eventType, 2);
    EXPECT_EQ(second.payloadSize, 0u);
    EXPECT_EQ(second.cookie, cookie);
    EXPECT_EQ(second.sequence, message.sequence + 1);
    EXPECT_EQ(second.senderPort, message.senderPort);

    EXPECT_EQ(::ioctl(node, kUnregisterNotification, static_cast<unsigned long>(kRestartId)), 0);
    const std::vector<std::string> log = simulator.log();
    char expected[160];
    std::snprintf(expected, sizeof expected,
                  "register node=/qv/dev0/node cookie=0x00007ffd12345678 port=%u id=0x0fe57af7 "
                  "result=ok",
                  listener.port());
    EXPECT_TRUE(contains(log, expected));
    EXPECT_TRUE(contains(log, "unregister node=/qv/dev0/node arg=0x0fe57af7 result=ok"));
    ::close(node);
}

}  // namespace
}  // namespace nQUORVAMONITORD_18_5
