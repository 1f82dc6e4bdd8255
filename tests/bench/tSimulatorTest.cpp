#include "bench/tSimulator.h"

#include <gtest/gtest.h>

namespace nQUORVAMONITORD_18_5::nQVBENCH {
namespace {

TEST(tSimulatorTest, ReadsPortAndCookieOfASuccessfulRegistration) {
    uint32_t port = 0;
    uint64_t cookie = 0;
    ASSERT_TRUE(tSimulator::parseRegistration(
        "register node=qv/dev0/node cookie=0x00007ffc3a2b1c40 port=4242 id=0x0fe57af7 result=ok",
        port, cookie));
    EXPECT_EQ(port, 4242u);
    EXPECT_EQ(cookie, 0x00007ffc3a2b1c40u);
}

TEST(tSimulatorTest, IgnoresRefusalsOtherEventsAndDamagedLines) {
    uint32_t port = 7;
    uint64_t cookie = 7;
    EXPECT_FALSE(tSimulator::parseRegistration(
        "register node=qv/dev0/node cookie=0x1 port=4242 id=0x0fe57af7 result=EPERM", port,
        cookie));
    EXPECT_FALSE(
        tSimulator::parseRegistration("unregister node=qv/dev0/node arg=0x0fe57af7 "
                                      "result=ok",
                                      port, cookie));
    EXPECT_FALSE(tSimulator::parseRegistration(
        "register node=qv/dev0/node cookie=0x1 port=-3 id=0x0fe57af7 result=ok", port, cookie));
    EXPECT_FALSE(tSimulator::parseRegistration(
        "register node=qv/dev0/node cookie=12 port=3 id=0x0fe57af7 result=ok", port, cookie));
    EXPECT_FALSE(tSimulator::parseRegistration(
        "register node=qv/dev0/node cookie=0x1 port=99999999999 id=0x0fe57af7 result=ok", port,
        cookie));
    EXPECT_FALSE(tSimulator::parseRegistration("register result=ok", port, cookie));
    EXPECT_EQ(port, 7u);
    EXPECT_EQ(cookie, 7u);
}

}  // namespace
}  // namespace nQUORVAMONITORD_18_5::nQVBENCH
