// The termination sweep runs on every notification: it must not touch the heap. Every allocation
// made by this process while a window is open is counted, and the sweep runs inside the window
// against real pid files and real processes.
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "daemon/terminateRecordedProcesses.h"
#include "tests/support/tAllocationWindow.h"

namespace nQUORVAMONITORD_18_5 {
namespace {

constexpr uid_t kNobody = 65534;

int gPauses = 0;

void countPause() {
    ++gPauses;
}

// A child that waits to be signalled, optionally as another user.
pid_t startVictim(uid_t user = 0) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (user != 0 && ::setuid(user) != 0) {
            ::_exit(3);
        }
        for (;;) {
            ::pause();
        }
    }
    // The sweep checks the owner of another user's process: wait until the child has become it.
    const std::string procPath = "/proc/" + std::to_string(pid);
    for (int i = 0; user != 0 && i < 500; ++i) {
        struct stat info {};
        if (::stat(procPath.c_str(), &info) == 0 && info.st_uid == user) {
            break;
        }
        ::usleep(1000);
    }
    return pid;
}

// Reaps the child; true when SIGTERM ended it.
bool endedBySigterm(pid_t pid) {
    int status = 0;
    for (int i = 0; i < 300; ++i) {
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            return WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM;
        }
        ::usleep(10000);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return false;
}

class terminateRecordedProcessesAllocationTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "pid files owned by another user need root";
        }
        char pattern[] = "/tmp/qvSweepAllocXXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        directory_ = pattern;
        gPauses = 0;
    }

    void TearDown() override {
        if (!directory_.empty()) {
            std::string command = "rm -rf '" + directory_ + "'";
            (void)!std::system(command.c_str());
        }
    }

    // Writes text to a file in the test directory, owned by owner, and returns its path.
    std::string writeFile(const std::string& name, const std::string& text, uid_t owner = 0) {
        std::string path = directory_ + "/" + name;
        std::ofstream(path, std::ios::trunc) << text;
        ::chmod(path.c_str(), 0644);
        if (owner != 0) {
            EXPECT_EQ(::chown(path.c_str(), owner, owner), 0);
        }
        return path;
    }

    std::string directory_;
};

// Every kind of entry the sweep meets: a signalled process reached through a relative and an
// absolute link, a missing file, a file that does not start with a number, a link loop, a root
// file whose ACL lets another user write to it, and another user's file, both naming that user's
// process (which makes the sweep read the ACL, and the process's uids from /proc/<pid>/status
// after pidfd_open). The signalled process's file is on a tmpfs of its own, whose mount the walk
// judges.
TEST_F(terminateRecordedProcessesAllocationTest, SweepOverMixedPidFilesAllocatesNothing) {
    const pid_t own = startVictim();
    const pid_t nobodys = startVictim(kNobody);
    ASSERT_GT(own, 0);
    ASSERT_GT(nobodys, 0);
    // On a file system of its own, so the walk judges its mount.
    const std::string mounted = directory_ + "/m";
    ASSERT_EQ(::mkdir(mounted.c_str(), 0755), 0);
    ASSERT_EQ(::mount("tmpfs", mounted.c_str(), "tmpfs", 0, nullptr), 0);
    writeFile("m/own.pid", "  " + std::to_string(own) + "\n");
    const std::string ownLink = directory_ + "/own-link.pid";
    ASSERT_EQ(::symlink("own-link2.pid", ownLink.c_str()), 0);
    ASSERT_EQ(
        ::symlink((directory_ + "/m/own.pid").c_str(), (directory_ + "/own-link2.pid").c_str()), 0);
    const std::string missing = directory_ + "/missing.pid";
    const std::string garbage = writeFile("garbage.pid", "abc\n");
    const std::string loop = directory_ + "/loop.pid";
    ASSERT_EQ(::symlink("loop.pid", loop.c_str()), 0);
    const std::string aclFile = writeFile("acl.pid", std::to_string(nobodys) + "\n");
    const std::string setfacl = "setfacl -m u:65534:rw " + aclFile;
    ASSERT_EQ(std::system(setfacl.c_str()), 0) << "setfacl (package acl) is needed";
    const std::string nobodyFile = writeFile("nobody.pid", std::to_string(nobodys) + "\n", kNobody);
    const char* const paths[] = {ownLink.c_str(), missing.c_str(), garbage.c_str(),
                                 loop.c_str(),    aclFile.c_str(), nobodyFile.c_str()};
    const tPidFileList pidFiles{paths, std::size(paths)};

    tAllocationWindow window;
    terminateRecordedProcesses(pidFiles, countPause);
    const long seen = window.count();

    EXPECT_EQ(seen, 0);
    // The second SIGTERM to nobody's process finds it ended but not yet reaped.
    EXPECT_EQ(gPauses, 3);
    EXPECT_TRUE(endedBySigterm(own));
    EXPECT_TRUE(endedBySigterm(nobodys));
    EXPECT_EQ(::umount2(mounted.c_str(), MNT_DETACH), 0);
}

// The sweep as the daemon runs it, with the real one-second pause.
TEST_F(terminateRecordedProcessesAllocationTest, SweepWithTheRealPauseAllocatesNothing) {
    const pid_t victim = startVictim();
    ASSERT_GT(victim, 0);
    const std::string file = writeFile("victim.pid", std::to_string(victim));
    const char* const paths[] = {file.c_str()};
    const tPidFileList pidFiles{paths, 1};

    tAllocationWindow window;
    terminateRecordedProcesses(pidFiles);
    const long seen = window.count();

    EXPECT_EQ(seen, 0);
    EXPECT_TRUE(endedBySigterm(victim));
}

// Guards the guard: the window must see what the sweep would do if it used a file stream.
TEST_F(terminateRecordedProcessesAllocationTest, WindowCountsAFileStream) {
    const std::string file = writeFile("stream.pid", "42\n");
    tAllocationWindow window;
    std::ifstream stream(file);
    int pid = 0;
    stream >> pid;
    const long seen = window.count();
    EXPECT_EQ(pid, 42);
    EXPECT_GT(seen, 0);
}

}  // namespace
}  // namespace nQUORVAMONITORD_18_5
