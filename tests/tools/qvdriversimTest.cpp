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
#include <sys/stat.h>
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

size_t countPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
    return static_cast<size_t>(std::count_if(
        lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
}

std::string portText(const tNetlinkListener& listener) {
    return std::to_string(listener.port());
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

TEST(qvdriversimTest, SendPutsEveryRequestedFieldOnTheWire) {
    tDriverSimulator simulator;
    ASSERT_TRUE(simulator.ready()) << simulator.startError();
    tNetlinkListener listener;
    const int node = ::open(kNodePath, O_RDWR | O_CLOEXEC);
    ASSERT_NE(node, -1) << std::strerror(errno);
    ASSERT_EQ(registerPort(node, 0x42, listener.port(), kRestartId), 0);

    const tCommandResult sent =
        simulator.command({"send", "--event", "7", "--payload-size", "33", "--payload", "ff00ff",
                           "--nltype", "2", "--length", "80", "--cookie", "0x55"});
    ASSERT_EQ(sent.exitStatus, 0) << sent.errors;
    const std::string datagram = listener.receive();
    ASSERT_EQ(datagram.size(), 72u);
    const tNotificationMessage message = decode(datagram);
    EXPECT_EQ(message.length, 80u);
    EXPECT_EQ(message.type, 2);
    EXPECT_EQ(message.eventType, 7);
    EXPECT_EQ(message.cookie, 0x55u);
    EXPECT_EQ(message.payloadSize, 33u);
    EXPECT_EQ(message.payload[0], 0xff);
    EXPECT_EQ(message.payload[1], 0x00);
    EXPECT_EQ(message.payload[2], 0xff);
    EXPECT_EQ(message.payload[3], 0x00);

    // Raw datagrams arrive byte for byte, whatever their length.
    const std::string shortBytes("\x0a\x00\x00\x00\x1c\x00\x00\x00\x01\x02", 10);
    ASSERT_EQ(simulator.command({"send", "--hex", "0a000000 1c000000 0102"}).exitStatus, 0);
    EXPECT_EQ(listener.receive(), shortBytes);
    std::string longHex;
    for (int i = 0; i < 100; ++i) {
        longHex += "5a";
    }
    ASSERT_EQ(simulator.command({"send", "--hex", longHex}).exitStatus, 0);
    EXPECT_EQ(listener.receive(), std::string(100, '\x5a'));

    const std::vector<std::string> log = simulator.log();
    EXPECT_TRUE(contains(log, "send port=" + portText(listener) +
                                  " event=7 cookie=0x0000000000000055 seq=1 nltype=0x0002 "
                                  "length=80 payload-size=33 payload=ff00ff result=ok"));
    EXPECT_TRUE(contains(log, "send-raw port=" + portText(listener) +
                                  " bytes=10 hex=0a0000001c0000000102 result=ok"));
    ::close(node);
}

TEST(qvdriversimTest, EveryRegisteredPortGetsItsOwnCookie) {
    tDriverSimulator simulator;
    ASSERT_TRUE(simulator.ready()) << simulator.startError();
    tNetlinkListener first;
    tNetlinkListener second;
    const int node = ::open(kNodePath, O_RDWR | O_CLOEXEC);
    ASSERT_NE(node, -1) << std::strerror(errno);
    ASSERT_EQ(registerPort(node, 0x1111, first.port(), kRestartId), 0);
    ASSERT_EQ(registerPort(node, 0x2222, second.port(), kRestartId), 0);

    const tCommandResult ports = simulator.command({"ports"});
    EXPECT_NE(ports.output.find("port=" + portText(first) + " id=0x0fe57af7"), std::string::npos)
        << ports.output;

    ASSERT_EQ(simulator.command({"notify"}).exitStatus, 0);
    const tNotificationMessage toFirst = decode(first.receive());
    const tNotificationMessage toSecond = decode(second.receive());
    EXPECT_EQ(toFirst.cookie, 0x1111u);
    EXPECT_EQ(toSecond.cookie, 0x2222u);
    EXPECT_EQ(toSecond.sequence, toFirst.sequence + 1);
    EXPECT_TRUE(first.nothingPending());
    ::close(node);
}

TEST(qvdriversimTest, SendingNeedsARegistrationThatLastsUntilUnregisterOrClose) {
    tDriverSimulator simulator;
    ASSERT_TRUE(simulator.ready()) << simulator.startError();
    tCommandResult unsent = simulator.command({"notify"});
    EXPECT_EQ(unsent.exitStatus, 1);
    EXPECT_NE(unsent.errors.find("no port is registered"), std::string::npos) << unsent.errors;
    EXPECT_EQ(simulator.command({"send", "--hex", "00"}).exitStatus, 1);

    tNetlinkListener listener;
    int node = ::open(kNodePath, O_RDWR | O_CLOEXEC);
    ASSERT_NE(node, -1) << std::strerror(errno);
    ASSERT_EQ(registerPort(node, 1, listener.port(), kRestartId), 0);
    // Unregistering another id changes nothing; the registered id ends the registration.
    EXPECT_EQ(::ioctl(node, kUnregisterNotification, 0x1234ul), -1);
    EXPECT_EQ(simulator.command({"notify"}).exitStatus, 0);
    EXPECT_EQ(::ioctl(node, kUnregisterNotification, static_cast<unsigned long>(kRestartId)), 0);
    EXPECT_EQ(simulator.command({"notify"}).exitStatus, 1);

    ASSERT_EQ(registerPort(node, 1, listener.port(), kRestartId), 0);
    ::close(node);
    // The kernel reports the close to the file system just after close() returns.
    for (int i = 0; i < 200 && simulator.command({"notify"}).exitStatus == 0; ++i) {
        ::usleep(10000);
    }
    EXPECT_EQ(simulator.command({"notify"}).exitStatus, 1);
    const std::vector<std::string> log = simulator.log();
    EXPECT_TRUE(contains(log, "unregister node=/qv/dev0/node arg=0x00001234 result=ENOENT"));
    EXPECT_TRUE(contains(log, "drop port=" + portText(listener) + " id=0x0fe57af7 reason=closed"));
    EXPECT_TRUE(contains(log, "close node /qv/dev0/node"));
}

TEST(qvdriversimTest, GenericRequestsFillFailOrAreUnknown) {
    tDriverSimulator simulator;
    ASSERT_TRUE(simulator.ready()) << simulator.startError();
    const int node = ::open(kNodePath, O_RDWR | O_CLOEXEC);
    ASSERT_NE(node, -1) << std::strerror(errno);

    char input[4] = {};
    char output[8] = {};
    tDeviceIoRequest block{reinterpret_cast<uintptr_t>(input), reinterpret_cast<uintptr_t>(output),
                           sizeof input, sizeof output, 0};
    ASSERT_EQ(::ioctl(node, kFillResultRequest, &block), 0) << std::strerror(errno);
    EXPECT_EQ(block.result, kFillResultValue);
    EXPECT_EQ(block.inputSize, 4u);

    block.result = 0;
    ASSERT_EQ(::ioctl(node, kEchoSizesRequest, &block), 0);
    EXPECT_EQ(block.result, (uint64_t{4} << 32) | 8);

    block.result = 0;
    errno = 0;
    EXPECT_EQ(::ioctl(node, kFailingRequest, &block), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(block.result, 0u);

    errno = 0;
    EXPECT_EQ(::ioctl(node, nQVDRIVERSIM::blockRequest(9), &block), -1);
    EXPECT_EQ(errno, ENOTTY);
    errno = 0;
    EXPECT_EQ(::ioctl(node, 0xFF05ul, 0ul), -1);
    EXPECT_EQ(errno, ENOTTY);
    ::close(node);

    const std::vector<std::string> log = simulator.log();
    EXPECT_EQ(countPrefix(log, "ioctl node=/qv/dev0/node request=0xc020ff02 "), 1u);
    EXPECT_EQ(countPrefix(log, "ioctl node=/qv/dev0/node request=0xc020ff03 "), 1u);
    EXPECT_TRUE(contains(log, "ioctl node=/qv/dev0/node request=0xc020ff09 result=ENOTTY"));
    EXPECT_TRUE(contains(log, "ioctl node=/qv/dev0/node request=0x0000ff05 result=ENOTTY"));
    const auto filled = std::find_if(log.begin(), log.end(), [](const std::string& line) {
        return line.rfind("ioctl node=/qv/dev0/node request=0xc020ff02 ", 0) == 0;
    });
    ASSERT_NE(filled, log.end());
    EXPECT_NE(filled->find(" input-size=4 output=0x"), std::string::npos) << *filled;
    EXPECT_NE(filled->find(" output-size=8 result=ok value=0x1122334455667788"), std::string::npos)
        << *filled;
}

TEST(qvdriversimTest, NodeMemoryTellsPagesApartThroughReadWriteAndSharedMappings) {
    tDriverSimulator simulator("device dev0\npages 8\n");
    ASSERT_TRUE(simulator.ready()) << simulator.startError();
    const auto page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    struct stat status {};
    ASSERT_EQ(::stat(kNodePath, &status), 0);
    EXPECT_EQ(static_cast<size_t>(status.st_size), 8 * page);

    int node = ::open(kNodePath, O_RDWR | O_CLOEXEC);
    ASSERT_NE(node, -1) << std::strerror(errno);
    void* mapped = ::mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_SHARED, node,
                          static_cast<off_t>(3 * page));
    ASSERT_NE(mapped, MAP_FAILED) << std::strerror(errno);
    auto* bytes = static_cast<unsigned char*>(mapped);
    EXPECT_EQ(bytes[0], 3);
    EXPECT_EQ(bytes[page - 1], 3);
    EXPECT_EQ(bytes[page], 4);
    bytes[10] = 0xAB;
    ASSERT_EQ(::msync(mapped, 2 * page, MS_SYNC), 0) << std::strerror(errno);
    ASSERT_EQ(::munmap(mapped, 2 * page), 0);
    const char text[] = "hello";
    EXPECT_EQ(::pwrite(node, text, 5, static_cast<off_t>(7 * page)), 5);
    ::close(node);

    // A fresh open reads what the mapping and the write left in the device memory.
    node = ::open(kNodePath, O_RDONLY | O_CLOEXEC);
    ASSERT_NE(node, -1);
    unsigned char check[12] = {};
    ASSERT_EQ(::pread(node, check, sizeof check, static_cast<off_t>(3 * page)), 12);
    EXPECT_EQ(check[9], 3);
    EXPECT_EQ(check[10], 0xAB);
    char written[6] = {};
    ASSERT_EQ(::pread(node, written, 5, static_cast<off_t>(7 * page)), 5);
    EXPECT_STREQ(written, "hello");
    EXPECT_EQ(::pread(node, check, 1, static_cast<off_t>(8 * page)), 0);
    ::close(node);

    const std::vector<std::string> log = simulator.log();
    EXPECT_GE(countPrefix(log, "read node /qv/dev0/node offset="), 1u);
    EXPECT_TRUE(contains(
        log, "write node /qv/dev0/node offset=" + std::to_string(7 * page) + " size=5 result=5"));
    EXPECT_EQ(countPrefix(log, "open node /qv/dev0/node flags=0x8002 attempt=1 result=ok"), 1u);
}

// interfacePath content as configured, byte for byte, read the daemon's way.
TEST(qvdriversimTest, InterfacePathContentIsServedVerbatim) {
    const std::string longest = "/" + std::string(254, 'a');
    const std::string tooLong = "/" + std::string(255, 'b');
    tDriverSimulator simulator(
        "device d\n"
        "interface n\\newline\npath /proc/driver/qv/d/node\\n\n"
        "interface n\\empty\npath\n"
        "interface n\\hex\npath-hex 2f 00 ff 0a\n"
        "interface n\\255\npath " +
        longest +
        "\n"
        "interface n\\256\npath " +
        tooLong +
        "\n"
        "interface n\\default\n");
    ASSERT_TRUE(simulator.ready()) << simulator.startError();
    const std::string base = "/proc/driver/qv/d/deviceInterfaces/n\\";
    const std::pair<std::string, std::string> cases[] = {
        {"newline", "/proc/driver/qv/d/node\n"},
        {"empty", ""},
        {"hex", std::string("\x2f\x00\xff\x0a", 4)},
        {"255", longest},
        {"256", tooLong},
        {"default", "/proc/driver/qv/d/node"},
    };
    for (const auto& [suffix, expected] : cases) {
        std::string content;
        int openErrno = 0;
        bool streamError = true;
        ASSERT_TRUE(
            readLikeDaemon(base + suffix + "/interfacePath", content, openErrno, streamError))
            << suffix << ": " << std::strerror(openErrno);
        EXPECT_FALSE(streamError) << suffix;
        EXPECT_EQ(content, expected) << suffix;
    }
}

TEST(qvdriversimTest, SeveralDevicesNamesAndSuffixesAreGlobbedInByteOrder) {
    tDriverSimulator simulator(
        "device b\n"
        "interface morvelpandk_morvelsondrapand\\2\n"
        "interface morvelpandk_morvelsondrapand\\1\n"
        "interface morvelkestrak_morvelkestrak\n"
        "device a\n"
        "interface morvelpandk_morvelsondrapand\\9\n");
    ASSERT_TRUE(simulator.ready()) << simulator.startError();
    glob_t matches{};
    ASSERT_EQ(::glob("/proc/driver/qv/*/deviceInterfaces/morvelpandk_morvelsondrapand\\\\*",
                     GLOB_ONLYDIR, nullptr, &matches),
              0);
    std::vector<std::string> found(matches.gl_pathv, matches.gl_pathv + matches.gl_pathc);
    ::globfree(&matches);
    EXPECT_EQ(found, (std::vector<std::string>{
                         "/proc/driver/qv/a/deviceInterfaces/morvelpandk_morvelsondrapand\\9",
                         "/proc/driver/qv/b/deviceInterfaces/morvelpandk_morvelsondrapand\\1",
                         "/proc/driver/qv/b/deviceInterfaces/morvelpandk_morvelsondrapand\\2",
                     }));
    // A directory without the backslash is not an interface of that name.
    EXPECT_EQ(::glob("/proc/driver/qv/*/deviceInterfaces/morvelkestrak_morvelkestrak\\\\*",
                     GLOB_ONLYDIR, nullptr, &matches),
              GLOB_NOMATCH);
    std::string content;
    int openErrno = 0;
    bool streamError = false;
    ASSERT_TRUE(readLikeDaemon(
        "/proc/driver/qv/a/deviceInterfaces/morvelpandk_morvelsondrapand\\9/interfacePath", content,
        openErrno, streamError));
    EXPECT_EQ(content, "/proc/driver/qv/a/node");
}

TEST(qvdriversimTest, AnEmptyConfigurationHasNoDriverTree) {
    tDriverSimulator simulator("# nothing here\n");
    ASSERT_TRUE(simulator.ready()) << simulator.startError();
    struct stat status {};
    EXPECT_EQ(::stat("/proc/driver/qv", &status), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST(qvdriversimTest, OpenFaultsFailWithTheChosenErrnoAndAreCounted) {
    tDriverSimulator simulator(
        "device d\n"
        "node-open-errno ENODEV\n"
        "interface n\\always\nopen-errno EACCES\n"
        "interface n\\nine\nopen-errno 13 9\n");
    ASSERT_TRUE(simulator.ready()) << simulator.startError();
    const std::string base = "/proc/driver/qv/d/deviceInterfaces/n\\";
    std::string content;
    bool streamError = false;
    for (int attempt = 1; attempt <= 10; ++attempt) {
        int openErrno = 0;
        EXPECT_FALSE(
            readLikeDaemon(base + "always/interfacePath", content, openErrno, streamError));
        EXPECT_EQ(openErrno, EACCES);
        openErrno = 0;
        const bool opened =
            readLikeDaemon(base + "nine/interfacePath", content, openErrno, streamError);
        EXPECT_EQ(opened, attempt == 10) << attempt;
    }
    EXPECT_EQ(content, "/proc/driver/qv/d/node");
    errno = 0;
    EXPECT_EQ(::open("/proc/driver/qv/d/node", O_RDWR | O_CLOEXEC), -1);
    EXPECT_EQ(errno, ENODEV);

    const std::vector<std::string> log = simulator.log();
    EXPECT_EQ(countPrefix(log,
                          "open interfacePath /qv/d/deviceInterfaces/n\\always/"
                          "interfacePath flags=0x8000 attempt="),
              10u);
    EXPECT_TRUE(contains(log,
                         "open interfacePath /qv/d/deviceInterfaces/n\\always/"
                         "interfacePath flags=0x8000 attempt=10 result=EACCES"));
    EXPECT_TRUE(contains(log,
                         "open interfacePath /qv/d/deviceInterfaces/n\\nine/"
                         "interfacePath flags=0x8000 attempt=10 result=ok"));
    EXPECT_TRUE(contains(log, "open node /qv/d/node flags=0x8002 attempt=1 result=ENODEV"));
}

TEST(qvdriversimTest, ReadAndRegisterFaultsFailWithTheChosenErrno) {
    tDriverSimulator simulator(
        "device d\n"
        "register-errno EPERM 1\n"
        "interface n\\x\nread-errno EIO\n");
    ASSERT_TRUE(simulator.ready()) << simulator.startError();
    std::string content;
    int openErrno = 0;
    bool streamError = false;
    ASSERT_TRUE(readLikeDaemon("/proc/driver/qv/d/deviceInterfaces/n\\x/interfacePath", content,
                               openErrno, streamError));
    EXPECT_TRUE(streamError);
    EXPECT_EQ(content, "");

    tNetlinkListener listener;
    const int node = ::open("/proc/driver/qv/d/node", O_RDWR | O_CLOEXEC);
    ASSERT_NE(node, -1) << std::strerror(errno);
    errno = 0;
    EXPECT_EQ(registerPort(node, 7, listener.port(), kRestartId), -1);
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(simulator.command({"notify"}).exitStatus, 1);
    // Only the first registration is refused.
    EXPECT_EQ(registerPort(node, 7, listener.port(), kRestartId), 0);
    EXPECT_EQ(simulator.command({"notify"}).exitStatus, 0);
    ::close(node);

    const std::vector<std::string> log = simulator.log();
    EXPECT_TRUE(contains(log,
                         "read interfacePath /qv/d/deviceInterfaces/n\\x/interfacePath "
                         "offset=0 size=4096 result=EIO"));
    EXPECT_TRUE(contains(log, "register node=/qv/d/node cookie=0x0000000000000007 port=" +
                                  portText(listener) + " id=0x0fe57af7 result=EPERM"));
}

TEST(qvdriversimTest, FailRegisterRefusesTheNextRegistrationsAndRemoveNeedsTheModule) {
    tDriverSimulator simulator;
    ASSERT_TRUE(simulator.ready()) << simulator.startError();
    tNetlinkListener listener;
    const int node = ::open(kNodePath, O_RDWR | O_CLOEXEC);
    ASSERT_NE(node, -1) << std::strerror(errno);

    const tCommandResult armed = simulator.command({"fail-register", "EACCES", "2"});
    EXPECT_EQ(armed.exitStatus, 0) << armed.errors;
    EXPECT_EQ(armed.output, "the next 2 register requests on each device fail with EACCES\n");
    for (int attempt = 0; attempt < 2; ++attempt) {
        errno = 0;
        EXPECT_EQ(registerPort(node, 1, listener.port(), kRestartId), -1);
        EXPECT_EQ(errno, EACCES);
    }
    EXPECT_EQ(registerPort(node, 1, listener.port(), kRestartId), 0);
    // Count 0 ends the refusals armed before.
    ASSERT_EQ(simulator.command({"fail-register", "EIO", "3"}).exitStatus, 0);
    ASSERT_EQ(simulator.command({"fail-register", "EIO", "0"}).exitStatus, 0);
    EXPECT_EQ(registerPort(node, 2, listener.port(), kRestartId), 0);
    ::close(node);
    const std::vector<std::string> log = simulator.log();
    EXPECT_EQ(countPrefix(log, "register node=/qv/dev0/node cookie=0x0000000000000001 port=" +
                                   portText(listener) + " id=0x0fe57af7 result=EACCES"),
              2u);
    EXPECT_EQ(countPrefix(log, "register node=/qv/dev0/node cookie=0x0000000000000002 port=" +
                                   portText(listener) + " id=0x0fe57af7 result=ok"),
              1u);

    for (const char* verb : {"remove", "add"}) {
        const tCommandResult refused = simulator.command({verb});
        EXPECT_EQ(refused.exitStatus, 1) << verb;
        EXPECT_NE(refused.errors.find("is not supported by the simulator"), std::string::npos)
            << refused.errors;
    }
}

TEST(qvdriversimTest, ConfigurationErrorsNameTheLineAndExitTwo) {
    const std::pair<std::string, std::string> cases[] = {
        {"interface n\\0\n", "line 1: 'interface' must follow a 'device' line"},
        {"device d\n\nbogus 1\n", "line 3: unknown key 'bogus'"},
        {"device d\npath /x\n", "line 2: 'path' must follow an 'interface' line"},
        {"device d\ninterface n\\0\nopen-errno EWHATEVER\n", "line 3: 'EWHATEVER' is not"},
        {"device d\ninterface n\\0\nopen-errno ENOSYS\n", "line 3: 'ENOSYS' is not"},
        {"device d\ninterface n\\0\nread-errno EIO many\n", "line 3: the count"},
        {"device d\ninterface n\\0\npath \\q\n", "line 3: 'path' has a bad escape"},
        {"device d\ninterface n\\0\npath-hex 2f0\n", "line 3: 'path-hex' needs pairs"},
        {"device d\npages 0\n", "line 2: 'pages' needs a number"},
        {"device d\ndevice d\n", "line 2: device 'd' is defined twice"},
        {"device d\ninterface a/b\n", "line 2: 'interface' needs a directory name"},
        {"device\n", "line 1: 'device' needs a name"},
    };
    for (const auto& [text, message] : cases) {
        tDriverSimulator simulator(text);
        EXPECT_FALSE(simulator.ready()) << text;
        EXPECT_NE(simulator.startError().find("exit status 2"), std::string::npos)
            << simulator.startError();
        EXPECT_NE(simulator.startError().find(message), std::string::npos)
            << text << " -> " << simulator.startError();
    }
    const tCommandResult missing = tDriverSimulator::runTool({"check-config", "/nonexistent/x"});
    EXPECT_EQ(missing.exitStatus, 2);
    EXPECT_NE(missing.errors.find("cannot read configuration /nonexistent/x"), std::string::npos);
}

TEST(qvdriversimTest, CommandLineErrorsAreExplained) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"serve", "--bogus", "x"}, "serve does not take option '--bogus'"},
        {{"serve", "--mount"}, "option '--mount' needs a value"},
        {{"send", "--payload", "00"}, "send needs --event T or --hex BYTES"},
        {{"send", "--hex", "0102", "--event", "1"}, "send --hex takes the whole datagram"},
        {{"notify", "--event", "3"}, "'notify' does not take option '--event'"},
        {{"notify", "--payload", std::string(66, 'a')}, "at most 32 bytes"},
        {{"send", "--event", "65536"}, "--event needs a number from 0 to 65535"},
        {{"log", "--payload", "00"}, "'log' does not take option '--payload'"},
        {{"frobnicate"}, "unknown command 'frobnicate'"},
        {{"fail-register", "EBOGUS"}, "'EBOGUS' is not an errno name"},
        {{"fail-register"}, "fail-register needs ERR"},
        {{"remove", "--kernel", "--payload", "00"}, "'remove' does not take option '--payload'"},
    };
    for (const auto& [args, message] : cases) {
        const tCommandResult result = tDriverSimulator::runTool(args);
        EXPECT_EQ(result.exitStatus, 2) << args[0];
        EXPECT_NE(result.errors.find(message), std::string::npos) << result.errors;
    }
    const tCommandResult unreachable =
        tDriverSimulator::runTool({"log", "--control", "/tmp/qvdriversim-nobody-here.sock"});
    EXPECT_EQ(unreachable.exitStatus, 1);
    EXPECT_NE(unreachable.errors.find("cannot reach the simulator"), std::string::npos);

    // A control path that is a regular file is the kernel module's control file: the client
    // writes its request line there and prints the reply read back (none from a plain file).
    char fileName[] = "/tmp/qvdriversim-control-XXXXXX";
    const int file = ::mkstemp(fileName);
    ASSERT_NE(file, -1) << std::strerror(errno);
    ::close(file);
    const tCommandResult written =
        tDriverSimulator::runTool({"notify", "--payload", "0a0b", "--control", fileName});
    EXPECT_EQ(written.exitStatus, 0) << written.errors;
    EXPECT_EQ(written.output, "");
    std::string line;
    int openErrno = 0;
    bool streamError = false;
    EXPECT_TRUE(readLikeDaemon(fileName, line, openErrno, streamError));
    EXPECT_EQ(line, "send --event 1 --payload 0x0a0b\n");
    ::unlink(fileName);
    if (::access("/sys/kernel/debug/qvdrivermod", F_OK) != 0) {
        const tCommandResult noModule = tDriverSimulator::runTool({"ports", "--kernel"});
        EXPECT_EQ(noModule.exitStatus, 1);
        EXPECT_NE(noModule.errors.find("cannot reach the kernel module at "
                                       "/sys/kernel/debug/qvdrivermod/control"),
                  std::string::npos)
            << noModule.errors;
    }
}

