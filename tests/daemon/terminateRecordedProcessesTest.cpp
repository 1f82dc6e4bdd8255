#include "daemon/terminateRecordedProcesses.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/openat2.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/tChildProcess.h"

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

    // A symbolic link below the test directory, owned by owner.
    std::string makeLink(const std::string& name, const std::string& target, uid_t owner = 0) {
        const std::string path = dir_ + "/" + name;
        EXPECT_EQ(symlink(target.c_str(), path.c_str()), 0) << path;
        EXPECT_EQ(lchown(path.c_str(), owner, 0), 0);
        return path;
    }

    std::string dir_;
};

constexpr uid_t kOtherUser = 65533;
constexpr gid_t kForeignGroup = 100;

// One entry of a layout, below the test directory: a directory ('d'), a regular file ('f'), a
// symbolic link ('l', text is its target), a FIFO ('p'), a directory with a file system of the
// type text mounted on it ('m') or a file with the file text bind-mounted on it ('b'). Mode 0
// keeps the mode the file was created with; acl, when given, is passed to setfacl after the mode
// is set.
struct tEntry {
    std::string path;
    char kind;
    mode_t mode = 0644;
    uid_t owner = 0;
    gid_t group = 0;
    std::string text = "4242\n";
    std::string acl = "";
};

// What readRecordedPid makes of a pid file.
enum class tVerdict { kSkipped, kAnyProcess, kOnlyNobodys };

struct tLayout {
    const char* name;
    std::vector<tEntry> entries;
    std::string pidFile;  // relative to the test directory, the working directory
    tVerdict verdict;
    int pid = 4242;  // named by an accepted file
};

