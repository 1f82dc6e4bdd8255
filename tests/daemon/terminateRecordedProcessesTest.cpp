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

#include <grp.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/utsname.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "daemon/tPidFileWalk.h"
#include "daemon/tProcessHandle.h"
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

// True when the child ended by SIGTERM within a few seconds; else false, and the child is ended.
bool endedBySigterm(pid_t pid) {
    for (int i = 0; i < 300; ++i) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            return WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM;
        }
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
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

// The read limit as the manual page states it, written out: the rows at its boundary pin the
// daemon's own constant.
constexpr size_t kReadLimit = 4096;

// What the sweep makes of the pid file at path, up to its content.
tVerdict judged(const std::string& path, tMountTable& mounts = gMountTable) {
    tPidFileWalk walk(mounts);
    return readRecordedPid(path.c_str(), walk);
}

// One entry of a layout, below the test directory: a directory ('d'), a regular file ('f', "@PID"
// in its text standing for a process of nobody's), a
// symbolic link ('l', text is its target), a FIFO ('p'), a directory with a file system of the
// type text mounted on it ('m'), an overlay mounted with the options text, in which "@" stands
// for the test directory ('o'), a directory with a FUSE file system mounted on it whose server
// reports every entry as root's and serves main.pid holding text ('F'), or a file with the file
// text bind-mounted on it ('b'). Mode 0 keeps the mode the file was created with; acl, when
// given, is passed to setfacl after the mode is set.
struct tEntry {
    std::string path;
    char kind;
    mode_t mode = 0644;
    uid_t owner = 0;
    gid_t group = 0;
    std::string text = "@PID\n";
    std::string acl = "";
};

// Whom an accepted pid file may name.
enum class tNamed { kNothing, kAnyProcess, kOnlyNobodys };

struct tLayout {
    const char* name;
    std::vector<tEntry> entries;
    std::string pidFile;  // relative to the test directory, the working directory
    tNamed named;
    // Why it is refused, and where: the place the verdict names, relative to the test directory
    // unless absolute; for an accepted file the file reached; empty for pidFile itself.
    tReason reason = tReason::kUsed;
    std::string where = "";
    int pid = 0;  // named by an accepted file; 0 for the process of nobody's
};

// An ACL of count named users who may only read, and a mask that lets the group bits write.
std::string largeAcl(int count) {
    std::string acl = "-m m::rw";
    for (int user = 1; user <= count; ++user) {
        acl += ",u:" + std::to_string(100000 + user) + ":r";
    }
    return acl;
}

// count "./" in a row.
std::string dots(int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        text += "./";
    }
    return text;
}

// A path that costs count components (an odd number): "d/.." pairs, then a.pid.
std::string walkOf(int count) {
    std::string path;
    for (int i = 0; i < (count - 1) / 2; ++i) {
        path += "d/../";
    }
    return path + "a.pid";
}

