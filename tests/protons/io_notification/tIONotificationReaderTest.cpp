#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/genetlink.h>
#include <linux/netlink.h>
#include <linux/seccomp.h>
#include <linux/sock_diag.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "protons/io_notification/linuxU/tIONotification.h"
#include "status/statusFromErrno.h"
#include "tests/support/tNetlinkSender.h"

// While set, a receive buffer size set on any socket asks the kernel for its least, as where
// net.core.rmem_max is far below the default: setting any size shrinks the buffer.
std::atomic<bool> gLeastReceiveBuffer{false};

extern "C" int setsockopt(int socket, int level, int name, const void* value, socklen_t size) {
    const int least = 1;
    if (gLeastReceiveBuffer && level == SOL_SOCKET && name == SO_RCVBUF) {
        value = &least;
        size = sizeof(least);
    }
    return static_cast<int>(::syscall(SYS_setsockopt, socket, level, name, value, size));
}

namespace nQUORVAMONITORD_18_5::nZORFEL000 {
namespace {

constexpr uint16_t kFamilyType = 0x1C;  // any netlink type above the control range
constexpr unsigned char kUntouched = 0xA5;
constexpr uint32_t kSentinel = 0xDEADBEEF;

// A driver message as bytes: netlink length 72, event type, cookie and payloadSize bytes of a
// counting pattern starting at 1.
std::vector<unsigned char> makeMessage(uint16_t eventType, uint64_t cookie, uint32_t payloadSize,
                                       size_t total = kNotificationMessageSize) {
    std::vector<unsigned char> bytes(total, 0);
    tNotificationMessage message;
    std::memset(&message, 0, sizeof(message));
    message.length = kNotificationMessageSize;
    message.type = kFamilyType;
    message.attributeLength = 52;
    message.eventType = eventType;
    message.cookie = cookie;
    message.payloadSize = payloadSize;
    for (uint32_t i = 0; i < kNotificationPayloadSize; ++i) {
        message.payload[i] = static_cast<unsigned char>(i + 1);
    }
    std::memcpy(bytes.data(), &message, std::min(total, sizeof(message)));
    return bytes;
}

void setLength(std::vector<unsigned char>& bytes, uint32_t length) {
    std::memcpy(bytes.data() + offsetof(tNotificationMessage, length), &length, sizeof(length));
}

void setType(std::vector<unsigned char>& bytes, uint16_t type) {
    std::memcpy(bytes.data() + offsetof(tNotificationMessage, type), &type, sizeof(type));
}

// The out-values of one decode or wait, preset to values no decode produces.
struct tOutcome {
    uint32_t kind = kSentinel;
    uint32_t length = kSentinel;
    uint64_t cookie = kSentinel;
    unsigned char payload[kNotificationPayloadSize];
    tOutcome() { std::memset(payload, kUntouched, sizeof(payload)); }