// Who could have chosen what a pid file says, over layouts an attacker might set up and layouts
// that a correct set-up uses.
TEST_F(terminateRecordedProcessesTest, TrustFollowsEveryoneWhoCouldHaveChosenTheFile) {
    const int parent = getppid();
    const std::string rootsStat = "/proc/" + std::to_string(parent) + "/stat";
    const std::string blanks(kMaxPidFileBytes - 5, ' ');
    // "4242" as the file's last four bytes within the read limit.
    const std::string edge(kMaxPidFileBytes - 4, ' ');
    const std::string self = std::to_string(getpid());
    using V = tVerdict;
    const std::vector<tLayout> layouts = {
        // Root's files reached through root's directories and links.
        {"root file", {{"a.pid", 'f'}}, "a.pid", V::kAnyProcess},
        {"dot and dot-dot", {{"d", 'd', 0755}, {"d/a.pid", 'f'}}, "d/../d/./a.pid", V::kAnyProcess},
        {"root links, relative then absolute",
         {{"real.pid", 'f'},
          {"second", 'l', 0, 0, 0, dir_ + "/real.pid"},
          {"first", 'l', 0, 0, 0, "second"}},
         "first",
         V::kAnyProcess},
        {"group-writable by root's group", {{"a.pid", 'f', 0664}}, "a.pid", V::kAnyProcess},
        {"sticky world-writable directory",
         {{"t", 'd', 01777}, {"t/a.pid", 'f'}},
         "t/a.pid",
         V::kAnyProcess},
        {"number ending at the read limit",
         {{"a.pid", 'f', 0644, 0, 0, blanks + "4242\n"}},
         "a.pid",
         V::kAnyProcess},
        {"number ending at the read limit and the file's end",
         {{"a.pid", 'f', 0644, 0, 0, edge + "4242"}},
         "a.pid",
         V::kAnyProcess},
        {"number ending at the read limit, a newline after it",
         {{"a.pid", 'f', 0644, 0, 0, edge + "4242\n"}},
         "a.pid",
         V::kAnyProcess},
        {"link then dot-dot, resolved where the link leads",
         {{"d", 'd', 0755},
          {"d/e", 'd', 0755},
          {"d/a.pid", 'f'},
          {"a.pid", 'f', 0644, 0, 0, "5151\n"},
          {"l", 'l', 0, 0, 0, "d/e"}},
         "l/../a.pid",
         V::kAnyProcess},
        {"on tmpfs",
         {{"m", 'm', 0755, 0, 0, "tmpfs"}, {"m/a.pid", 'f'}},
         "m/a.pid",
         V::kAnyProcess},
        {"file bind-mounted on the name",
         {{"real.pid", 'f'}, {"a.pid", 'b', 0, 0, 0, "real.pid"}},
         "a.pid",
         V::kAnyProcess},
        {"ACL whose mask denies write",
         {{"a.pid", 'f', 0644, 0, 0, "4242\n", "-n -m u:65534:rw,g:100:rw,m::r"}},
         "a.pid",
         V::kAnyProcess},
        {"ACL granting write to root's group",
         {{"a.pid", 'f', 0644, 0, 0, "4242\n", "-m g:0:rw"}},
         "a.pid",
         V::kAnyProcess},
        {"ACL for a foreign group on a sticky directory",
         {{"t", 'd', 01777, 0, 0, "", "-m g:100:rwx"}, {"t/a.pid", 'f'}},
         "t/a.pid",
         V::kAnyProcess},
        // One other user controls the way: only that user's processes.
        {"another user's file", {{"a.pid", 'f', 0644, kNobody}}, "a.pid", V::kOnlyNobodys},
        {"in another user's directory",
         {{"d", 'd', 0755, kNobody}, {"d/a.pid", 'f'}},
         "d/a.pid",
         V::kOnlyNobodys},
        {"below another user's directory",
         {{"d", 'd', 0755, kNobody}, {"d/e", 'd', 0755}, {"d/e/a.pid", 'f'}},
         "d/e/a.pid",
         V::kOnlyNobodys},
        {"another user's link to a root file",
         {{"real.pid", 'f'}, {"a.pid", 'l', 0, kNobody, 0, dir_ + "/real.pid"}},
         "a.pid",
         V::kOnlyNobodys},
        {"link into /proc in another user's directory",
         {{"d", 'd', 0755, kNobody}, {"d/a.pid", 'l', 0, 0, 0, rootsStat}},
         "d/a.pid",
         V::kSkipped,
         parent},
        {"root's link into /proc", {{"a.pid", 'l', 0, 0, 0, rootsStat}}, "a.pid", V::kSkipped},
        {"on a file system of the kernel's own (sysfs)",
         {{"m", 'm', 0755, 0, 0, "sysfs"}, {"a.pid", 'l', 0, 0, 0, "m/kernel/uevent_seqnum"}},
         "a.pid",
         V::kSkipped},
        {"another user's file in a sticky directory",
         {{"t", 'd', 01777}, {"t/a.pid", 'f', 0644, kNobody}},
         "t/a.pid",
         V::kOnlyNobodys},
        {"another user's file bind-mounted on root's",
         {{"real.pid", 'f', 0644, kNobody}, {"a.pid", 'b', 0, 0, 0, "real.pid"}},
         "a.pid",
         V::kOnlyNobodys},
        {"ACL granting another user write to a root file",
         {{"a.pid", 'f', 0644, 0, 0, "4242\n", "-m u:65534:rw"}},
         "a.pid",
         V::kOnlyNobodys},
        {"ACL granting another user write to a root directory",
         {{"d", 'd', 0755, 0, 0, "", "-m u:65534:rwx"}, {"d/a.pid", 'f'}},
         "d/a.pid",
         V::kOnlyNobodys},
        {"default ACL of the directory inherited by a new file",
         {{"d", 'd', 0755, 0, 0, "", "-d -m u:65534:rw"}, {"d/a.pid", 'f', 0}},
         "d/a.pid",
         V::kOnlyNobodys},
        {"ACL: a foreign owning group that may only read, another user who may write",
         {{"a.pid", 'f', 0644, 0, kForeignGroup, "4242\n", "-m u:65534:rw"}},
         "a.pid",
         V::kOnlyNobodys},
        // Anyone may write, two users control the way, or nothing may be read safely.
        {"group-writable by a foreign group",
         {{"a.pid", 'f', 0664, 0, kForeignGroup}},
         "a.pid",
         V::kSkipped},
        {"sticky world-writable root file", {{"a.pid", 'f', 01666}}, "a.pid", V::kSkipped},
        {"ACL granting a foreign group write",
         {{"a.pid", 'f', 0644, 0, 0, "4242\n", "-m g:100:rw"}},
         "a.pid",
         V::kSkipped},
        {"ACL granting the foreign owning group write",
         {{"a.pid", 'f', 0644, 0, kForeignGroup, "4242\n", "-m g::rw,u:65533:r"}},
         "a.pid",
         V::kSkipped},
        {"ACL granting two other users write",
         {{"d", 'd', 0755, kNobody, 0, "", "-m u:65533:rwx"}, {"d/a.pid", 'f'}},
         "d/a.pid",
         V::kSkipped},
        {"directory writable by a foreign group",
         {{"d", 'd', 0775, 0, kForeignGroup}, {"d/a.pid", 'f'}},
         "d/a.pid",
         V::kSkipped},
        {"world-writable directory, not sticky",
         {{"t", 'd', 0777}, {"t/a.pid", 'f'}},
         "t/a.pid",
         V::kSkipped},
        {"two other users",
         {{"d", 'd', 0755, kNobody}, {"d/a.pid", 'f', 0644, kOtherUser}},
         "d/a.pid",
         V::kSkipped},
        {"FIFO", {{"a.pid", 'p'}}, "a.pid", V::kSkipped},
        {"link to a device", {{"a.pid", 'l', 0, 0, 0, "/dev/null"}}, "a.pid", V::kSkipped},
        {"directory", {{"a.pid", 'd', 0755}}, "a.pid", V::kSkipped},
        {"file named with a trailing slash", {{"a.pid", 'f'}}, "a.pid/", V::kSkipped},
        {"link loop",
         {{"a.pid", 'l', 0, 0, 0, "b.pid"}, {"b.pid", 'l', 0, 0, 0, "a.pid"}},
         "a.pid",
         V::kSkipped},
        {"dangling link", {{"a.pid", 'l', 0, 0, 0, "missing.pid"}}, "a.pid", V::kSkipped},
        {"number past the read limit",
         {{"a.pid", 'f', 0644, 0, 0, blanks + "  4242\n"}},
         "a.pid",
         V::kSkipped},
        {"number running on past the read limit",
         {{"a.pid", 'f', 0644, 0, 0, edge + "42425"}},
         "a.pid",
         V::kSkipped},
        {"the daemon's own pid", {{"a.pid", 'f', 0644, 0, 0, self}}, "a.pid", V::kSkipped},
    };

    for (const tLayout& layout : layouts) {
        std::filesystem::remove_all(dir_);
        ASSERT_EQ(mkdir(dir_.c_str(), 0700), 0);
        ASSERT_EQ(chdir(dir_.c_str()), 0);
        for (const tEntry& entry : layout.entries) {
            const char* path = entry.path.c_str();
            if (entry.kind == 'd' || entry.kind == 'm') {
                ASSERT_EQ(mkdir(path, 0700), 0) << path;
                ASSERT_TRUE(entry.kind == 'd' ||
                            mount(entry.text.c_str(), path, entry.text.c_str(), 0, nullptr) == 0)
                    << path;
            } else if (entry.kind == 'f') {
                std::ofstream(path) << entry.text;
            } else if (entry.kind == 'b') {
                ASSERT_TRUE(std::ofstream(path).good()) << path;
                ASSERT_EQ(mount(entry.text.c_str(), path, nullptr, MS_BIND, nullptr), 0) << path;
                continue;  // owner and mode are the mounted file's
            } else if (entry.kind == 'l') {
                ASSERT_EQ(symlink(entry.text.c_str(), path), 0) << path;
            } else {
                ASSERT_EQ(mkfifo(path, 0644), 0) << path;
            }
            if (entry.kind == 'm' && entry.text != "tmpfs") {
                continue;  // the kernel's own file system keeps its owners and modes
            }
            ASSERT_EQ(lchown(path, entry.owner, entry.group), 0) << path;
            ASSERT_TRUE(entry.kind == 'l' || entry.mode == 0 || chmod(path, entry.mode) == 0)
                << path;
            if (!entry.acl.empty()) {
                const std::string command = "setfacl " + entry.acl + " " + path;
                ASSERT_EQ(std::system(command.c_str()), 0) << command;
            }
        }

        tRecordedPid recorded;
        const bool accepted = readRecordedPid(layout.pidFile.c_str(), recorded);
        for (const tEntry& entry : layout.entries) {
            if (entry.kind == 'm' || entry.kind == 'b') {
                ASSERT_EQ(umount2(entry.path.c_str(), MNT_DETACH), 0) << entry.path;
            }
        }

        const bool named = accepted && recorded.pid == layout.pid;
        switch (layout.verdict) {
            case V::kSkipped:
                EXPECT_FALSE(accepted) << layout.name;
                break;
            case V::kAnyProcess:
                EXPECT_TRUE(named && !recorded.ownerBound) << layout.name;
                break;
            case V::kOnlyNobodys:
                EXPECT_TRUE(named && recorded.ownerBound && recorded.owner == kNobody)
                    << layout.name;
                break;
        }
    }
    ASSERT_EQ(chdir("/"), 0);
}