TEST(qvdriversimTest, StopsCleanlyOnSigtermAndUnmounts) {
    tDriverSimulator simulator;
    ASSERT_TRUE(simulator.ready()) << simulator.startError();
    struct stat status {};
    ASSERT_EQ(::stat(kNodePath, &status), 0);
    EXPECT_EQ(simulator.stop(), 0) << simulator.errors();
    EXPECT_EQ(::stat(kNodePath, &status), -1);
    EXPECT_EQ(::access(simulator.controlPath().c_str(), F_OK), -1);
}

// The machine's own mount namespace: process 1's if this process may see it, else the one
// this test was started from (the test itself runs in a private namespace).
int openOuterMountNamespace() {
    const int first = ::open("/proc/1/ns/mnt", O_RDONLY | O_CLOEXEC);
    if (first != -1) {
        return first;
    }
    const std::string parent = "/proc/" + std::to_string(::getppid()) + "/ns/mnt";
    return ::open(parent.c_str(), O_RDONLY | O_CLOEXEC);
}

TEST(qvdriversimTest, RefusesToMountUnderProcInTheMachinesMountNamespace) {
    const int outer = openOuterMountNamespace();
    ASSERT_NE(outer, -1) << std::strerror(errno);
    struct stat outerStatus {};
    struct stat ownStatus {};
    ASSERT_EQ(::fstat(outer, &outerStatus), 0);
    ASSERT_EQ(::stat("/proc/self/ns/mnt", &ownStatus), 0);
    ASSERT_NE(outerStatus.st_ino, ownStatus.st_ino) << "run this test in a private namespace";

    // A directory that does not exist: even a wrong decision could not mount anything there.
    const std::string target = "/proc/driver/qvdriversim-refusal-check";
    const tCommandResult refused =
        tChildProcess::run({tDriverSimulator::toolPath(), "serve", "--mount", target, "--control",
                            "/tmp/qvdriversim-refusal-" + std::to_string(::getpid()) + ".sock"},
                           tDriverSimulator::kCommandTimeoutMs, outer);
    ::close(outer);
    EXPECT_EQ(refused.exitStatus, 1);
    EXPECT_EQ(refused.output, "");
    EXPECT_NE(refused.errors.find("refusing to mount over " + target), std::string::npos)
        << refused.errors;

    // In this private namespace the same directory is only refused for not existing.
    const tCommandResult missing = tDriverSimulator::runTool(
        {"serve", "--mount", target, "--control", "/tmp/qvdriversim-refusal.sock"});
    EXPECT_EQ(missing.exitStatus, 1);
    EXPECT_NE(missing.errors.find("is not an existing directory"), std::string::npos)
        << missing.errors;
}

}  // namespace
}  // namespace nQUORVAMONITORD_18_5