    bool payloadUntouchedFrom(size_t start) const {
        for (size_t i = start; i < sizeof(payload); ++i) {
            if (payload[i] != kUntouched) {
                return false;
            }
        }
        return true;
    }
};

// Decodes exactly `received` bytes from a heap copy of that size, so that a read past them is
// caught by the address sanitizer.
tDecodeResult decode(const std::vector<unsigned char>& bytes, size_t received, tOutcome& out) {
    std::unique_ptr<unsigned char[]> copy(new unsigned char[received]);
    std::memcpy(copy.get(), bytes.data(), received);
    return decodeNotificationMessage(copy.get(), received, out.kind, out.payload, out.length,
                                     out.cookie);
}

TEST(decodeNotificationMessageTest, DecodesBothEventTypes) {
    tOutcome notified;
    ASSERT_EQ(decode(makeMessage(1, 0x1122334455667788, 5), 72, notified), tDecodeResult::kDecoded);
    EXPECT_EQ(notified.kind, kNotified);
    EXPECT_EQ(notified.length, 5u);
    EXPECT_EQ(notified.cookie, 0x1122334455667788u);
    const unsigned char expected[] = {1, 2, 3, 4, 5};
    EXPECT_EQ(std::memcmp(notified.payload, expected, sizeof(expected)), 0);
    EXPECT_TRUE(notified.payloadUntouchedFrom(5));

    tOutcome released;
    ASSERT_EQ(decode(makeMessage(2, 9, 32), 72, released), tDecodeResult::kDecoded);
    EXPECT_EQ(released.kind, kReleased);
    EXPECT_EQ(released.length, 32u);
    EXPECT_EQ(released.cookie, 9u);
    EXPECT_EQ(released.payload[31], 32);
}

TEST(decodeNotificationMessageTest, EmptyPayloadLeavesBufferAlone) {
    tOutcome out;
    ASSERT_EQ(decode(makeMessage(1, 7, 0), 72, out), tDecodeResult::kDecoded);
    EXPECT_EQ(out.kind, kNotified);
    EXPECT_EQ(out.length, 0u);
    EXPECT_EQ(out.cookie, 7u);
    EXPECT_TRUE(out.payloadUntouchedFrom(0));
}

TEST(decodeNotificationMessageTest, DropsDatagramsThatDisagreeWithTheirLength) {
    tOutcome out;
    EXPECT_EQ(decode(makeMessage(1, 7, 0), 10, out), tDecodeResult::kDropped);
    EXPECT_EQ(decode(makeMessage(1, 7, 0), 0, out), tDecodeResult::kDropped);

    auto tooLong = makeMessage(1, 7, 0);
    setLength(tooLong, 80);
    EXPECT_EQ(decode(tooLong, 72, out), tDecodeResult::kDropped);

    auto belowHeader = makeMessage(1, 7, 0);
    setLength(belowHeader, 15);
    EXPECT_EQ(decode(belowHeader, 72, out), tDecodeResult::kDropped);

    // Only 72 bytes of a longer datagram count as received.
    auto hundred = makeMessage(1, 7, 0, 100);
    setLength(hundred, 100);
    EXPECT_EQ(decode(hundred, 100, out), tDecodeResult::kDropped);
    EXPECT_EQ(out.kind, kSentinel);
    EXPECT_EQ(out.length, kSentinel);
    EXPECT_EQ(out.cookie, kSentinel);
    EXPECT_TRUE(out.payloadUntouchedFrom(0));

    auto hundredSaying72 = makeMessage(1, 8, 3, 100);
    ASSERT_EQ(decode(hundredSaying72, 100, out), tDecodeResult::kDecoded);
    EXPECT_EQ(out.cookie, 8u);
    EXPECT_EQ(out.length, 3u);
}

TEST(decodeNotificationMessageTest, DropsOnlyTheFourControlTypes) {
    for (uint16_t type = 1; type <= 4; ++type) {
        auto control = makeMessage(1, 7, 0);
        setType(control, type);
        tOutcome out;
        EXPECT_EQ(decode(control, 72, out), tDecodeResult::kDropped) << "type " << type;
        EXPECT_EQ(out.kind, kSentinel);
    }
    for (int type : {0, 5, 16, 0xFFFF}) {
        auto accepted = makeMessage(2, 7, 0);
        setType(accepted, static_cast<uint16_t>(type));
        tOutcome out;
        EXPECT_EQ(decode(accepted, 72, out), tDecodeResult::kDecoded) << "type " << type;
    }
}

// A datagram that agrees with its length field but stops before the fields decoding needs.
TEST(decodeNotificationMessageTest, DropsMessagesShorterThanTheirFields) {
    tOutcome out;
    for (size_t received : {16u, 24u, 35u}) {
        auto shortMessage = makeMessage(1, 7, 0, received);
        setLength(shortMessage, static_cast<uint32_t>(received));
        EXPECT_EQ(decode(shortMessage, received, out), tDecodeResult::kDropped) << received;
    }
    auto noPayload = makeMessage(1, 7, 5, 40);
    setLength(noPayload, 40);
    EXPECT_EQ(decode(noPayload, 40, out), tDecodeResult::kDropped);
    EXPECT_EQ(out.kind, kSentinel);
    EXPECT_TRUE(out.payloadUntouchedFrom(0));

    auto justEnough = makeMessage(1, 7, 4, 40);
    setLength(justEnough, 40);
    ASSERT_EQ(decode(justEnough, 40, out), tDecodeResult::kDecoded);
    EXPECT_EQ(out.length, 4u);

    auto headerOnly = makeMessage(2, 6, 0, 36);
    setLength(headerOnly, 36);
    ASSERT_EQ(decode(headerOnly, 36, out), tDecodeResult::kDecoded);
    EXPECT_EQ(out.kind, kReleased);
    EXPECT_EQ(out.cookie, 6u);
}

TEST(decodeNotificationMessageTest, UnknownEventTypeSetsNothing) {
    for (int eventType : {0, 3, 0xFFFF}) {
        tOutcome out;
        EXPECT_EQ(decode(makeMessage(static_cast<uint16_t>(eventType), 7, 1), 72, out),
                  tDecodeResult::kUnknownEventType);
        EXPECT_EQ(out.kind, kSentinel);
        EXPECT_EQ(out.length, kSentinel);
        EXPECT_EQ(out.cookie, kSentinel);
        EXPECT_TRUE(out.payloadUntouchedFrom(0));
    }
}

TEST(decodeNotificationMessageTest, OversizedPayloadSetsOnlyTheKind) {
    tOutcome out;
    EXPECT_EQ(decode(makeMessage(2, 7, 33), 72, out), tDecodeResult::kPayloadTooLarge);
    EXPECT_EQ(out.kind, kReleased);
    EXPECT_EQ(out.length, kSentinel);
    EXPECT_EQ(out.cookie, kSentinel);
    EXPECT_TRUE(out.payloadUntouchedFrom(0));

    // The size is judged before the bytes it announces are looked for.
    auto shortOversized = makeMessage(1, 7, 0xFFFFFFFF, 36);
    setLength(shortOversized, 36);
    EXPECT_EQ(decode(shortOversized, 36, out), tDecodeResult::kPayloadTooLarge);
}

// What recvmsg fills in for a datagram from port 4242 of a root process: the sender's address and
// one whole SCM_CREDENTIALS message. Each row below changes one thing.
struct tReceived {
    sockaddr_nl sender{};
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(ucred))] = {};
    msghdr header{};