// The kernel's limit: 40 links in one walk, no more.
TEST_F(terminateRecordedProcessesTest, FortyLinksAreFollowedAndNoMore) {
    writePidFile("link0", "4242");
    for (int i = 1; i <= 41; ++i) {
        makeLink("link" + std::to_string(i), "link" + std::to_string(i - 1));
    }
    tRecordedPid recorded;
    EXPECT_TRUE(readRecordedPid((dir_ + "/link40").c_str(), recorded));
    EXPECT_EQ(recorded.pid, 4242);
    EXPECT_FALSE(readRecordedPid((dir_ + "/link41").c_str(), recorded));
}

// A file put in the judged file's place before it is opened for reading is not read: a root file
// and a world-writable one trade places as fast as one CPU can while the name is read over and
// over.
TEST_F(terminateRecordedProcessesTest, FileSwappedInAfterTheJudgementIsNotRead) {
    const std::string trusted = writePidFile("a.pid", "1111");
    const std::string untrusted = writePidFile("b.pid", "2222", 0666);
    std::atomic<bool> done{false};
    std::thread swapper([&] {
        while (!done) {
            renameat2(AT_FDCWD, trusted.c_str(), AT_FDCWD, untrusted.c_str(), RENAME_EXCHANGE);
        }
    });
    int accepted = 0;
    int wrong = 0;
    for (int i = 0; i < 20000; ++i) {
        tRecordedPid recorded;
        if (readRecordedPid(trusted.c_str(), recorded)) {
            ++accepted;
            wrong += recorded.pid != 1111 ? 1 : 0;
        }
    }
    done = true;
    swapper.join();
    EXPECT_EQ(wrong, 0) << "of " << accepted << " accepted";
    EXPECT_GT(accepted, 0);
}