// Who could have chosen what a pid file says, over layouts an attacker might set up and layouts
// that a correct set-up uses.
TEST_F(terminateRecordedProcessesTest, TrustFollowsEveryoneWhoCouldHaveChosenTheFile) {
    const int parent = getppid();
    const std::string rootsStat = "/proc/" + std::to_string(parent) + "/stat";
    const std::string blanks(kReadLimit - 5, ' ');
    // "4242" as the file's last four bytes within the read limit.
    const std::string edge(kReadLimit - 4, ' ');
    const std::string self = std::to_string(getpid());
    // The test directory is two components below "/"; its link one more.
    const int walked = 3;
    const std::string overlay = "lowerdir=@/m/lower,upperdir=@/m/upper,workdir=@/m/work";
    // The process the files name, of nobody's, so that quorvamonitord-check, run on every file
    // beside the daemon's own judgement, finds a process that nobody's files may name.
    const pid_t nobodys = startWithIds(kNobody, kNobody, kNobody);
    ASSERT_GT(nobodys, 0);
    // Every row is judged both ways: by the kernel where it can tell (Linux 6.8 and later), and
    // in the mount table.
    const auto tableOnly = std::make_unique<tMountTable>(tMountTable::tLookup::kTableOnly);
    utsname system{};
    int major = 0;
    int minor = 0;
    ASSERT_EQ(uname(&system), 0);
    ASSERT_EQ(std::sscanf(system.release, "%d.%d", &major, &minor), 2);
    EXPECT_EQ(gMountTable.idMask() != 0, major > 6 || (major == 6 && minor >= 8)) << system.release;
    using N = tNamed;
    using R = tReason;
    const std::vector<tLayout> layouts = {
        // Root's files reached through root's directories and links.
        {"root file", {{"a.pid", 'f'}}, "a.pid", N::kAnyProcess},
        {"dot and dot-dot",
         {{"d", 'd', 0755}, {"d/a.pid", 'f'}},
         "d/../d/./a.pid",
         N::kAnyProcess,
         R::kUsed,
         "d/a.pid"},
        {"root links, relative then absolute",
         {{"real.pid", 'f'},
          {"second", 'l', 0, 0, 0, dir_ + "/real.pid"},
          {"first", 'l', 0, 0, 0, "second"}},
         "first",
         N::kAnyProcess,
         R::kUsed,
         "real.pid"},
        {"group-writable by root's group", {{"a.pid", 'f', 0664}}, "a.pid", N::kAnyProcess},
        {"sticky world-writable directory",
         {{"t", 'd', 01777}, {"t/a.pid", 'f'}},
         "t/a.pid",
         N::kAnyProcess},
        {"number ending at the read limit",
         {{"a.pid", 'f', 0644, 0, 0, blanks + "4242\n"}},
         "a.pid",
         N::kAnyProcess,
         R::kUsed,
         "",
         4242},
        {"number ending at the read limit and the file's end",
         {{"a.pid", 'f', 0644, 0, 0, edge + "4242"}},
         "a.pid",
         N::kAnyProcess,
         R::kUsed,
         "",
         4242},
        {"number ending at the read limit, a newline after it",
         {{"a.pid", 'f', 0644, 0, 0, edge + "4242\n"}},
         "a.pid",
         N::kAnyProcess,
         R::kUsed,
         "",
         4242},
        {"link then dot-dot, resolved where the link leads",
         {{"d", 'd', 0755},
          {"d/e", 'd', 0755},
          {"d/a.pid", 'f'},
          {"a.pid", 'f', 0644, 0, 0, "5151\n"},
          {"l", 'l', 0, 0, 0, "d/e"}},
         "l/../a.pid",
         N::kAnyProcess,
         R::kUsed,
         "d/a.pid"},
        {"on tmpfs",
         {{"m", 'm', 0755, 0, 0, "tmpfs"}, {"m/a.pid", 'f'}},
         "m/a.pid",
         N::kAnyProcess},
        {"on an overlay of tmpfs layers",
         {{"m", 'm', 0755, 0, 0, "tmpfs"},
          {"m/lower", 'd', 0755},
          {"m/upper", 'd', 0755},
          {"m/work", 'd', 0755},
          {"m/lower/a.pid", 'f'},
          {"o", 'o', 0755, 0, 0, overlay}},
         "o/a.pid",
         N::kAnyProcess},
        {"file bind-mounted on the name",
         {{"real.pid", 'f'}, {"a.pid", 'b', 0, 0, 0, "real.pid"}},
         "a.pid",
         N::kAnyProcess},
        {"ACL whose mask denies write",
         {{"a.pid", 'f', 0644, 0, 0, "@PID\n", "-n -m u:65534:rw,g:100:rw,m::r"}},
         "a.pid",
         N::kAnyProcess},
        {"ACL granting write to root's group",
         {{"a.pid", 'f', 0644, 0, 0, "@PID\n", "-m g:0:rw"}},
         "a.pid",
         N::kAnyProcess},
        {"ACL for a foreign group on a sticky directory",
         {{"t", 'd', 01777, 0, 0, "", "-m g:100:rwx"}, {"t/a.pid", 'f'}},
         "t/a.pid",
         N::kAnyProcess},
        {"dots alone cost nothing",
         {{"a.pid", 'f'}, {"l", 'l', 0, 0, 0, dots(1999) + "a.pid"}},
         "l",
         N::kAnyProcess,
         R::kUsed,
         "a.pid"},
        {"walk of the most components",
         {{"d", 'd', 0755}, {"a.pid", 'f'}, {"l", 'l', 0, 0, 0, walkOf(256 - walked)}},
         "l",
         N::kAnyProcess,
         R::kUsed,
         "a.pid"},
        // One other user controls the way: only that user's processes.
        {"another user's file", {{"a.pid", 'f', 0644, kNobody}}, "a.pid", N::kOnlyNobodys},
        {"in another user's directory",
         {{"d", 'd', 0755, kNobody}, {"d/a.pid", 'f'}},
         "d/a.pid",
         N::kOnlyNobodys},
        {"below another user's directory",
         {{"d", 'd', 0755, kNobody}, {"d/e", 'd', 0755}, {"d/e/a.pid", 'f'}},
         "d/e/a.pid",
         N::kOnlyNobodys},
        {"another user's link to a root file",
         {{"real.pid", 'f'}, {"a.pid", 'l', 0, kNobody, 0, dir_ + "/real.pid"}},
         "a.pid",
         N::kOnlyNobodys,
         R::kUsed,
         "real.pid"},
        {"another user's file in a sticky directory",
         {{"t", 'd', 01777}, {"t/a.pid", 'f', 0644, kNobody}},
         "t/a.pid",
         N::kOnlyNobodys},
        {"another user's file bind-mounted on root's",
         {{"real.pid", 'f', 0644, kNobody}, {"a.pid", 'b', 0, 0, 0, "real.pid"}},
         "a.pid",
         N::kOnlyNobodys},
        {"ACL granting another user write to a root file",
         {{"a.pid", 'f', 0644, 0, 0, "@PID\n", "-m u:65534:rw"}},
         "a.pid",
         N::kOnlyNobodys},
        {"ACL granting another user write to a root directory",
         {{"d", 'd', 0755, 0, 0, "", "-m u:65534:rwx"}, {"d/a.pid", 'f'}},
         "d/a.pid",
         N::kOnlyNobodys},
        {"default ACL of the directory inherited by a new file",
         {{"d", 'd', 0755, 0, 0, "", "-d -m u:65534:rw"}, {"d/a.pid", 'f', 0}},
         "d/a.pid",
         N::kOnlyNobodys},
        {"ACL: a foreign owning group that may only read, another user who may write",
         {{"a.pid", 'f', 0644, 0, kForeignGroup, "@PID\n", "-m u:65534:rw"}},
         "a.pid",
         N::kOnlyNobodys},
        // Refused: anyone may write, two users control the way, or nothing may be read safely.
        {"link into /proc in another user's directory",
         {{"d", 'd', 0755, kNobody}, {"d/a.pid", 'l', 0, 0, 0, rootsStat}},
         "d/a.pid",
         N::kNothing,
         R::kFileSystemNotRead,
         "/proc",
         parent},
        {"root's link into /proc",
         {{"a.pid", 'l', 0, 0, 0, rootsStat}},
         "a.pid",
         N::kNothing,
         R::kFileSystemNotRead,
         "/proc"},
        {"on a file system of the kernel's own (sysfs)",
         {{"m", 'm', 0755, 0, 0, "sysfs"}, {"a.pid", 'l', 0, 0, 0, "m/kernel/uevent_seqnum"}},
         "a.pid",
         N::kNothing,
         R::kFileSystemNotRead,
         "m"},
        {"on an overlay whose lower layer is a user's FUSE file system",
         {{"m", 'm', 0755, 0, 0, "tmpfs"},
          {"m/lower", 'F'},
          {"m/upper", 'd', 0755},
          {"m/work", 'd', 0755},
          {"o", 'o', 0755, 0, 0, overlay}},
         "o/main.pid",
         N::kNothing,
         R::kFileSystemNotRead,
         "o"},
        {"group-writable by a foreign group",
         {{"a.pid", 'f', 0664, 0, kForeignGroup}},
         "a.pid",
         N::kNothing,
         R::kWritableByGroup},
        {"sticky world-writable root file",
         {{"a.pid", 'f', 01666}},
         "a.pid",
         N::kNothing,
         R::kWritableByEveryone},
        {"ACL granting a foreign group write",
         {{"a.pid", 'f', 0644, 0, 0, "@PID\n", "-m g:100:rw"}},
         "a.pid",
         N::kNothing,
         R::kWritableByGroup},
        {"ACL granting the foreign owning group write",
         {{"a.pid", 'f', 0644, 0, kForeignGroup, "@PID\n", "-m g::rw,u:65533:r"}},
         "a.pid",
         N::kNothing,
         R::kWritableByGroup},
        {"ACL too large to read (more than 1023 entries)",
         {{"m", 'm', 0755, 0, 0, "tmpfs"}, {"m/a.pid", 'f', 0664, 0, 0, "@PID\n", largeAcl(1100)}},
         "m/a.pid",
         N::kNothing,
         R::kAclUnreadable},
        {"ACL granting two other users write",
         {{"d", 'd', 0755, kNobody, 0, "", "-m u:65533:rwx"}, {"d/a.pid", 'f'}},
         "d/a.pid",
         N::kNothing,
         R::kTwoControllers,
         "d"},
        {"directory writable by a foreign group",
         {{"d", 'd', 0775, 0, kForeignGroup}, {"d/a.pid", 'f'}},
         "d/a.pid",
         N::kNothing,
         R::kWritableByGroup,
         "d"},
        {"world-writable directory, not sticky",
         {{"t", 'd', 0777}, {"t/a.pid", 'f'}},
         "t/a.pid",
         N::kNothing,
         R::kWritableByEveryone,
         "t"},
        {"two other users",
         {{"d", 'd', 0755, kNobody}, {"d/a.pid", 'f', 0644, kOtherUser}},
         "d/a.pid",
         N::kNothing,
         R::kTwoControllers},
        {"FIFO", {{"a.pid", 'p'}}, "a.pid", N::kNothing, R::kNotARegularFile},
        {"link to a device",
         {{"a.pid", 'l', 0, 0, 0, "/dev/null"}},
         "a.pid",
         N::kNothing,
         R::kNotARegularFile,
         "/dev/null"},
        {"directory", {{"a.pid", 'd', 0755}}, "a.pid", N::kNothing, R::kNotARegularFile},
        {"file named with a trailing slash",
         {{"a.pid", 'f'}},
         "a.pid/",
         N::kNothing,
         R::kNotADirectory,
         "a.pid"},
        {"link loop",
         {{"a.pid", 'l', 0, 0, 0, "b.pid"}, {"b.pid", 'l', 0, 0, 0, "a.pid"}},
         "a.pid",
         N::kNothing,
         R::kTooManyLinks},
        {"dangling link",
         {{"a.pid", 'l', 0, 0, 0, "missing.pid"}},
         "a.pid",
         N::kNothing,
         R::kMissing,
         "missing.pid"},
        {"walk of one component more than the most",
         {{"e", 'd', 0755},
          {"e/d", 'd', 0755},
          {"e/a.pid", 'f'},
          {"e/l", 'l', 0, 0, 0, walkOf(257 - walked - 1)}},
         "e/l",
         N::kNothing,
         R::kWalkTooLong,
         "e"},
        {"number past the read limit",
         {{"a.pid", 'f', 0644, 0, 0, blanks + "  4242\n"}},
         "a.pid",
         N::kNothing,
         R::kTooLarge},
        {"number running on past the read limit",
         {{"a.pid", 'f', 0644, 0, 0, edge + "42425"}},
         "a.pid",
         N::kNothing,
         R::kTooLarge},
        {"not a number",
         {{"a.pid", 'f', 0644, 0, 0, "pid 4242\n"}},
         "a.pid",
         N::kNothing,
         R::kNotANumber},
        {"zero", {{"a.pid", 'f', 0644, 0, 0, "0\n"}}, "a.pid", N::kNothing, R::kNotAProcessId},
        {"the daemon's own pid",
         {{"a.pid", 'f', 0644, 0, 0, self}},
         "a.pid",
         N::kNothing,
         R::kDaemonItself},
    };

    for (const tLayout& layout : layouts) {
        std::filesystem::remove_all(dir_);
        ASSERT_EQ(mkdir(dir_.c_str(), 0700), 0);
        ASSERT_EQ(chdir(dir_.c_str()), 0);
        std::vector<std::unique_ptr<tChildProcess>> servers;
        for (const tEntry& entry : layout.entries) {
            const char* path = entry.path.c_str();
            if (entry.kind == 'd' || entry.kind == 'm' || entry.kind == 'o' || entry.kind == 'F') {
                ASSERT_EQ(mkdir(path, 0700), 0) << path;
            }
            if (entry.kind == 'm') {
                ASSERT_EQ(mount(entry.text.c_str(), path, entry.text.c_str(), 0, nullptr), 0)
                    << path;
            } else if (entry.kind == 'o') {
                std::string options = entry.text;
                for (size_t at = options.find('@'); at != std::string::npos;
                     at = options.find('@')) {
                    options.replace(at, 1, dir_);
                }
                ASSERT_EQ(mount("overlay", path, "overlay", 0, options.c_str()), 0) << options;
                continue;  // the layers' owners and modes
            } else if (entry.kind == 'F') {
                servers.push_back(std::make_unique<tChildProcess>());
                std::string error;
                std::string output;
                ASSERT_TRUE(servers.back()->start({QV_HOSTILE_FS_PATH, path, "root", entry.text},
                                                  "/dev/null", error))
                    << error;
                ASSERT_TRUE(servers.back()->waitForLine("ready", 5000, output)) << output;
                continue;  // its server's
            } else if (entry.kind == 'f') {
                std::string text = entry.text;
                const size_t at = text.find("@PID");
                std::ofstream(path)
                    << (at == std::string::npos ? text
                                                : text.replace(at, 4, std::to_string(nobodys)));
            } else if (entry.kind == 'b') {
                ASSERT_TRUE(std::ofstream(path).good()) << path;
                ASSERT_EQ(mount(entry.text.c_str(), path, nullptr, MS_BIND, nullptr), 0) << path;
                continue;  // owner and mode are the mounted file's
            } else if (entry.kind == 'l') {
                ASSERT_EQ(symlink(entry.text.c_str(), path), 0) << path;
            } else if (entry.kind == 'p') {
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

        const tVerdict verdict = judged(layout.pidFile);
        const std::string where = verdict.where == nullptr ? "" : verdict.where;
        const tVerdict inTable = judged(layout.pidFile, *tableOnly);
        EXPECT_TRUE(inTable.reason == verdict.reason && inTable.pid == verdict.pid &&
                    std::string(inTable.fileSystem) == verdict.fileSystem)
            << layout.name << ": judged in the mount table";
        // The command, a process of its own, cannot tell the daemon's process id.
        const tCommandResult check =
            layout.reason == R::kDaemonItself
                ? tCommandResult{}
                : tChildProcess::run({QV_CHECK_PATH, layout.pidFile}, 10000);
        // Mounts come off in the reverse order they were made.
        for (auto entry = layout.entries.rbegin(); entry != layout.entries.rend(); ++entry) {
            if (entry->kind == 'm' || entry->kind == 'b' || entry->kind == 'o' ||
                entry->kind == 'F') {
                ASSERT_EQ(umount2(entry->path.c_str(), MNT_DETACH), 0) << entry->path;
            }
        }
        servers.clear();

        const int pid = layout.pid == 0 ? nobodys : layout.pid;
        if (layout.reason != R::kDaemonItself) {
            const char* said = layout.named == N::kAnyProcess    ? " is used for any process: "
                               : layout.named == N::kOnlyNobodys ? " is used for processes of "
                               : verdict.droppedAtStartUp()      ? " will be dropped at start-up: "
                                                                 : " will be skipped: ";
            EXPECT_EQ(check.exitStatus, layout.named == N::kNothing ? 1 : 0) << layout.name;
            EXPECT_NE(check.output.find("pid file " + layout.pidFile + said), std::string::npos)
                << layout.name << ": " << check.output;
        }
        const std::string expectedWhere = layout.where.empty() ? layout.pidFile : layout.where;
        EXPECT_EQ(where, expectedWhere[0] == '/' ? expectedWhere : dir_ + "/" + expectedWhere)
            << layout.name;
        EXPECT_EQ(verdict.reason, layout.reason) << layout.name;
        switch (layout.named) {
            case N::kNothing:
                EXPECT_FALSE(verdict.used()) << layout.name;
                break;
            case N::kAnyProcess:
                EXPECT_TRUE(verdict.used() && verdict.pid == pid && !verdict.ownerBound)
                    << layout.name;
                break;
            case N::kOnlyNobodys:
                EXPECT_TRUE(verdict.used() && verdict.pid == pid && verdict.ownerBound &&
                            verdict.user == kNobody)
                    << layout.name;
                break;
        }
    }
    ASSERT_EQ(chdir("/"), 0);
    stop(nobodys);
}

// The kernel's limit: 40 links in one walk, no more.
TEST_F(terminateRecordedProcessesTest, FortyLinksAreFollowedAndNoMore) {
    writePidFile("link0", "4242");
    for (int i = 1; i <= 41; ++i) {
        makeLink("link" + std::to_string(i), "link" + std::to_string(i - 1));
    }
    EXPECT_EQ(judged(dir_ + "/link40").pid, 4242);
    EXPECT_EQ(judged(dir_ + "/link41").reason, tReason::kTooManyLinks);
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
        const tVerdict verdict = judged(trusted);
        if (verdict.used()) {
            ++accepted;
            wrong += verdict.pid != 1111 ? 1 : 0;
        }
    }
    done = true;
    swapper.join();
    EXPECT_EQ(wrong, 0) << "of " << accepted << " accepted";
    EXPECT_GT(accepted, 0);
}

// How long a race is run at most, until each outcome it must show was seen ten times.
constexpr auto kRaceTime = std::chrono::seconds(20);

// Neither can a FIFO swapped in that way hold the sweep up: it is opened without blocking and
// closed unread. The reads run in a child, ended after a time limit if it blocks.
TEST_F(terminateRecordedProcessesTest, FifoSwappedInAfterTheJudgementDoesNotBlock) {
    const std::string trusted = writePidFile("a.pid", "1111");
    const std::string fifo = dir_ + "/b.pid";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    const pid_t child = fork();
    if (child == 0) {
        std::atomic<bool> done{false};
        std::thread swapper([&] {
            while (!done) {
                renameat2(AT_FDCWD, trusted.c_str(), AT_FDCWD, fifo.c_str(), RENAME_EXCHANGE);
            }
        });
        int replaced = 0;
        int wrong = 0;
        for (const auto end = kRaceTime + std::chrono::steady_clock::now();
             replaced < 10 && std::chrono::steady_clock::now() < end;) {
            const tVerdict verdict = judged(trusted);
            replaced += verdict.reason == tReason::kReplaced ? 1 : 0;
            wrong += verdict.used() && verdict.pid != 1111 ? 1 : 0;
        }
        done = true;
        swapper.join();
        _exit(wrong != 0 ? 1 : replaced == 0 ? 2 : 0);
    }
    int status = 0;
    for (int i = 0; i < 450 && waitpid(child, &status, WNOHANG) == 0; ++i) {
        usleep(100000);
    }
    if (kill(child, SIGKILL) == 0) {
        waitpid(child, &status, 0);
        FAIL() << "the walk blocked on the FIFO";
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "1: a wrong file was read; 2: the race was never met";
}

// Nor is a file mounted over the name then opened: the open by name does not cross into a mount.
// The intruder is writable by everyone, so a walk that meets it refuses it before any open; an
// open of it can only come from the open after the judgement.
TEST_F(terminateRecordedProcessesTest, FileMountedOverTheNameAfterTheJudgementIsNotOpened) {
    const std::string trusted = writePidFile("a.pid", "1111");
    const std::string intruder = writePidFile("b.pid", "2222", 0666);
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, intruder.c_str(), IN_OPEN), 0);
    std::atomic<bool> done{false};
    std::atomic<int> mounted{0};
    std::thread mounter([&] {
        while (!done) {
            if (mount(intruder.c_str(), trusted.c_str(), nullptr, MS_BIND, nullptr) == 0) {
                ++mounted;
                umount2(trusted.c_str(), MNT_DETACH);
            }
        }
    });
    int accepted = 0;
    int replaced = 0;
    for (const auto end = kRaceTime + std::chrono::steady_clock::now();
         (accepted < 10 || replaced < 10) && std::chrono::steady_clock::now() < end;) {
        const tVerdict verdict = judged(trusted);
        accepted += verdict.used() && verdict.pid == 1111 ? 1 : 0;
        replaced += verdict.reason == tReason::kReplaced ? 1 : 0;
    }
    done = true;
    mounter.join();
    char events[4096];
    EXPECT_EQ(read(watch, events, sizeof events), -1) << "the intruder was opened";
    close(watch);
    EXPECT_GT(mounted.load(), 0);
    EXPECT_GT(accepted, 0);
    EXPECT_GT(replaced, 0) << "the race was never met";
}