    tReceived() {
        sender.nl_family = AF_NETLINK;
        sender.nl_pid = 4242;
        header.msg_name = &sender;
        header.msg_namelen = sizeof(sender);
        header.msg_control = control;
        header.msg_controllen = sizeof(control);
        message().cmsg_level = SOL_SOCKET;
        message().cmsg_type = SCM_CREDENTIALS;
        message().cmsg_len = CMSG_LEN(sizeof(ucred));
        setIds(0, 0);
    }
    cmsghdr& message() { return *CMSG_FIRSTHDR(&header); }
    void setIds(uid_t uid, gid_t gid) {
        const ucred credentials{4242, uid, gid};
        std::memcpy(CMSG_DATA(&message()), &credentials, sizeof(credentials));
    }
};

TEST(sentByKernelOrRootTest, OnlyTheKernelAndRootSpeakForTheDriver) {
    struct tCase {
        const char* what;
        bool taken;
        void (*change)(tReceived&);
    };
    const tCase cases[] = {
        {"root's credentials", true, [](tReceived&) {}},
        {"another user's", false, [](tReceived& r) { r.setIds(65534, 65534); }},
        {"root's group alone", false, [](tReceived& r) { r.setIds(65534, 0); }},
        {"the kernel's port, no credentials", true,
         [](tReceived& r) {
             r.sender.nl_pid = 0;
             r.header.msg_controllen = 0;
         }},
        {"port 0 in an address not filled in", false,
         [](tReceived& r) {
             r.sender.nl_pid = 0;
             r.header.msg_namelen = 0;
             r.setIds(65534, 65534);
         }},
        {"no control message", false, [](tReceived& r) { r.header.msg_controllen = 0; }},
        {"control buffer too small", false, [](tReceived& r) { r.header.msg_flags = MSG_CTRUNC; }},
        // Root's uid still lies in the bytes after the cut.
        {"credentials cut short", false,
         [](tReceived& r) { r.message().cmsg_len = CMSG_LEN(sizeof(pid_t)); }},
        {"not credentials", false, [](tReceived& r) { r.message().cmsg_type = SCM_RIGHTS; }},
        {"not a socket-level message", false,
         [](tReceived& r) { r.message().cmsg_level = SOL_NETLINK; }},
    };
    for (const tCase& row : cases) {
        tReceived received;
        row.change(received);
        EXPECT_EQ(sentByKernelOrRoot(received.header), row.taken) << row.what;
    }
}