uint64_t mountIdOf(const std::string& path) {
    struct statx info {};
    return statx(AT_FDCWD, path.c_str(), 0, STATX_MNT_ID, &info) == 0 ? info.stx_mnt_id : 0;
}

// What the mount table said of a mount holds only while that mount is there: a proc file system
// mounted where a tmpfs was, under the tmpfs's mount id, is refused.
TEST_F(terminateRecordedProcessesTest, MountReplacedUnderTheSameIdIsJudgedAfresh) {
    const std::string point = dir_ + "/m";
    ASSERT_EQ(mkdir(point.c_str(), 0755), 0);
    ASSERT_EQ(mount("tmpfs", point.c_str(), "tmpfs", 0, nullptr), 0);
    ASSERT_EQ(mkdir((point + "/sys").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((point + "/sys/kernel").c_str(), 0755), 0);
    const std::string path = writePidFile("m/sys/kernel/pid_max", "4242");
    tRecordedPid recorded;
    ASSERT_TRUE(readRecordedPid(path.c_str(), recorded));
    const uint64_t tmpfsId = mountIdOf(point);
    ASSERT_EQ(umount2(point.c_str(), 0), 0);

    // The lowest free id goes to the next mount: lower ones freed elsewhere are filled (and the
    // mounts that took them moved aside) until proc gets the tmpfs's.
    std::vector<std::string> fillers;
    uint64_t id = 0;
    while (fillers.size() < 32) {
        ASSERT_EQ(mount("proc", point.c_str(), "proc", 0, nullptr), 0);
        id = mountIdOf(point);
        if (id >= tmpfsId) {
            break;
        }
        fillers.push_back(dir_ + "/filler" + std::to_string(fillers.size()));
        ASSERT_EQ(mkdir(fillers.back().c_str(), 0755), 0);
        ASSERT_EQ(mount(point.c_str(), fillers.back().c_str(), nullptr, MS_MOVE, nullptr), 0);
    }
    const bool refused = !readRecordedPid(path.c_str(), recorded);
    for (const std::string& filler : fillers) {
        ASSERT_EQ(umount2(filler.c_str(), MNT_DETACH), 0);
    }
    ASSERT_EQ(umount2(point.c_str(), MNT_DETACH), 0);
    if (id != tmpfsId) {
        GTEST_SKIP() << "another mount took the id " << tmpfsId;
    }
    EXPECT_TRUE(refused);
}

// Where openat2 is refused, as an older seccomp filter does, the file is still read: through its
// own descriptor.
TEST_F(terminateRecordedProcessesTest, FileIsReadWhereOpenat2IsRefused) {
    const std::string path = writePidFile("a.pid", "4242");
    for (const int refusal : {ENOSYS, EPERM}) {
        const pid_t child = fork();
        if (child == 0) {
            sock_filter filter[] = {
                BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
                BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat2, 0, 1),
                BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<uint32_t>(refusal)),
                BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
            };
            const sock_fprog program{sizeof filter / sizeof filter[0], filter};
            if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
                prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
                _exit(2);
            }
            open_how how{};
            if (syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how) != -1 ||
                errno != refusal) {
                _exit(3);
            }
            tRecordedPid recorded;
            _exit(readRecordedPid(path.c_str(), recorded) && recorded.pid == 4242 ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << refusal << " " << status;
    }
}

