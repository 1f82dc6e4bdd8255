#include "tools/qvdriversim/tSimulatorConfig.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace nQUORVAMONITORD_18_5 {
namespace nQVDRIVERSIM {
namespace {

TEST(tSimulatorConfigTest, DefaultsAreOneHealthyDeviceUnderTheFirstName) {
    const tSimulatorConfig config = tSimulatorConfig::defaults();
    ASSERT_EQ(config.devices.size(), 1u);
    const tDeviceConfig& device = config.devices[0];
    EXPECT_EQ(device.name, "dev0");
    EXPECT_EQ(device.openFault.error, 0);
    EXPECT_EQ(device.registerFault.error, 0);
    ASSERT_EQ(device.interfaces.size(), 1u);
    EXPECT_EQ(device.interfaces[0].directory, "morvelkestrak_morvelkestrak\\0");
    EXPECT_FALSE(device.interfaces[0].hasContent);
    EXPECT_EQ(device.interfaces[0].openFault.error, 0);
    EXPECT_EQ(device.interfaces[0].readFault.error, 0);
}

TEST(tSimulatorConfigTest, SettingsLandOnTheirDeviceAndInterface) {
    tSimulatorConfig config;
    std::string error;
    ASSERT_TRUE(
        config.parse("# two devices\r\n"
                     "device a\r\n"
                     "  register-errno EPERM 2\n"
                     "  interface x\\1\n"
                     "    path  \\x20padded\\x20  \n"
                     "    open-errno 13 9\n"
                     "  pages 3\n"
                     "device b\n"
                     "\tnode-open-errno ENODEV\n"
                     "\tinterface y\\2\n"
                     "\tread-errno EIO\n"
                     "\tpath-hex 00ff",
                     error))
        << error;
    ASSERT_EQ(config.devices.size(), 2u);
    const tDeviceConfig& a = config.devices[0];
    EXPECT_EQ(a.pages, 3u);  // a device key after an interface still belongs to the device
    EXPECT_EQ(a.registerFault.error, EPERM);
    EXPECT_EQ(a.registerFault.count, 2u);
    ASSERT_EQ(a.interfaces.size(), 1u);
    EXPECT_TRUE(a.interfaces[0].hasContent);
    EXPECT_EQ(a.interfaces[0].content, " padded ");
    EXPECT_EQ(a.interfaces[0].openFault.error, EACCES);
    EXPECT_EQ(a.interfaces[0].openFault.count, 9u);

    const tDeviceConfig& b = config.devices[1];
    EXPECT_EQ(b.pages, 8u);
    EXPECT_EQ(b.openFault.error, ENODEV);
    EXPECT_EQ(b.openFault.count, std::numeric_limits<uint64_t>::max());
    ASSERT_EQ(b.interfaces.size(), 1u);
    EXPECT_EQ(b.interfaces[0].directory, "y\\2");
    EXPECT_EQ(b.interfaces[0].readFault.error, EIO);
    EXPECT_EQ(b.interfaces[0].content, std::string("\x00\xff", 2));
}

TEST(tSimulatorConfigTest, AnEmptyTextHasNoDevicesAndParsingReplacesEarlierOnes) {
    tSimulatorConfig config = tSimulatorConfig::defaults();
    std::string error;
    ASSERT_TRUE(config.parse("\n# only a comment\n\n", error));
    EXPECT_TRUE(config.devices.empty());
}

TEST(tSimulatorConfigTest, ErrnoLimitsFollowWhatFuseCanReturn) {
    tSimulatorConfig config;
    std::string error;
    EXPECT_TRUE(config.parse("device d\nnode-open-errno 511\n", error)) << error;
    for (const char* bad : {"0", "512", "ENOSYS", "38", "eacces"}) {
        EXPECT_FALSE(config.parse(std::string("device d\nnode-open-errno ") + bad + "\n", error))
            << bad;
        EXPECT_EQ(error.rfind("line 2: ", 0), 0u) << error;
    }
}

}  // namespace
}  // namespace nQVDRIVERSIM
}  // namespace nQUORVAMONITORD_18_5