// Sends a whole datagram to port; false when it was not queued (flags may ask not to block).
bool sendTo(const tNetlinkSender& sender, uint32_t port, const std::vector<unsigned char>& bytes,
            int flags = 0) {
    return sender.send(port, bytes.data(), bytes.size(), flags);
}

std::set<int> openDescriptors() {
    std::set<int> descriptors;
    DIR* directory = ::opendir("/proc/self/fd");
    while (dirent* entry = ::readdir(directory)) {
        if (entry->d_name[0] != '.') {
            descriptors.insert(std::atoi(entry->d_name));
        }
    }
    const int own = ::dirfd(directory);
    ::closedir(directory);
    descriptors.erase(own);
    return descriptors;
}

std::set<int> newDescriptors(const std::set<int>& before) {
    std::set<int> added;
    for (int descriptor : openDescriptors()) {
        if (before.count(descriptor) == 0) {
            added.insert(descriptor);
        }
    }
    return added;
}

bool isOpen(int descriptor) {
    return ::fcntl(descriptor, F_GETFD) != -1;
}

int receiveBufferSize(int socket) {
    int size = 0;
    socklen_t sizeLength = sizeof(size);
    EXPECT_EQ(::getsockopt(socket, SOL_SOCKET, SO_RCVBUF, &size, &sizeLength), 0);
    return size;
}

class tIONotificationReaderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        reader_ = std::make_unique<tIONotificationReader>(1, status_);
        ASSERT_FALSE(status_.isFatal()) << status_.code;
        ASSERT_NE(reader_->socketDescriptor(), -1);
        // A receive that wrongly waits for more gives up instead of hanging the test.
        timeval limit{5, 0};
        ASSERT_EQ(::setsockopt(reader_->socketDescriptor(), SOL_SOCKET, SO_RCVTIMEO, &limit,
                               sizeof(limit)),
                  0);
    }

    void send(const std::vector<unsigned char>& bytes) {
        ASSERT_TRUE(sendTo(sender_, reader_->portId(), bytes)) << std::strerror(errno);
    }

    // Sends the generic netlink controller a request about itself from the reader's socket: the
    // kernel answers to the reader's port.
    void askTheController(uint8_t command, uint16_t flags) {
        struct {
            nlmsghdr netlink;
            genlmsghdr generic;
            nlattr attribute;
            uint16_t familyId;
            uint16_t padding;
        } request{};
        request.netlink.nlmsg_len = sizeof(request);
        request.netlink.nlmsg_type = GENL_ID_CTRL;
        request.netlink.nlmsg_flags = static_cast<uint16_t>(NLM_F_REQUEST | flags);
        request.generic.cmd = command;
        request.generic.version = 1;
        request.attribute.nla_len = NLA_HDRLEN + sizeof(request.familyId);
        request.attribute.nla_type = CTRL_ATTR_FAMILY_ID;
        request.familyId = GENL_ID_CTRL;
        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        ASSERT_EQ(::sendto(reader_->socketDescriptor(), &request, sizeof(request), 0,
                           reinterpret_cast<const sockaddr*>(&kernel), sizeof(kernel)),
                  static_cast<ssize_t>(sizeof(request)));
    }

    uint64_t wait(tOutcome& out, int32_t timeoutMs = 5000) {
        out.cookie = reader_->wait(out.kind, out.payload, out.length, status_, timeoutMs);
        return out.cookie;
    }

    tStatusRecord status_;
    std::unique_ptr<tIONotificationReader> reader_;
    tNetlinkSender sender_;
};

TEST_F(tIONotificationReaderTest, BindsToTheReportedPort) {
    sockaddr_nl address{};
    socklen_t size = sizeof(address);
    ASSERT_EQ(
        ::getsockname(reader_->socketDescriptor(), reinterpret_cast<sockaddr*>(&address), &size),
        0);
    EXPECT_NE(reader_->portId(), 0u);
    EXPECT_EQ(reader_->portId(), address.nl_pid);
    EXPECT_EQ(address.nl_groups, 0u);
    EXPECT_EQ(::fcntl(reader_->socketDescriptor(), F_GETFL) & O_NONBLOCK, 0);
}

