// Registration against the driver simulator, mounted at /proc/driver in this test's private
// mount namespace; what reached the driver is read from the simulator's log.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "protons/driver/linuxU/tDeviceInterfaceProxy.h"
#include "protons/io_notification/linuxU/tIONotification.h"
#include "tests/support/tDriverSimulator.h"

namespace nQUORVAMONITORD_18_5::nZORFEL000 {
namespace {

constexpr uint32_t kRestartId = 0x0FE57AF7;
constexpr const char* kNodePath = "/proc/driver/qv/dev0/node";

size_t countStartingWith(const std::vector<std::string>& lines, const std::string& prefix) {
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const auto& line) {
        return line.compare(0, prefix.size(), prefix) == 0;
    }));
}

std::string registerLine(const tIONotification& notification, uint32_t port, uint32_t id,
                         const char* result) {
    char line[160];
    std::snprintf(line, sizeof(line),
                  "register node=/qv/dev0/node cookie=0x%016llx port=%u id=0x%08x result=%s",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&notification)), port,
                  id, result);
    return line;
}

bool contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// A simulator, a reader and the simulator's device node opened through a proxy.
class tIONotificationTest : public ::testing::Test {
  protected:
    void start(std::optional<std::string> config = std::nullopt) {
        simulator_ = std::make_unique<tDriverSimulator>(std::move(config));
        ASSERT_TRUE(simulator_->ready()) << simulator_->startError();
        reader_ = std::make_unique<tIONotificationReader>(1, status_);
        ASSERT_EQ(status_.code, 0);
        device_.open(kNodePath, status_);
        ASSERT_EQ(status_.code, 0);
        ASSERT_TRUE(device_.isOpen());
    }

    std::vector<std::string> log() const { return simulator_->log(); }

    tStatusRecord status_;
    std::unique_ptr<tDriverSimulator> simulator_;
    std::unique_ptr<tIONotificationReader> reader_;
    tDeviceInterfaceProxy device_;
};

TEST_F(tIONotificationTest, RegistersTheReadersPortAndUnregistersTheId) {
    start();
    tIONotification notification;
    EXPECT_FALSE(notification.isRegistered());
    notification.registerWith(reader_.get(), &device_, kRestartId, status_);
    EXPECT_EQ(status_.code, 0);
    EXPECT_TRUE(notification.isRegistered());
    EXPECT_TRUE(contains(log(), registerLine(notification, reader_->portId(), kRestartId, "ok")));

    // The driver now delivers to the reader, with this object's address as the cookie.
    const tCommandResult sent = simulator_->command({"notify", "--payload", "0102"});
    ASSERT_EQ(sent.exitStatus, 0) << sent.errors;
    uint32_t kind = 0xFFFFFFFF;
    uint32_t length = 0;
    unsigned char payload[kNotificationPayloadSize] = {};
    const uint64_t cookie = reader_->wait(kind, payload, length, status_, 5000);
    EXPECT_EQ(status_.code, 0);
    EXPECT_EQ(cookie, reinterpret_cast<uintptr_t>(&notification));
    EXPECT_EQ(kind, kNotified);
    EXPECT_EQ(length, 2u);

    notification.unregister();
    EXPECT_FALSE(notification.isRegistered());
    notification.unregister();
    const auto lines = log();
    EXPECT_TRUE(contains(lines, "unregister node=/qv/dev0/node arg=0x0fe57af7 result=ok"));
    EXPECT_EQ(countStartingWith(lines, "unregister "), 1u);
}

TEST_F(tIONotificationTest, RefusalIsAnOsFaultWhateverTheErrno) {
    for (const char* refusal : {"EPERM", "ENOENT"}) {
        tStatusRecord status;
        start("device dev0\nregister-errno " + std::string(refusal) +
              "\ninterface morvelkestrak_morvelkestrak\\0\n");
        tIONotification notification;
        notification.registerWith(reader_.get(), &device_, kRestartId, status);
        EXPECT_EQ(status.code, kStatusOsFault) << refusal;
        EXPECT_FALSE(notification.isRegistered()) << refusal;
        EXPECT_TRUE(
            contains(log(), registerLine(notification, reader_->portId(), kRestartId, refusal)))
            << refusal;

        // Nothing registered, so nothing to withdraw.
        notification.unregister();
        EXPECT_EQ(countStartingWith(log(), "unregister "), 0u) << refusal;
        device_.close();
        simulator_.reset();
    }
}