// A FIFO or a device is never opened for reading: opening some devices has side effects, and a
// FIFO could hold the daemon up. Only the path walk's O_PATH opens reach them, which the kernel
// reports to no inotify watch.
TEST_F(terminateRecordedProcessesTest, FifoAndDeviceAreNeverOpened) {
    const std::string fifo = dir_ + "/fifo.pid";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    const std::string device = dir_ + "/null";
    ASSERT_EQ(mknod(device.c_str(), S_IFCHR | 0644, makedev(1, 3)), 0);
    const std::string deviceLink = makeLink("device.pid", device);

    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, fifo.c_str(), IN_OPEN), 0);
    ASSERT_GE(inotify_add_watch(watch, device.c_str(), IN_OPEN), 0);

    sweep({fifo.c_str(), deviceLink.c_str(), device.c_str()}, countPause);

    EXPECT_EQ(gPauses, 0);
    char events[4096];
    EXPECT_EQ(read(watch, events, sizeof events), -1) << "a FIFO or device was opened";
    // The watch does see a real open.
    close(open(device.c_str(), O_RDONLY));
    EXPECT_GT(read(watch, events, sizeof events), 0);
    close(watch);
}

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
    // The sweep runs as init of a fresh pid namespace, which contains kill(-1): it reaches only
    // the processes of that namespace. Process groups do cross pid namespaces, so kill(0) is
    // contained only because init leads a group of its own. Two bystanders are the targets a
    // regression would hit: pid 2 leads process group 2 (kill(-2), kill(-1)), pid 3 stays in
    // init's group (kill(0), kill(-1)). Init itself ignores signals from inside its namespace.
    const std::string zero = writePidFile("zero.pid", "0");
    const std::string minusOne = writePidFile("minus-one.pid", "-1");
    const std::string minusTwo = writePidFile("minus-two.pid", "-2");

    const pid_t outer = fork();
    ASSERT_GE(outer, 0);
    if (outer == 0) {
        if (unshare(CLONE_NEWPID) != 0) {
            _exit(10);
        }
        const pid_t init = fork();
        if (init == 0) {
            if (setpgid(0, 0) != 0) {
                _exit(11);
            }
            const pid_t groupLeader = fork();
            if (groupLeader == 0) {
                setpgid(0, 0);
                for (;;) {
                    pause();
                }
            }
            const pid_t groupMember = startVictim();
            usleep(50000);  // let the leader found its group
            if (groupLeader != 2 || getpgid(groupLeader) != 2 || getpgid(groupMember) != 1) {
                _exit(12);
            }
            sweep({zero.c_str(), minusOne.c_str(), minusTwo.c_str()}, countPause);
            usleep(100000);
            const bool intact =
                gPauses == 0 && stillRunning(groupLeader) && stillRunning(groupMember);
            kill(groupLeader, SIGKILL);
            kill(groupMember, SIGKILL);
            _exit(intact ? 0 : 13);
        }
        int status = 0;
        waitpid(init, &status, 0);
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 14);
    }
    int status = 0;
    ASSERT_EQ(waitpid(outer, &status, 0), outer);
    ASSERT_TRUE(WIFEXITED(status)) << "the sweep ended its own process";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "12: set-up failed; 13: a bystander was signalled";
}