TEST_F(tIONotificationReaderTest, DeliversNotifiedAndReleased) {
    send(makeMessage(1, 0xC00C1E, 3));
    send(makeMessage(2, 0xC00C1F, 0));
    tOutcome first;
    EXPECT_EQ(wait(first), 0xC00C1Eu);
    EXPECT_EQ(first.kind, kNotified);
    EXPECT_EQ(first.length, 3u);
    EXPECT_EQ(first.payload[2], 3);
    EXPECT_TRUE(first.payloadUntouchedFrom(3));

    tOutcome second;
    EXPECT_EQ(wait(second), 0xC00C1Fu);
    EXPECT_EQ(second.kind, kReleased);
    EXPECT_EQ(second.length, 0u);
    EXPECT_TRUE(second.payloadUntouchedFrom(0));
    EXPECT_EQ(status_.code, 0);
}

// Every malformed or control datagram is skipped and the valid one behind them is returned.
TEST_F(tIONotificationReaderTest, DropsMalformedDatagramsAndReceivesTheNext) {
    send(makeMessage(1, 1, 0, 10));
    auto tooLong = makeMessage(1, 2, 0);
    setLength(tooLong, 80);
    send(tooLong);
    for (uint16_t type = 1; type <= 4; ++type) {
        auto control = makeMessage(1, 3, 0);
        setType(control, type);
        send(control);
    }
    auto hundred = makeMessage(1, 4, 0, 100);
    setLength(hundred, 100);
    send(hundred);
    auto shortPayload = makeMessage(1, 5, 8, 40);
    setLength(shortPayload, 40);
    send(shortPayload);
    send(makeMessage(1, 0x600D, 2));

    tOutcome out;
    EXPECT_EQ(wait(out), 0x600Du);
    EXPECT_EQ(status_.code, 0);
    EXPECT_EQ(out.kind, kNotified);
    EXPECT_EQ(out.length, 2u);

    // A longer datagram that says 72 is decoded from its first 72 bytes.
    auto hundredSaying72 = makeMessage(2, 0x72, 1, 100);
    std::memset(hundredSaying72.data() + 72, 0xEE, 28);
    send(hundredSaying72);
    tOutcome cut;
    EXPECT_EQ(wait(cut), 0x72u);
    EXPECT_EQ(cut.kind, kReleased);
    EXPECT_EQ(status_.code, 0);
}

TEST_F(tIONotificationReaderTest, OversizedPayloadFailsAfterSettingTheKind) {
    send(makeMessage(1, 7, 33));
    tOutcome out;
    out.kind = kWoken;
    EXPECT_EQ(wait(out), 0u);
    EXPECT_EQ(status_.code, kStatusIoError);
    EXPECT_EQ(out.kind, kNotified);
    EXPECT_EQ(out.length, kSentinel);
    EXPECT_TRUE(out.payloadUntouchedFrom(0));
}

TEST_F(tIONotificationReaderTest, UnknownEventTypeIsNotSupported) {
    send(makeMessage(3, 7, 1));
    tOutcome out;
    EXPECT_EQ(wait(out), 0u);
    EXPECT_EQ(status_.code, kStatusNotSupported);
    EXPECT_EQ(out.kind, kSentinel);
    EXPECT_EQ(out.length, kSentinel);
}

// Any process with CAP_NET_ADMIN may send to the reader's port. Well-formed messages of event
// types 1, 3 and 2 from one running as nobody are neither reported nor an error; root's message
// queued behind them is.
TEST_F(tIONotificationReaderTest, MessagesFromAUserWithNetAdminAreDropped) {
    ASSERT_TRUE(sendAsUserWithNetAdmin(65534, reader_->portId(), {1, 3, 2}));
    send(makeMessage(1, 0x2007, 0));
    tOutcome out;
    EXPECT_EQ(wait(out), 0x2007u);
    EXPECT_EQ(out.kind, kNotified);
    EXPECT_EQ(status_.code, 0);
}

