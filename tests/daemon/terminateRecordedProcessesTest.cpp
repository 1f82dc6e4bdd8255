#include "daemon/terminateRecordedProcesses.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

namespace nQUORVAMONITORD_18_5 {
namespace {

constexpr uid_t kNobody = 65534;

// Pauses of the sweep under test: counted, and each one reaps the child just signalled so the
// order of the signals can be seen.
std::vector<pid_t> gReaped;
int gPauses = 0;

void recordPause() {
    ++gPauses;
    for (int i = 0; i < 200; ++i) {
        int status = 0;
        const pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid > 0) {
            gReaped.push_back(pid);
            return;
        }
        usleep(10000);
    }
}

void countPause() {
    ++gPauses;
}

// The sweep over paths, held in an array as the daemon holds its command line.
void sweep(std::initializer_list<const char*> paths, void (*pause)()) {
    terminateRecordedProcesses(tPidFileList{paths.begin(), paths.size()}, pause);
}

// A child that waits to be signalled, optionally as another user.
pid_t startVictim(uid_t user = 0) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (user != 0 && setuid(user) != 0) {
            _exit(3);
        }
        for (;;) {
            pause();
        }
    }
    return pid;
}

// True when the child ended by SIGTERM within a few seconds; false when it is still running.
bool endedBySigterm(pid_t pid) {
    for (int i = 0; i < 300; ++i) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            return WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM;
        }
        usleep(10000);
    }
    return false;
}

bool stillRunning(pid_t pid) {
    int status = 0;
    return waitpid(pid, &status, WNOHANG) == 0;
}

void stop(pid_t pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

class terminateRecordedProcessesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(geteuid(), 0u) << "these tests need root (they chown pid files and setuid)";
        char dirTemplate[] = "/tmp/qvsweep.XXXXXX";
        ASSERT_NE(mkdtemp(dirTemplate), nullptr);
        dir_ = dirTemplate;
        gReaped.clear();
        gPauses = 0;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string writePidFile(const std::string& name, const std::string& content,
                             mode_t mode = 0644, uid_t owner = 0) {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
        EXPECT_EQ(chmod(path.c_str(), mode), 0);
        EXPECT_EQ(chown(path.c_str(), owner, 0), 0);
        return path;
    }

    std::string dir_;
};

TEST_F(terminateRecordedProcessesTest, SignalsInOrderWithAPauseAfterEach) {
    const pid_t first = startVictim();
    const pid_t second = startVictim();
    const pid_t third = startVictim();
    const std::string a = writePidFile("a.pid", std::to_string(second) + "\n");
    const std::string b = writePidFile("b.pid", "   " + std::to_string(first));
    const std::string c = writePidFile("c.pid", std::to_string(third) + "abc");

    sweep({a.c_str(), b.c_str(), c.c_str()}, recordPause);

    EXPECT_EQ(gPauses, 3);
    // Each pause reaped the one process signalled just before it.
    EXPECT_EQ(gReaped, (std::vector<pid_t>{second, first, third}));
}

TEST_F(terminateRecordedProcessesTest, UnreadableContentIsSkippedWithoutAPause) {
    const pid_t victim = startVictim();
    const std::string empty = writePidFile("empty.pid", "");
    const std::string letters = writePidFile("letters.pid", "pid " + std::to_string(victim));
    const std::string huge = writePidFile("huge.pid", "99999999999999999999999");
    const std::string missing = dir_ + "/missing.pid";

    sweep({empty.c_str(), letters.c_str(), huge.c_str(), missing.c_str()}, countPause);

    EXPECT_EQ(gPauses, 0);
    EXPECT_TRUE(stillRunning(victim));
    stop(victim);
}

TEST_F(terminateRecordedProcessesTest, DuplicatesAreSignalledAndPausedEachTime) {
    const pid_t victim = startVictim();
    const std::string path = writePidFile("dup.pid", std::to_string(victim) + "\n");

    sweep({path.c_str(), path.c_str()}, countPause);

    EXPECT_EQ(gPauses, 2);
    EXPECT_TRUE(endedBySigterm(victim));
}

