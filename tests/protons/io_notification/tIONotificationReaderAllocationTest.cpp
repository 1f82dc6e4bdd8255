// The reader's event path must not touch the heap: every allocation made by this process while a
// window is open is counted, and wait runs inside the window on real netlink datagrams.
#include <linux/netlink.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "protons/io_notification/linuxU/tIONotification.h"
#include "tests/support/tAllocationWindow.h"
#include "tests/support/tNetlinkSender.h"

namespace nQUORVAMONITORD_18_5::nZORFEL000 {
namespace {

constexpr uint16_t kFamilyType = 0x1C;

tNotificationMessage makeMessage(uint16_t eventType, uint64_t cookie, uint32_t payloadSize) {
    tNotificationMessage message;
    std::memset(&message, 0, sizeof(message));
    message.length = kNotificationMessageSize;
    message.type = kFamilyType;
    message.attributeLength = 52;
    message.eventType = eventType;
    message.cookie = cookie;
    message.payloadSize = payloadSize;
    for (uint32_t i = 0; i < kNotificationPayloadSize; ++i) {
        message.payload[i] = static_cast<uint8_t>(0x40 + i);
    }
    return message;
}

class tIONotificationReaderAllocationTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "sending to another netlink port needs root";
        }
        ASSERT_FALSE(status.isFatal());
        ASSERT_TRUE(sender.ready());
    }

    // Sends one datagram to the reader's port, as the driver does.
    bool sendToReader(const void* bytes, size_t size) const {
        return sender.send(reader.portId(), bytes, size);
    }
    bool sendToReader(const tNotificationMessage& message) const {
        return sendToReader(&message, sizeof message);
    }

    // One wait with no time limit, inside an allocation window; returns the allocations seen.
    long countedWait() {
        tAllocationWindow window;
        cookie = reader.wait(kind, payload, length, status, -1);
        return window.count();
    }

    // One counted wait while a child process sends with send(); the child must succeed.
    long countedWaitWhileChildSends(const std::function<bool()>& send) {
        const pid_t child = ::fork();
        if (child == 0) {
            ::_exit(send() ? 0 : 1);
        }
        if (child == -1) {
            ADD_FAILURE() << "fork failed";
            return -1;
        }
        const long seen = countedWait();
        int childStatus = 0;
        EXPECT_EQ(::waitpid(child, &childStatus, 0), child);
        EXPECT_TRUE(WIFEXITED(childStatus) && WEXITSTATUS(childStatus) == 0) << "the send failed";
        return seen;
    }

    tStatusRecord status;
    tIONotificationReader reader{1, status};
    tNetlinkSender sender;
    uint32_t kind = 0xFFFFFFFF;
    uint32_t length = 0xFFFFFFFF;
    uint64_t cookie = 0;
    unsigned char payload[kNotificationPayloadSize] = {};
};

// Guards the guard: the window must see the allocations it exists to catch.
TEST_F(tIONotificationReaderAllocationTest, WindowCountsHeapAllocations) {
    tAllocationWindow window;
    int* number = new int(7);
    void* block = std::malloc(64);
    FILE* stream = std::fopen("/dev/null", "r");
    const long seen = window.count();
    delete number;
    std::free(block);
    if (stream != nullptr) {
        std::fclose(stream);
    }
    EXPECT_GE(seen, 3);
}

TEST_F(tIONotificationReaderAllocationTest, NotifyAndReleaseAllocateNothing) {
    ASSERT_TRUE(sendToReader(makeMessage(1, 0x1111, 8)));
    EXPECT_EQ(countedWait(), 0);
    EXPECT_FALSE(status.isFatal());
    EXPECT_EQ(kind, kNotified);
    EXPECT_EQ(length, 8u);
    EXPECT_EQ(cookie, 0x1111u);
    EXPECT_EQ(payload[7], 0x47);

    ASSERT_TRUE(sendToReader(makeMessage(2, 0x2222, 32)));
    EXPECT_EQ(countedWait(), 0);
    EXPECT_FALSE(status.isFatal());
    EXPECT_EQ(kind, kReleased);
    EXPECT_EQ(length, 32u);
    EXPECT_EQ(cookie, 0x2222u);
}

// The wait blocks in poll and is woken by a datagram sent from another process.
TEST_F(tIONotificationReaderAllocationTest, BlockedWaitWokenByMessageAllocatesNothing) {
    const tNotificationMessage message = makeMessage(1, 0x3333, 0);
    const long seen = countedWaitWhileChildSends([&] {
        const timespec delay{0, 100000000};  // 100 ms
        ::nanosleep(&delay, nullptr);
        return sendToReader(message);
    });
    EXPECT_EQ(seen, 0);
    EXPECT_FALSE(status.isFatal());
    EXPECT_EQ(kind, kNotified);
    EXPECT_EQ(cookie, 0x3333u);
}

// Dropping malformed and control messages, and messages from a sender other than the kernel or
// root, loops inside receive; that loop must not allocate. The datagrams come from other
// processes: the reader's small receive buffer holds only some of them at a time, so the sender
// blocks until the reader drains it.
TEST_F(tIONotificationReaderAllocationTest, DroppedMessagesBeforeANotifyAllocateNothing) {
    ASSERT_TRUE(sendAsUserWithNetAdmin(65534, reader.portId(), {1, 3, 2}));
    tNotificationMessage control = makeMessage(1, 0x4444, 0);
    control.type = NLMSG_ERROR;
    tNotificationMessage overlong = makeMessage(1, 0x4444, 0);
    overlong.length = 80;
    const tNotificationMessage valid = makeMessage(1, 0x5555, 4);
    const long seen = countedWaitWhileChildSends([&] {
        const unsigned char runt[10] = {};
        return sendToReader(runt, sizeof(runt)) && sendToReader(control) &&
               sendToReader(overlong) && sendToReader(valid);
    });
    EXPECT_EQ(seen, 0);
    EXPECT_FALSE(status.isFatal());
    EXPECT_EQ(kind, kNotified);
    EXPECT_EQ(cookie, 0x5555u);
}

TEST_F(tIONotificationReaderAllocationTest, ManyNotificationsInARowAllocateNothing) {
    long total = 0;
    for (uint64_t i = 1; i <= 200; ++i) {
        ASSERT_TRUE(sendToReader(makeMessage(1, i, static_cast<uint32_t>(i % 33))));
        total += countedWait();
        ASSERT_FALSE(status.isFatal());
        ASSERT_EQ(cookie, i);
    }
    EXPECT_EQ(total, 0);
}

TEST_F(tIONotificationReaderAllocationTest, WakeAllocatesNothing) {
    tAllocationWindow window;
    reader.wake(status);
    cookie = reader.wait(kind, payload, length, status, -1);
    EXPECT_EQ(window.count(), 0);
    EXPECT_FALSE(status.isFatal());
    EXPECT_EQ(kind, kWoken);
}

}  // namespace
}  // namespace nQUORVAMONITORD_18_5::nZORFEL000