// The kernel sends from port 0: here the generic netlink controller, answering a policy dump
// asked for on the reader's own socket. Each message of that answer begins with the family id
// attribute (type 1, read as event type 1), then a nested attribute whose header, read as the
// payload size, carries the nested flag: a notification with an oversized payload, which the
// reader reports only for a message it took.
TEST_F(tIONotificationReaderTest, KernelMessagesAreTaken) {
    askTheController(CTRL_CMD_GETPOLICY, NLM_F_DUMP);
    tOutcome out;
    EXPECT_EQ(wait(out), 0u);
    EXPECT_EQ(out.kind, kNotified) << "the controller's answer was not taken";
    EXPECT_EQ(status_.code, kStatusIoError);
}

// Any process with CAP_NET_ADMIN can fill the reader's buffer. The kernel then drops a message
// it sends there (the controller's answer) and the next receive fails with ENOBUFS: the reader
// goes on, and reports root's message, which could be queued only once the flood was read.
TEST_F(tIONotificationReaderTest, OverrunIsNoEventAndTheNextMessageIsReported) {
    const int socket = reader_->socketDescriptor();
    ASSERT_TRUE(sendAsUserWithNetAdmin(65534, reader_->portId(), {1}, true));
    askTheController(CTRL_CMD_GETFAMILY, 0);
    uint32_t memory[SK_MEMINFO_VARS];
    socklen_t size = sizeof(memory);
    ASSERT_EQ(::getsockopt(socket, SOL_SOCKET, SO_MEMINFO, memory, &size), 0);
    ASSERT_GT(memory[SK_MEMINFO_DROPS], 0u) << "the kernel's answer was not refused";

    std::thread root(
        [&] { EXPECT_TRUE(sendTo(sender_, reader_->portId(), makeMessage(1, 7, 0))); });
    tOutcome out;
    EXPECT_EQ(wait(out), 7u);
    // After a failed wait the flood is still queued: read it, so that root's send can return.
    unsigned char rest[kNotificationMessageSize];
    while (::recv(socket, rest, sizeof(rest), MSG_DONTWAIT) > 0) {
    }
    root.join();
    EXPECT_EQ(out.kind, kNotified);
    EXPECT_EQ(status_.code, 0);
}

TEST_F(tIONotificationReaderTest, EachWakeGivesOneWoken) {
    reader_->wake(status_);
    reader_->wake(status_);
    ASSERT_EQ(status_.code, 0);
    for (int i = 0; i < 2; ++i) {
        tOutcome out;
        EXPECT_EQ(wait(out), 0u);
        EXPECT_EQ(out.kind, kWoken);
        EXPECT_EQ(out.length, 0u);
        EXPECT_TRUE(out.payloadUntouchedFrom(0));
    }
    EXPECT_EQ(status_.code, 0);
    tOutcome none;
    EXPECT_EQ(wait(none, 0), 0u);
    EXPECT_EQ(status_.code, kStatusTimeout);
}

TEST_F(tIONotificationReaderTest, NothingPendingTimesOut) {
    tOutcome out;
    EXPECT_EQ(wait(out, 0), 0u);
    EXPECT_EQ(status_.code, kStatusTimeout);
    EXPECT_EQ(out.kind, kSentinel);
    EXPECT_EQ(out.length, kSentinel);
}

TEST_F(tIONotificationReaderTest, MessageGoesBeforeAPendingWake) {
    reader_->wake(status_);
    send(makeMessage(1, 0xF1257, 0));
    tOutcome message;
    EXPECT_EQ(wait(message), 0xF1257u);
    EXPECT_EQ(message.kind, kNotified);
    tOutcome woken;
    EXPECT_EQ(wait(woken), 0u);
    EXPECT_EQ(woken.kind, kWoken);
    EXPECT_EQ(status_.code, 0);
}

TEST_F(tIONotificationReaderTest, ErroredRecordLeavesEverythingAlone) {
    send(makeMessage(1, 0xAB, 4));
    tStatusRecord errored;
    QV_SET_STATUS(errored, kStatusNotFound);
    tOutcome out;
    EXPECT_EQ(reader_->wait(out.kind, out.payload, out.length, errored, 5000), 0u);
    reader_->wake(errored);
    EXPECT_EQ(errored.code, kStatusNotFound);
    EXPECT_EQ(out.kind, kSentinel);
    EXPECT_EQ(out.length, kSentinel);
    EXPECT_TRUE(out.payloadUntouchedFrom(0));

    // The message is still there and the errored wake wrote no byte.
    EXPECT_EQ(wait(out), 0xABu);
    EXPECT_EQ(wait(out, 0), 0u);
    EXPECT_EQ(status_.code, kStatusTimeout);
}