// What is remembered of more mounts than fit is still right: pid files on 40 mounts of their own
// and a link into sysfs, judged twice over, whichever way the mounts are judged.
TEST_F(terminateRecordedProcessesTest, PidFilesOnMoreMountsThanAreRememberedAreJudgedRight) {
    std::vector<std::string> mounts;
    for (int i = 0; i < 40; ++i) {
        mounts.push_back(dir_ + "/m" + std::to_string(i));
        ASSERT_EQ(mkdir(mounts.back().c_str(), 0755), 0);
        ASSERT_EQ(mount("tmpfs", mounts.back().c_str(), "tmpfs", 0, nullptr), 0);
        writePidFile("m" + std::to_string(i) + "/a.pid", std::to_string(1000 + i));
    }
    mounts.push_back(dir_ + "/s");
    ASSERT_EQ(mkdir(mounts.back().c_str(), 0755), 0);
    ASSERT_EQ(mount("sysfs", mounts.back().c_str(), "sysfs", 0, nullptr), 0);
    const std::string sysfsLink = makeLink("s.pid", "s/kernel/uevent_seqnum");
    tMountTable tableOnly(tMountTable::tLookup::kTableOnly);
    for (int round = 0; round < 4; ++round) {
        tMountTable& table = round % 2 == 0 ? gMountTable : tableOnly;
        for (int i = 0; i < 40; ++i) {
            EXPECT_EQ(judged(mounts[static_cast<size_t>(i)] + "/a.pid", table).pid, 1000 + i)
                << round << " " << i;
        }
        EXPECT_EQ(judged(sysfsLink, table).reason, tReason::kFileSystemNotRead) << round;
    }
    for (const std::string& point : mounts) {
        ASSERT_EQ(umount2(point.c_str(), MNT_DETACH), 0);
    }
}