TEST_F(terminateRecordedProcessesTest, WorldWritableFileIsSkipped) {
    const pid_t victim = startVictim();
    const std::string path = writePidFile("open.pid", std::to_string(victim), 0666);

    sweep({path.c_str()}, countPause);

    EXPECT_EQ(gPauses, 0);
    EXPECT_TRUE(stillRunning(victim));
    stop(victim);
}

// Another user may name only a process that user could signal itself: one whose real or saved
// uid is theirs. A process whose effective uid alone is theirs (root running as them for a
// while), a root process and a process that has gone get neither a signal nor a pause.
TEST_F(terminateRecordedProcessesTest, OtherUsersFileMayNameOnlyThatUsersProcesses) {
    const pid_t rootProcess = startVictim();
    const pid_t nobodyProcess = startVictim(kNobody);
    usleep(50000);  // let the child drop to the other user
    const pid_t effectiveOnly = startWithIds(0, kNobody, 0);
    const pid_t realOnly = startWithIds(kNobody, 0, 0);
    const pid_t savedOnly = startWithIds(0, 0, kNobody);
    ASSERT_TRUE(effectiveOnly > 0 && realOnly > 0 && savedOnly > 0);
    const pid_t gone = fork();
    if (gone == 0) {
        _exit(0);
    }
    ASSERT_EQ(waitpid(gone, nullptr, 0), gone);
    const std::string rootTarget =
        writePidFile("r.pid", std::to_string(rootProcess), 0644, kNobody);
    const std::string ownTarget =
        writePidFile("n.pid", std::to_string(nobodyProcess), 0644, kNobody);
    const std::string effectiveTarget =
        writePidFile("e.pid", std::to_string(effectiveOnly), 0644, kNobody);
    const std::string realTarget = writePidFile("u.pid", std::to_string(realOnly), 0644, kNobody);
    const std::string savedTarget = writePidFile("s.pid", std::to_string(savedOnly), 0644, kNobody);
    const std::string goneTarget = writePidFile("g.pid", std::to_string(gone), 0644, kNobody);

    sweep({rootTarget.c_str(), effectiveTarget.c_str(), goneTarget.c_str(), ownTarget.c_str(),
           realTarget.c_str(), savedTarget.c_str()},
          countPause);

    EXPECT_EQ(gPauses, 3);
    EXPECT_TRUE(endedBySigterm(nobodyProcess));
    EXPECT_TRUE(endedBySigterm(realOnly));
    EXPECT_TRUE(endedBySigterm(savedOnly));
    EXPECT_TRUE(stillRunning(rootProcess));
    EXPECT_TRUE(stillRunning(effectiveOnly));
    stop(rootProcess);
    stop(effectiveOnly);
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