// After a drop the reader receives again without polling; a receive that then fails (here the
// receive time limit set on the socket) is an I/O error.
TEST_F(tIONotificationReaderTest, FailedReceiveIsAnIoError) {
    timeval limit{0, 100000};
    ASSERT_EQ(
        ::setsockopt(reader_->socketDescriptor(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit)),
        0);
    send(makeMessage(1, 1, 0, 10));
    tOutcome out;
    EXPECT_EQ(wait(out), 0u);
    EXPECT_EQ(status_.code, kStatusIoError);
    EXPECT_EQ(out.kind, kSentinel);
    EXPECT_EQ(out.length, kSentinel);
}

TEST_F(tIONotificationReaderTest, FailedWakeWriteIsAnIoError) {
    // Rebuild the reader to learn which descriptor is its pipe's write end.
    reader_.reset();
    const auto before = openDescriptors();
    reader_ = std::make_unique<tIONotificationReader>(1, status_);
    int writeEnd = -1;
    for (int descriptor : newDescriptors(before)) {
        struct stat info;
        if (::fstat(descriptor, &info) == 0 && S_ISFIFO(info.st_mode) &&
            (::fcntl(descriptor, F_GETFL) & O_ACCMODE) == O_WRONLY) {
            writeEnd = descriptor;
        }
    }
    ASSERT_NE(writeEnd, -1);
    const int full = ::open("/dev/full", O_WRONLY);
    ASSERT_NE(full, -1);
    ASSERT_EQ(::dup2(full, writeEnd), writeEnd);
    ::close(full);

    reader_->wake(status_);
    EXPECT_EQ(status_.code, kStatusIoError);
}

std::atomic<int> gSignals{0};
extern "C" void countSignal(int) {
    ++gSignals;
}