// Mounts made and removed elsewhere all the while, by root, on behalf of a user (FUSE, as
// fusermount3 makes them) and, where fusermount3 is installed, by a user with it, never refuse a
// file walked across three mounts, whichever way the mounts are judged.
TEST_F(terminateRecordedProcessesTest, MountChurnElsewhereNeverRefusesAFile) {
    const std::string nested[] = {dir_ + "/m", dir_ + "/m/n", dir_ + "/m/n/o"};
    for (const std::string& point : nested) {
        ASSERT_EQ(mkdir(point.c_str(), 0755), 0);
        ASSERT_EQ(mount("tmpfs", point.c_str(), "tmpfs", 0, nullptr), 0);
    }
    const std::string path = writePidFile("m/n/o/a.pid", "4242");
    const int fuse = open("/dev/fuse", O_RDWR | O_CLOEXEC);
    ASSERT_GE(fuse, 0);
    const std::string users =
        "fd=" + std::to_string(fuse) + ",rootmode=40755,user_id=65534,group_id=65534,allow_other";
    std::atomic<bool> done{false};
    std::atomic<int> churned{0};
    std::vector<std::thread> churners;
    for (const char* type : {"tmpfs", "fuse"}) {
        const std::string point = dir_ + "/churn-" + type;
        ASSERT_EQ(mkdir(point.c_str(), 0755), 0);
        churners.emplace_back([&, type, point] {
            const bool user = std::string(type) == "fuse";
            while (!done) {
                if (mount(type, point.c_str(), type, 0, user ? users.c_str() : nullptr) == 0) {
                    ++churned;
                    umount2(point.c_str(), MNT_DETACH);
                }
            }
        });
    }
    // A user's own loop needs fusermount3 and /dev/fuse open to everyone, as the fuse3 package
    // leaves it.
    pid_t userLoop = -1;
    const std::string userPoint = dir_ + "/churn-user";
    struct stat device {};
    if (access("/usr/bin/fusermount3", X_OK) == 0 && stat("/dev/fuse", &device) == 0 &&
        (device.st_mode & 0666) == 0666) {
        ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(userPoint.c_str(), 0755), 0);
        ASSERT_EQ(chown(userPoint.c_str(), kNobody, kNobody), 0);
        userLoop = fork();
        if (userLoop == 0) {
            if (setgroups(0, nullptr) == 0 && setgid(kNobody) == 0 && setuid(kNobody) == 0) {
                execl("/usr/bin/python3", "python3", QV_USER_FUSE_LOOP_PATH, userPoint.c_str(),
                      nullptr);
            }
            _exit(127);
        }
        ASSERT_GT(userLoop, 0);
    }
    const auto tableOnly = std::make_unique<tMountTable>(tMountTable::tLookup::kTableOnly);
    int refused = 0;
    for (int i = 0; i < 2000; ++i) {
        refused += judged(path).pid != 4242 ? 1 : 0;
        refused += judged(path, *tableOnly).pid != 4242 ? 1 : 0;
    }
    done = true;
    for (std::thread& churner : churners) {
        churner.join();
    }
    close(fuse);
    EXPECT_EQ(refused, 0);
    EXPECT_GT(churned.load(), 100);
    if (userLoop > 0) {
        EXPECT_TRUE(stillRunning(userLoop)) << "the user's fusermount3 loop failed";
        // It ends after the cycle it is in, with its mount gone.
        kill(userLoop, SIGTERM);
        int status = 0;
        EXPECT_EQ(waitpid(userLoop, &status, 0), userLoop);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    for (auto point = std::rbegin(nested); point != std::rend(nested); ++point) {
        ASSERT_EQ(umount2(point->c_str(), MNT_DETACH), 0);
    }
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
    // Ids that pass to another mount are the table's; the kernel's own are never reused.
    const auto tableOnly = std::make_unique<tMountTable>(tMountTable::tLookup::kTableOnly);
    ASSERT_TRUE(judged(path, *tableOnly).used());
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
    const bool refused = judged(path, *tableOnly).reason == tReason::kFileSystemNotRead &&
                         judged(path).reason == tReason::kFileSystemNotRead;
    for (const std::string& filler : fillers) {
        ASSERT_EQ(umount2(filler.c_str(), MNT_DETACH), 0);
    }
    ASSERT_EQ(umount2(point.c_str(), MNT_DETACH), 0);
    if (id != tmpfsId) {
        GTEST_SKIP() << "another mount took the id " << tmpfsId;
    }
    EXPECT_TRUE(refused);
}