TEST_F(tIONotificationTest, UnregisterSendsNothingWithoutARegistrationOrAnOpenDevice) {
    start();
    tIONotification fresh;
    fresh.unregister();
    EXPECT_FALSE(fresh.isRegistered());

    tIONotification notification;
    notification.registerWith(reader_.get(), &device_, kRestartId, status_);
    ASSERT_TRUE(notification.isRegistered());
    device_.close();
    notification.unregister();
    EXPECT_FALSE(notification.isRegistered());
    EXPECT_EQ(countStartingWith(log(), "unregister "), 0u);
}

// A proxy that can claim to be closed while its descriptor still reaches the driver, so that a
// request sent anyway would show in the log.
class tSwitchableProxy : public tDeviceInterfaceProxy {
  public:
    bool isOpen() const override { return claimsOpen && tDeviceInterfaceProxy::isOpen(); }
    bool claimsOpen = true;
};

TEST_F(tIONotificationTest, UnregisterAsksTheDeviceWhetherItIsOpen) {
    start();
    tSwitchableProxy device;
    device.open(kNodePath, status_);
    ASSERT_EQ(status_.code, 0);
    tIONotification notification;
    notification.registerWith(reader_.get(), &device, kRestartId, status_);
    ASSERT_TRUE(notification.isRegistered());

    device.claimsOpen = false;
    notification.unregister();
    EXPECT_FALSE(notification.isRegistered());
    EXPECT_EQ(countStartingWith(log(), "unregister "), 0u);
}

TEST_F(tIONotificationTest, ErroredRecordSendsNothing) {
    start();
    const int descriptor = device_.descriptor;
    tStatusRecord errored;
    QV_SET_STATUS(errored, kStatusNotFound);
    const uint64_t line = errored.line;

    tIONotification notification;
    notification.registerWith(reader_.get(), &device_, kRestartId, errored);
    EXPECT_FALSE(notification.isRegistered());
    EXPECT_EQ(errored.code, kStatusNotFound);
    EXPECT_EQ(errored.line, line);
    EXPECT_EQ(device_.descriptor, descriptor);
    EXPECT_TRUE(device_.isOpen());
    notification.unregister();
    const auto lines = log();
    EXPECT_EQ(countStartingWith(lines, "register "), 0u);
    EXPECT_EQ(countStartingWith(lines, "unregister "), 0u);
}

TEST_F(tIONotificationTest, ClosedDeviceIsAnOsFault) {
    start();
    tDeviceInterfaceProxy closed;
    ASSERT_FALSE(closed.isOpen());
    tIONotification notification;
    notification.registerWith(reader_.get(), &closed, kRestartId, status_);
    // The descriptor -1 fails with EBADF, which is not translated.
    EXPECT_EQ(status_.code, kStatusOsFault);
    EXPECT_FALSE(notification.isRegistered());
}

// A second registration that fails keeps the flag, but the new device is the one unregister
// looks at.
TEST_F(tIONotificationTest, FailedSecondRegistrationKeepsTheFlagAndTheNewDevice) {
    start();
    tIONotification notification;
    notification.registerWith(reader_.get(), &device_, kRestartId, status_);
    ASSERT_TRUE(notification.isRegistered());

    tDeviceInterfaceProxy closed;
    tStatusRecord second;
    notification.registerWith(reader_.get(), &closed, 0x1234, second);
    EXPECT_EQ(second.code, kStatusOsFault);
    EXPECT_TRUE(notification.isRegistered());

    notification.unregister();
    EXPECT_FALSE(notification.isRegistered());
    EXPECT_EQ(countStartingWith(log(), "unregister "), 0u);
}

}  // namespace
}  // namespace nQUORVAMONITORD_18_5::nZORFEL000