// True once thread tid sits in one of the system calls numbers, as /proc shows it, within 2 s.
bool blockedIn(pid_t tid, std::initializer_list<long> numbers) {
    const std::string path = "/proc/self/task/" + std::to_string(tid) + "/syscall";
    for (int i = 0; i < 200; ++i) {
        std::ifstream state(path);
        long number = -1;
        if (state >> number && std::find(numbers.begin(), numbers.end(), number) != numbers.end()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// A signal that interrupts the poll, or the receive after a dropped datagram, is not an error.
// Each signal is sent while the waiter sits in that call, so each call is in fact interrupted.
TEST_F(tIONotificationReaderTest, InterruptedCallsAreRepeated) {
    struct sigaction action {};
    action.sa_handler = countSignal;  // no SA_RESTART: the calls see EINTR
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
    gSignals = 0;

    const pthread_t waiter = ::pthread_self();
    const pid_t waiterId = ::gettid();
    const uint32_t port = reader_->portId();
    bool inPoll = false;
    bool inReceive = false;
    std::thread interrupter([&] {
        tNetlinkSender sender;
        inPoll = blockedIn(waiterId, {SYS_poll, SYS_ppoll});
        ::pthread_kill(waiter, SIGUSR1);
        EXPECT_TRUE(sendTo(sender, port, makeMessage(1, 1, 0, 10)));
        inReceive = blockedIn(waiterId, {SYS_recvmsg});
        ::pthread_kill(waiter, SIGUSR1);
        EXPECT_TRUE(sendTo(sender, port, makeMessage(2, 0x1E, 0)));
    });
    tOutcome out;
    const uint64_t cookie = wait(out);
    interrupter.join();
    ::sigaction(SIGUSR1, &previous, nullptr);

    EXPECT_TRUE(inPoll) << "the waiter was not seen in poll";
    EXPECT_TRUE(inReceive) << "the waiter was not seen in the receive after the drop";
    EXPECT_EQ(gSignals, 2);
    EXPECT_EQ(cookie, 0x1Eu);
    EXPECT_EQ(out.kind, kReleased);
    EXPECT_EQ(status_.code, 0);
}

TEST(tIONotificationReaderSetupTest, DestructorClosesSocketAndPipe) {
    const auto before = openDescriptors();
    tStatusRecord status;
    auto reader = std::make_unique<tIONotificationReader>(1, status);
    ASSERT_EQ(status.code, 0);
    const auto created = newDescriptors(before);
    ASSERT_EQ(created.size(), 3u);
    EXPECT_EQ(created.count(reader->socketDescriptor()), 1u);
    for (int descriptor : created) {
        EXPECT_EQ(::fcntl(descriptor, F_GETFD) & FD_CLOEXEC, 0);
    }
    reader.reset();
    for (int descriptor : created) {
        EXPECT_FALSE(isOpen(descriptor)) << descriptor;
    }
}

TEST(tIONotificationReaderSetupTest, DepthBeyond32BitsCreatesOnlyThePipe) {
    const auto before = openDescriptors();
    tStatusRecord status;
    tIONotificationReader reader(0x100000000ull, status);
    EXPECT_EQ(status.code, kStatusInvalidParameter);
    EXPECT_EQ(reader.socketDescriptor(), -1);
    EXPECT_EQ(newDescriptors(before).size(), 2u);

    // The pipe still works for a caller with a fresh record.
    tStatusRecord fresh;
    reader.wake(fresh);
    tOutcome out;
    EXPECT_EQ(reader.wait(out.kind, out.payload, out.length, fresh, 1000), 0u);
    EXPECT_EQ(out.kind, kWoken);
    EXPECT_EQ(fresh.code, 0);
}

TEST(tIONotificationReaderSetupTest, ErroredRecordCreatesOnlyThePipe) {
    const auto before = openDescriptors();
    tStatusRecord status;
    QV_SET_STATUS(status, kStatusNotFound);
    const uint64_t line = status.line;
    {
        tIONotificationReader reader(1, status);
        EXPECT_EQ(reader.socketDescriptor(), -1);
        EXPECT_EQ(newDescriptors(before).size(), 2u);
    }
    EXPECT_EQ(status.code, kStatusNotFound);
    EXPECT_EQ(status.line, line);
    EXPECT_TRUE(newDescriptors(before).empty());
}

// Without its senders' credentials the socket would take nothing from root either: a set-up
// failure like the others. The filter refuses only setsockopt(SO_PASSCRED).
TEST(tIONotificationReaderSetupTest, RefusedCredentialsFailTheSetUp) {
    const pid_t child = ::fork();
    if (child == 0) {
        sock_filter filter[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_setsockopt, 0, 3),
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SO_PASSCRED, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EACCES),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        const sock_fprog program{sizeof(filter) / sizeof(filter[0]), filter};
        if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
            ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
            ::_exit(2);
        }
        tStatusRecord status;
        const tIONotificationReader reader(1, status);
        ::_exit(status.code == statusFromErrno(EACCES) && reader.socketDescriptor() == -1 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// Room for depth messages beyond one, as the kernel charges them; the buffer is never made
// smaller, also where the default is above what may be set.
TEST(tIONotificationReaderSetupTest, ReceiveBufferHoldsDepthMessagesAndNeverShrinks) {
    const int probe = ::socket(AF_NETLINK, SOCK_RAW, NETLINK_GENERIC);
    ASSERT_NE(probe, -1);
    const int initial = receiveBufferSize(probe);
    ::close(probe);
    tStatusRecord status;
    EXPECT_EQ(receiveBufferSize(tIONotificationReader(1, status).socketDescriptor()), initial);

    const tIONotificationReader reader(300, status);
    const tNetlinkSender sender;
    int queued = 0;
    while (queued < 301 && sendTo(sender, reader.portId(), makeMessage(1, 7, 0), MSG_DONTWAIT)) {
        ++queued;
    }
    EXPECT_EQ(queued, 301) << std::strerror(errno);
    ASSERT_EQ(status.code, 0);

    gLeastReceiveBuffer = true;
    const tIONotificationReader kept(300, status);
    gLeastReceiveBuffer = false;
    EXPECT_EQ(status.code, 0);
    EXPECT_EQ(receiveBufferSize(kept.socketDescriptor()), initial);
}

}  // namespace
}  // namespace nQUORVAMONITORD_18_5::nZORFEL000
