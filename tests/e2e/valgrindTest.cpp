// The built daemon runs a whole life under valgrind's memcheck, against the driver simulator in
// this test's private mount namespace: start, registration, a notification that stops a
// process, release. A memory error or a definite leak makes valgrind end it with status 99
// instead of 0. Registered only in builds without sanitizers, which do not mix with valgrind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "tests/e2e/tDaemonProcess.h"
#include "tests/e2e/tVictim.h"
#include "tests/support/tDriverSimulator.h"

namespace nQUORVAMONITORD_18_5 {
namespace {

constexpr int kValgrindErrorStatus = 99;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(valgrindTest, WholeRunHasNoMemoryErrorsAndNoDefiniteLeaks) {
    ASSERT_EQ(access("/usr/bin/valgrind", X_OK), 0) << "valgrind is needed for this test";
    char dirTemplate[] = "/tmp/qvvalgrind.XXXXXX";
    ASSERT_NE(mkdtemp(dirTemplate), nullptr);
    const std::string dir = dirTemplate;

    {
        tDriverSimulator simulator;
        ASSERT_TRUE(simulator.ready()) << simulator.startError();
        tVictim victim(dir + "/victim.pid");
        tDaemonProcess daemon({dir + "/victim.pid", dir + "/missing.pid"},
                              {"/usr/bin/valgrind", "--error-exitcode=99", "--leak-check=full",
                               "--errors-for-leak-kinds=definite", "--track-fds=no"});
        // valgrind needs a few seconds to start the program.
        ASSERT_TRUE(simulator.waitForLog("id=0x0fe57af7 result=ok", 60000)) << daemon.output();

        ASSERT_EQ(simulator.command({"notify", "--payload", "0102030405"}).exitStatus, 0);
        EXPECT_NE(victim.waitForSigterm(30000), 0) << daemon.output();

        ASSERT_EQ(simulator.command({"release"}).exitStatus, 0);
        const int status = daemon.waitForExit(60000);
        const std::string report = daemon.output();
        EXPECT_NE(status, kValgrindErrorStatus) << report;
        EXPECT_EQ(status, 0) << report;
        // The report proves valgrind really ran the daemon to its end.
        EXPECT_TRUE(contains(report, "ERROR SUMMARY: 0 errors")) << report;
        EXPECT_TRUE(simulator.waitForLog("unregister node=/qv/dev0/node arg=0x0fe57af7", 1000));
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace nQUORVAMONITORD_18_5
