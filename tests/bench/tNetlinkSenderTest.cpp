#include "bench/tNetlinkSender.h"

#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "bench/monotonicClock.h"

namespace nQUORVAMONITORD_18_5::nQVBENCH {
namespace {

using nZORFEL000::tNotificationMessage;

// A bound NETLINK_GENERIC socket standing in for a watcher.
class tReceiver {
  public:
    tReceiver() {
        socket_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_GENERIC);
        sockaddr_nl address;
        std::memset(&address, 0, sizeof(address));
        address.nl_family = AF_NETLINK;
        socklen_t size = sizeof(address);
        if (socket_ >= 0 &&
            ::bind(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0 &&
            ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
            port_ = address.nl_pid;
        }
    }
    ~tReceiver() { ::close(socket_); }
    uint32_t port() const { return port_; }
    ssize_t receive(void* buffer, size_t size) {
        return ::recv(socket_, buffer, size, MSG_DONTWAIT);
    }

  private:
    int socket_ = -1;
    uint32_t port_ = 0;
};

TEST(tNetlinkSenderTest, MessageHasTheDriverLayout) {
    const tNotificationMessage message = makeNotificationMessage(2, 0xABCDEF, 9, 1234);
    EXPECT_EQ(message.length, 72u);
    EXPECT_EQ(message.type, 0x1c);
    EXPECT_EQ(message.flags, 0);
    EXPECT_EQ(message.sequence, 9u);
    EXPECT_EQ(message.senderPort, 1234u);
    EXPECT_EQ(message.command, 1);
    EXPECT_EQ(message.version, 1);
    EXPECT_EQ(message.attributeLength, 48);
    EXPECT_EQ(message.eventType, 2);
    EXPECT_EQ(message.cookie, 0xABCDEFu);
    EXPECT_EQ(message.payloadSize, 0u);
    for (const uint8_t byte : message.payload) {
        EXPECT_EQ(byte, 0);
    }
}

TEST(tNetlinkSenderTest, SendsNumberedMessagesAndTimesThemBeforeSending) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "sending to another netlink port needs root";
    }
    tReceiver receiver;
    ASSERT_NE(receiver.port(), 0u);
    tNetlinkSender sender;
    ASSERT_TRUE(sender.ready());

    for (uint32_t expectedSequence = 1; expectedSequence <= 2; ++expectedSequence) {
        const int64_t before = monotonicNanoseconds();
        const int64_t sent = sender.send(receiver.port(), 1, 0x77);
        const int64_t after = monotonicNanoseconds();
        EXPECT_GE(sent, before);
        EXPECT_LE(sent, after);

        unsigned char bytes[128];
        ASSERT_EQ(receiver.receive(bytes, sizeof(bytes)), 72);
        tNotificationMessage message;
        std::memcpy(&message, bytes, sizeof(message));
        EXPECT_EQ(message.eventType, 1);
        EXPECT_EQ(message.cookie, 0x77u);
        EXPECT_EQ(message.sequence, expectedSequence);
    }
}

TEST(tNetlinkSenderTest, FailedSendReportsZero) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "sending to another netlink port needs root";
    }
    tNetlinkSender sender;
    ASSERT_TRUE(sender.ready());
    // No socket is bound to this port.
    EXPECT_EQ(sender.send(0xFFFFFF00u, 1, 0), 0);
}

}  // namespace
}  // namespace nQUORVAMONITORD_18_5::nQVBENCH
