#include "bench/tSigtermVictim.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "bench/monotonicClock.h"

namespace nQUORVAMONITORD_18_5::nQVBENCH {
namespace {

TEST(tSigtermVictimTest, ReportsTheMomentSigtermArrived) {
    tSigtermVictim victim;
    ASSERT_TRUE(victim.started());
    const int64_t before = monotonicNanoseconds();
    ASSERT_EQ(::kill(victim.pid(), SIGTERM), 0);
    const int64_t received = victim.waitForSigterm(5000);
    const int64_t after = monotonicNanoseconds();
    EXPECT_GE(received, before);
    EXPECT_LE(received, after);
    // Reaped: the process is gone.
    EXPECT_EQ(::kill(victim.pid(), 0), -1);
}

TEST(tSigtermVictimTest, NoSignalNoReport) {
    tSigtermVictim victim;
    ASSERT_TRUE(victim.started());
    EXPECT_EQ(victim.waitForSigterm(20), 0);
    ASSERT_EQ(::kill(victim.pid(), SIGUSR1), 0);  // any other signal ends it without a report
    EXPECT_EQ(victim.waitForSigterm(5000), 0);
}

TEST(tSigtermVictimTest, WritesItsPidIntoThePidFile) {
    char pattern[] = "/tmp/qvVictimXXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string path = std::string(pattern) + "/victim.pid";
    { std::ofstream(path) << "123456789 and more text than the pid\n"; }
    tSigtermVictim victim;
    ASSERT_TRUE(victim.writePidFile(path));
    std::ifstream in(path);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, std::to_string(victim.pid()) + "\n");
    std::remove(path.c_str());
    ::rmdir(pattern);
}

}  // namespace
}  // namespace nQUORVAMONITORD_18_5::nQVBENCH