TEST_F(terminateRecordedProcessesTest, FileIsReadAfreshAtEverySweep) {
    const std::string path = dir_ + "/later.pid";
    const char* const paths[] = {path.c_str()};
    const tPidFileList files{paths, 1};

    terminateRecordedProcesses(files, countPause);
    EXPECT_EQ(gPauses, 0);

    const pid_t first = startVictim();
    writePidFile("later.pid", std::to_string(first));
    terminateRecordedProcesses(files, countPause);
    EXPECT_EQ(gPauses, 1);
    EXPECT_TRUE(endedBySigterm(first));

    std::filesystem::remove(path);
    terminateRecordedProcesses(files, countPause);
    EXPECT_EQ(gPauses, 1);

    const pid_t second = startVictim();
    writePidFile("later.pid", std::to_string(second));
    terminateRecordedProcesses(files, countPause);
    EXPECT_EQ(gPauses, 2);
    EXPECT_TRUE(endedBySigterm(second));
}

TEST_F(terminateRecordedProcessesTest, ZeroAndNegativeValuesNeverReachKill) {
    // Run the sweep as init of a fresh pid namespace: were kill(-1) or kill(0) ever sent, it
    // could only reach the bystander started there, never this machine's processes.
    const std::string zero = writePidFile("zero.pid", "0");
    const std::string minusOne = writePidFile("minus-one.pid", "-1");
    const std::string negative = writePidFile("negative.pid", "-2");

    const pid_t outer = fork();
    ASSERT_GE(outer, 0);
    if (outer == 0) {
        if (unshare(CLONE_NEWPID) != 0) {
            _exit(10);
        }
        const pid_t init = fork();
        if (init == 0) {
            const pid_t bystander = startVictim();
            if (setpgid(bystander, getpgrp()) != 0) {
                _exit(11);
            }
            sweep({zero.c_str(), minusOne.c_str(), negative.c_str()}, countPause);
            usleep(100000);
            const bool intact = gPauses == 0 && stillRunning(bystander);
            kill(bystander, SIGKILL);
            _exit(intact ? 0 : 12);
        }
        int status = 0;
        waitpid(init, &status, 0);
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 13);
    }
    int status = 0;
    ASSERT_EQ(waitpid(outer, &status, 0), outer);
    ASSERT_TRUE(WIFEXITED(status)) << "the sweep ended its own process";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(terminateRecordedProcessesTest, WorldWritableFileIsSkipped) {
    const pid_t victim = startVictim();
    const std::string path = writePidFile("open.pid", std::to_string(victim), 0666);

    sweep({path.c_str()}, countPause);

    EXPECT_EQ(gPauses, 0);
    EXPECT_TRUE(stillRunning(victim));
    stop(victim);
}

TEST_F(terminateRecordedProcessesTest, OtherUsersFileMayNameOnlyThatUsersProcesses) {
    const pid_t rootProcess = startVictim();
    const pid_t nobodyProcess = startVictim(kNobody);
    usleep(50000);  // let the child drop to the other user
    const std::string rootTarget =
        writePidFile("r.pid", std::to_string(rootProcess), 0644, kNobody);
    const std::string ownTarget =
        writePidFile("n.pid", std::to_string(nobodyProcess), 0644, kNobody);

    sweep({rootTarget.c_str(), ownTarget.c_str()}, countPause);

    EXPECT_EQ(gPauses, 1);
    EXPECT_TRUE(endedBySigterm(nobodyProcess));
    EXPECT_TRUE(stillRunning(rootProcess));
    stop(rootProcess);
}

TEST_F(terminateRecordedProcessesTest, RootOwnedFileMayNameAnyProcess) {
    const pid_t nobodyProcess = startVictim(kNobody);
    usleep(50000);
    const std::string path = writePidFile("any.pid", std::to_string(nobodyProcess));

    sweep({path.c_str()}, countPause);

    EXPECT_EQ(gPauses, 1);
    EXPECT_TRUE(endedBySigterm(nobodyProcess));
}

}  // namespace
}  // namespace nQUORVAMONITORD_18_5
