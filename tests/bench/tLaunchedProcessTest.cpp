#include "bench/tLaunchedProcess.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "bench/monotonicClock.h"

namespace nQUORVAMONITORD_18_5::nQVBENCH {
namespace {

TEST(tLaunchedProcessTest, CapturesLinesAndTheExecTime) {
    tLaunchedProcess process;
    tLaunchedProcess::tOptions options;
    options.captureStdout = true;
    const int64_t before = monotonicNanoseconds();
    ASSERT_TRUE(process.start({"/bin/sh", "-c", "echo first; echo second"}, options));
    std::string line;
    int64_t when = 0;
    ASSERT_TRUE(process.readLine(5000, line, &when));
    EXPECT_EQ(line, "first");
    EXPECT_GE(process.execTime(), before);
    EXPECT_GE(when, process.execTime());
    ASSERT_TRUE(process.readLine(5000, line));
    EXPECT_EQ(line, "second");
    EXPECT_FALSE(process.readLine(5000, line));  // end of output

    int status = 0;
    ASSERT_TRUE(process.waitExit(5000, status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_FALSE(process.running());
}

TEST(tLaunchedProcessTest, StartsAtTheAskedRealTimePriority) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "SCHED_FIFO needs root";
    }
    tLaunchedProcess process;
    tLaunchedProcess::tOptions options;
    options.captureStdout = true;
    options.fifoPriority = 10;
    // Fields 40 and 41 of /proc/<pid>/stat: the real-time priority and the policy (1: FIFO).
    ASSERT_TRUE(process.start({"/usr/bin/cut", "-d", " ", "-f40,41", "/proc/self/stat"}, options));
    EXPECT_EQ(process.readAll(5000), "10 1\n");
}

TEST(tLaunchedProcessTest, RunsOnTheAskedCpuOnly) {
    const long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
    for (int cpu : {0, static_cast<int>(cpus - 1)}) {
        tLaunchedProcess process;
        tLaunchedProcess::tOptions options;
        options.captureStdout = true;
        options.cpu = cpu;
        ASSERT_TRUE(
            process.start({"/bin/grep", "Cpus_allowed_list", "/proc/self/status"}, options));
        EXPECT_EQ(process.readAll(5000), "Cpus_allowed_list:\t" + std::to_string(cpu) + "\n");
    }
}

TEST(tLaunchedProcessTest, StopEndsAProcessThatIgnoresNothing) {
    tLaunchedProcess process;
    ASSERT_TRUE(process.start({"/bin/sleep", "60"}, {}));
    EXPECT_TRUE(process.running());
    const int status = process.stop(5000);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    EXPECT_FALSE(process.running());
}

TEST(tLaunchedProcessTest, RunCommandReportsStatusAndOutput) {
    std::string output;
    EXPECT_EQ(runCommand({"/bin/sh", "-c", "printf 'a b'; exit 3"}, output), 3);
    EXPECT_EQ(output, "a b");
    EXPECT_EQ(runCommand({"/nonexistent/program"}, output), 127);
}

}  // namespace
}  // namespace nQUORVAMONITORD_18_5::nQVBENCH