// Makes the system call number answer error from now on in this process, as an older seccomp
// filter does; false when that failed.
bool refuseSystemCall(uint32_t number, int error) {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, number, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<uint32_t>(error)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program{sizeof filter / sizeof filter[0], filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// Where openat2 is refused, as an older seccomp filter does, the file is still read: through its
// own descriptor.
TEST_F(terminateRecordedProcessesTest, FileIsReadWhereOpenat2IsRefused) {
    const std::string path = writePidFile("a.pid", "4242");
    for (const int refusal : {ENOSYS, EPERM}) {
        const pid_t child = fork();
        if (child == 0) {
            if (!refuseSystemCall(SYS_openat2, refusal)) {
                _exit(2);
            }
            open_how how{};
            if (syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how) != -1 ||
                errno != refusal) {
                _exit(3);
            }
            _exit(judged(path).pid == 4242 ? 0 : 1);
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
            // Both sides set the group, so it is founded before either goes on.
            setpgid(groupLeader, groupLeader);
            const pid_t groupMember = startVictim();
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

// A child of user whose second thread, named name if given, waits to be signalled; the thread's
// id goes to tid. With threadUser other than user that thread alone takes threadUser's ids.
pid_t startWithThread(uid_t user, pid_t& tid, uid_t threadUser, const char* name = nullptr) {
    int ready[2];
    if (pipe(ready) != 0) {
        return -1;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        if (setresuid(user, user, user) != 0 || prctl(PR_SET_DUMPABLE, 1) != 0) {
            _exit(3);
        }
        std::thread([&] {
            // The system call itself changes the calling thread's ids alone.
            if ((threadUser != user &&
                 syscall(SYS_setresuid, threadUser, threadUser, threadUser) != 0) ||
                (name != nullptr && prctl(PR_SET_NAME, name) != 0)) {
                _exit(3);
            }
            const pid_t own = gettid();
            (void)!write(ready[1], &own, sizeof own);
            for (;;) {
                pause();
            }
        }).join();
    }
    close(ready[1]);
    const bool started = pid > 0 && read(ready[0], &tid, sizeof tid) == sizeof tid;
    close(ready[0]);
    return started ? pid : -1;
}

// What judgePidFile makes of the pid file at path: the process it names held, not signalled.
tVerdict judgedWithProcess(const std::string& path) {
    tPidFileWalk walk;
    tProcessHandle process;
    return judgePidFile(path.c_str(), walk, process);
}

// Another user may name only a process that user could signal itself: one whose real or saved
// uid is theirs, read from the Uid line whatever the process calls itself. A process whose
// effective uid alone is theirs (root running as them for a while), a root process and a process
// that has gone get neither a signal nor a pause. A thread's id stands for its process, in
// anyone's file, as kill() takes it.
TEST_F(terminateRecordedProcessesTest, OtherUsersFileMayNameOnlyThatUsersProcesses) {
    const pid_t rootProcess = startVictim();
    const pid_t nobodyProcess = startWithIds(kNobody, kNobody, kNobody);
    const pid_t effectiveOnly = startWithIds(0, kNobody, 0);
    const pid_t realOnly = startWithIds(kNobody, 0, 0);
    const pid_t savedOnly = startWithIds(0, 0, kNobody);
    // Named so that its status reads "Name:\tUid: 0 0 0 0 " before its own Uid line.
    const pid_t misnamed = startWithIds(kNobody, kNobody, kNobody, "Uid: 0 0 0 0 ");
    pid_t nobodysThread = 0;
    // Named so that its status reads "Name:\tx\\nTgid:\t1" before its own Tgid line: the kernel
    // escapes a line break in a name, and only a line's start counts.
    const pid_t nobodysThreaded = startWithThread(kNobody, nobodysThread, kNobody, "x\nTgid:\t1");
    // A root process whose thread alone took nobody's ids.
    pid_t rootsThread = 0;
    const pid_t rootsThreaded = startWithThread(0, rootsThread, kNobody);
    ASSERT_TRUE(nobodyProcess > 0 && effectiveOnly > 0 && realOnly > 0 && savedOnly > 0 &&
                misnamed > 0 && nobodysThreaded > 0 && rootsThreaded > 0);
    const pid_t gone = fork();
    if (gone == 0) {
        _exit(0);
    }
    ASSERT_EQ(waitpid(gone, nullptr, 0), gone);
    const auto nobodys = [&](const std::string& name, pid_t pid) {
        return writePidFile(name, std::to_string(pid), 0644, kNobody);
    };
    const std::string rootTarget = nobodys("r.pid", rootProcess);
    const std::string ownTarget = nobodys("n.pid", nobodyProcess);
    const std::string effectiveTarget = nobodys("e.pid", effectiveOnly);
    const std::string realTarget = nobodys("u.pid", realOnly);
    const std::string savedTarget = nobodys("s.pid", savedOnly);
    const std::string misnamedTarget = nobodys("m.pid", misnamed);
    const std::string goneTarget = nobodys("g.pid", gone);
    const std::string threadTarget = nobodys("t.pid", nobodysThread);
    const std::string rootsThreadTarget = writePidFile("rt.pid", std::to_string(rootsThread));

    EXPECT_EQ(judgedWithProcess(rootTarget).reason, tReason::kOtherUsersProcess);
    EXPECT_EQ(judgedWithProcess(effectiveTarget).reason, tReason::kOtherUsersProcess);
    EXPECT_EQ(judgedWithProcess(goneTarget).reason, tReason::kProcessGone);
    EXPECT_EQ(judgedWithProcess(misnamedTarget).reason, tReason::kUsed);
    EXPECT_EQ(judgedWithProcess(threadTarget).pid, nobodysThreaded);
    // quorvamonitord-check names the user of the process a signal to the thread reaches.
    EXPECT_NE(
        tChildProcess::run({QV_CHECK_PATH, rootsThreadTarget}, 10000).output.find(" (user root)"),
        std::string::npos);
    sweep({rootTarget.c_str(), effectiveTarget.c_str(), goneTarget.c_str(), ownTarget.c_str(),
           realTarget.c_str(), savedTarget.c_str(), misnamedTarget.c_str(), threadTarget.c_str(),
           rootsThreadTarget.c_str()},
          countPause);

    EXPECT_EQ(gPauses, 6);
    EXPECT_TRUE(endedBySigterm(nobodyProcess));
    EXPECT_TRUE(endedBySigterm(realOnly));
    EXPECT_TRUE(endedBySigterm(savedOnly));
    EXPECT_TRUE(endedBySigterm(misnamed));
    EXPECT_TRUE(endedBySigterm(nobodysThreaded));
    EXPECT_TRUE(endedBySigterm(rootsThreaded));
    EXPECT_TRUE(stillRunning(rootProcess));
    EXPECT_TRUE(stillRunning(effectiveOnly));
    stop(rootProcess);
    stop(effectiveOnly);
}

TEST_F(terminateRecordedProcessesTest, RootOwnedFileMayNameAnyProcess) {
    const pid_t nobodyProcess = startWithIds(kNobody, kNobody, kNobody);
    ASSERT_GT(nobodyProcess, 0);
    const std::string path = writePidFile("any.pid", std::to_string(nobodyProcess));

    sweep({path.c_str()}, countPause);

    EXPECT_EQ(gPauses, 1);
    EXPECT_TRUE(endedBySigterm(nobodyProcess));
}

}  // namespace
}  // namespace nQUORVAMONITORD_18_5
