// The built daemon against the driver simulator, in this test's private mount namespace: the
// exit statuses, the bring-up order, the sweep's signals and pauses, and that it prints nothing.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "daemon/tMountTable.h"
#include "tests/e2e/tDaemonProcess.h"
#include "tests/e2e/tOwnedChild.h"
#include "tests/e2e/tVictim.h"
#include "tests/support/sanitizedBuild.h"
#include "tests/support/tChildProcess.h"
#include "tests/support/tDriverSimulator.h"
#include "tests/support/tNetlinkSender.h"

namespace nQUORVAMONITORD_18_5 {
namespace {

constexpr int64_t kSecond = 1000000000;
constexpr int kExitTimeoutMs = 10000;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

size_t countLines(const std::vector<std::string>& log, const std::string& part) {
    return static_cast<size_t>(std::count_if(
        log.begin(), log.end(), [&](const std::string& line) { return contains(line, part); }));
}

class quorvamonitordTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char dirTemplate[] = "/tmp/qve2e.XXXXXX";
        ASSERT_NE(mkdtemp(dirTemplate), nullptr);
        dir_ = dirTemplate;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    // An existing pid file that names no process: the sweep skips it without a pause.
    std::string emptyPidFile(const std::string& name) {
        std::ofstream(path(name)) << "";
        return path(name);
    }

    // The daemon's registration, seen by the driver.
    static bool waitForRegistration(const tDriverSimulator& simulator) {
        return simulator.waitForLog("register node=/qv/dev0/node");
    }

    std::string dir_;
};

TEST_F(quorvamonitordTest, RunsAtRealTimePriorityAndEndsWithZeroAfterRelease) {
    tDriverSimulator simulator;
    ASSERT_TRUE(simulator.ready()) << simulator.startError();
    tDaemonProcess daemon({emptyPidFile("idle.pid")});
    ASSERT_TRUE(simulator.waitForLog("id=0x0fe57af7 result=ok"));

    // Raised to SCHED_FIFO 98 once registered (the request is sent just before).
    int policy = -1;
    for (int i = 0; i < 100 && (policy = sched_getscheduler(daemon.pid())) != SCHED_FIFO; ++i) {
        usleep(10000);
    }
    EXPECT_EQ(policy, SCHED_FIFO);
    sched_param param{};
    ASSERT_EQ(sched_getparam(daemon.pid(), &param), 0);
    EXPECT_EQ(param.sched_priority, 98);

    // The device descriptor is close-on-exec.
    bool sawNode = false;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(daemon.pid()) + "/fd")) {
        std::error_code error;
        const auto target = std::filesystem::read_symlink(entry.path(), error);
        if (error || target != "/proc/driver/qv/dev0/node") {
            continue;
        }
        sawNode = true;
        std::ifstream info("/proc/" + std::to_string(daemon.pid()) + "/fdinfo/" +
                           entry.path().filename().string());
        std::string key;
        unsigned long flags = 0;
        while (info >> key && key != "flags:") {
        }
        info >> std::oct >> flags;
        EXPECT_NE(flags & 02000000, 0u) << "node descriptor is not close-on-exec";
    }
    EXPECT_TRUE(sawNode);

    ASSERT_EQ(simulator.command({"release"}).exitStatus, 0);
    EXPECT_EQ(daemon.waitForExit(kExitTimeoutMs), 0);
    // Unregistered exactly once, and before the node was closed.
    ASSERT_TRUE(simulator.waitForLog("close node /qv/dev0/node"));
    const auto log = simulator.log();
    const auto unregistered = std::find_if(log.begin(), log.end(), [](const std::string& line) {
        return contains(line, "unregister node=/qv/dev0/node arg=0x0fe57af7");
    });
    ASSERT_NE(unregistered, log.end());
    EXPECT_EQ(countLines(log, "unregister node="), 1u);
    EXPECT_TRUE(std::any_of(unregistered, log.end(), [](const std::string& line) {
        return contains(line, "close node /qv/dev0/node");
    }));
    EXPECT_EQ(daemon.output(), "");
}

TEST_F(quorvamonitordTest, NotificationStopsEachProcessInOrderPausingASecondAfterEach) {
    tDriverSimulator simulator;
    ASSERT_TRUE(simulator.ready()) << simulator.startError();
    tVictim first(path("first.pid"));
    tVictim second(path("second.pid"));
    const std::string trace = path("trace");
    // The pauses are measured where they are made, by the tracer's times of the daemon's own
    // sleeps: a victim notes its SIGTERM only once it runs, which under load can come late.
    // LeakSanitizer cannot run under a tracer, so a sanitizer build goes without it here.
    tDaemonProcess daemon(
        {path("second.pid"), path("missing.pid"), path("first.pid")},
        {"strace", "-qq", "-T", "-o", trace, "-E", "ASAN_OPTIONS=detect_leaks=0", "-e",
         "trace=kill,pidfd_open,pidfd_send_signal,clock_nanosleep,recvmsg"});
    ASSERT_TRUE(waitForRegistration(simulator));

    ASSERT_EQ(simulator.command({"notify"}).exitStatus, 0);
    ASSERT_EQ(simulator.command({"release"}).exitStatus, 0);
    const int64_t secondStopped = second.waitForSigterm(5000);
    const int64_t firstStopped = first.waitForSigterm(5000);
    ASSERT_NE(secondStopped, 0);
    ASSERT_NE(firstStopped, 0);
    EXPECT_EQ(daemon.waitForExit(kExitTimeoutMs), 0);
    EXPECT_GT(firstStopped, secondStopped);
    EXPECT_LT(firstStopped - secondStopped, 2 * kSecond);

    // Command-line order, a pause of at least a second after each signal, and the release
    // (already waiting in the socket) read only after the pause that follows the last signal.
    std::ifstream traced(trace);
    ASSERT_TRUE(traced.good()) << "strace is needed for this test";
    std::vector<std::string> steps;
    std::string line;
    std::string opened;
    while (std::getline(traced, line)) {
        const auto call = [&](const std::string& name) { return line.rfind(name + "(", 0) == 0; };
        const size_t argument = line.find('(') + 1;
        if (call("pidfd_open")) {
            opened = line.substr(argument, line.find(',') - argument);
        } else if (call("pidfd_send_signal") && contains(line, "SIGTERM")) {
            steps.push_back("signal " + opened);
        } else if (call("kill") && contains(line, "SIGTERM")) {
            steps.push_back("signal " + line.substr(argument, line.find(',') - argument));
        } else if (call("clock_nanosleep")) {
            const double took = std::stod(line.substr(line.rfind('<') + 1));
            steps.push_back(took >= 1.0 ? "pause" : "pause of " + std::to_string(took) + " s");
        } else if (call("recvmsg") && !contains(line, "= -1")) {
            steps.push_back("receive");
        }
    }
    EXPECT_EQ(steps, (std::vector<std::string>{"receive", "signal " + std::to_string(second.pid()),
                                               "pause", "signal " + std::to_string(first.pid()),
                                               "pause", "receive"}));
    EXPECT_EQ(daemon.output(), "");
}

// Pid files that someone other than root could steer, run with the unit's capabilities only: a
// user who owns the directory of listed pid files points them, by symbolic links, at
// /proc/<pid>/stat of a root process (root-owned, and it starts with the pid), at another
// root-owned pid file, at /proc/self/stat and at a character device; a root-owned file is
// writable by a foreign group. No process is signalled, the daemon included, the device is never
// opened, and the pid file listed after them is still used.
TEST_F(quorvamonitordTest, PidFilesOthersCanSteerNeverSteerTheSignal) {
    constexpr uid_t kNobody = 65534;
    constexpr gid_t kForeignGroup = 100;
    tDriverSimulator simulator;
    ASSERT_TRUE(simulator.ready()) << simulator.startError();
    tVictim rootProcess(path("root.pid"));
    tVictim listed(path("listed.pid"));
    const std::string device = path("watchdog");
    ASSERT_EQ(mknod(device.c_str(), S_IFCHR | 0600, makedev(1, 3)), 0);
    const std::string service = path("service");
    ASSERT_EQ(mkdir(service.c_str(), 0755), 0);
    ASSERT_EQ(chown(service.c_str(), kNobody, kNobody), 0);
    const std::vector<std::pair<std::string, std::string>> links = {
        {"stat.pid", "/proc/" + std::to_string(rootProcess.pid()) + "/stat"},
        {"other.pid", path("root.pid")},
        {"self.pid", "/proc/self/stat"},
        {"watchdog.pid", device},
    };
    std::vector<std::string> args;
    for (const auto& [name, target] : links) {
        const std::string link = service + "/" + name;
        ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
        ASSERT_EQ(lchown(link.c_str(), kNobody, kNobody), 0);
        args.push_back(link);
    }
    const std::string groupFile = path("group.pid");
    std::ofstream(groupFile) << rootProcess.pid() << "\n";
    ASSERT_EQ(chown(groupFile.c_str(), 0, kForeignGroup), 0);
    ASSERT_EQ(chmod(groupFile.c_str(), 0664), 0);
    args.push_back(groupFile);
    args.push_back(path("listed.pid"));

    const int opens = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(opens, 0);
    ASSERT_GE(inotify_add_watch(opens, device.c_str(), IN_OPEN), 0);
    tDaemonProcess daemon(args, {"setpriv", "--bounding-set=-all,+kill,+sys_nice", "--"});
    ASSERT_TRUE(waitForRegistration(simulator));

    ASSERT_EQ(simulator.command({"notify"}).exitStatus, 0);
    const int64_t notified = monotonicNanoseconds();
    const int64_t stopped = listed.waitForSigterm(5000);
    ASSERT_NE(stopped, 0);
    // Skipped files take no pause.
    EXPECT_LT(stopped - notified, kSecond);
    EXPECT_EQ(rootProcess.waitForSigterm(1500), 0);
    EXPECT_TRUE(daemon.running());
    char events[4096];
    EXPECT_EQ(read(opens, events, sizeof events), -1) << "the device was opened";
    close(opens);

    ASSERT_EQ(simulator.command({"release"}).exitStatus, 0);
    EXPECT_EQ(daemon.waitForExit(kExitTimeoutMs), 0);
    EXPECT_EQ(daemon.output(), "");
}

// Attacks on pid files that were harmless when the daemon started, made while it waits: an ACL
// that lets nobody write root's file naming a root process; FUSE file systems that nobody mounts
// (with allow_other) over directories of theirs on the listed paths, one reporting root's
// ownership and naming the root process, one holding every request forever; and root's own link
// turned to /proc/kmsg, whose reading would take the kernel's log away from its reader; and
// nobody's pid file naming a root process that runs with nobody's effective uid. The root
// processes are left alone, the walk stops at /proc without ever opening kmsg, the pid file
// listed after them is used without a pause in between, and a release is still handled at once.
TEST_F(quorvamonitordTest, AttacksMadeWhileWaitingLeaveRootsProcessAloneAndTheDaemonResponsive) {
    constexpr uid_t kNobody = 65534;
    tDriverSimulator simulator;
    ASSERT_TRUE(simulator.ready()) << simulator.startError();
    tVictim rootProcess(path("root.pid"));
    tVictim listed(path("listed.pid"));
    const std::string aclFile = path("acl.pid");
    std::ofstream(aclFile) << rootProcess.pid() << "\n";
    ASSERT_EQ(chmod(aclFile.c_str(), 0644), 0);
    const std::vector<std::string> mounted = {path("reports"), path("stalls")};
    for (const std::string& directory : mounted) {
        ASSERT_EQ(mkdir(directory.c_str(), 0755), 0);
        std::ofstream(directory + "/main.pid") << "";
        ASSERT_EQ(chown((directory + "/main.pid").c_str(), kNobody, kNobody), 0);
        ASSERT_EQ(chown(directory.c_str(), kNobody, kNobody), 0);
    }
    const std::string kmsgLink = path("kmsg.pid");
    ASSERT_EQ(symlink(emptyPidFile("empty.pid").c_str(), kmsgLink.c_str()), 0);
    // A root process that runs for a while with nobody's effective uid (real and saved uid stay
    // root, so nobody could not signal it), and nobody's own pid file naming it.
    const pid_t borrowed = startWithIds(0, kNobody, 0);
    const tOwnedChild borrowedChild(borrowed);
    ASSERT_GT(borrowed, 0) << "the process did not take nobody's effective uid";
    const std::string nobodysDirectory = path("nobody");
    ASSERT_EQ(mkdir(nobodysDirectory.c_str(), 0755), 0);
    std::ofstream(nobodysDirectory + "/main.pid") << borrowed << "\n";
    ASSERT_EQ(chown((nobodysDirectory + "/main.pid").c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(chown(nobodysDirectory.c_str(), kNobody, kNobody), 0);
    const std::string trace = path("trace");
    // LeakSanitizer cannot run under a tracer, so a sanitizer build goes without it here.
    tDaemonProcess daemon({aclFile, mounted[0] + "/main.pid", mounted[1] + "/main.pid", kmsgLink,
                           nobodysDirectory + "/main.pid", path("listed.pid")},
                          {"strace", "-qq", "-o", trace, "-E", "ASAN_OPTIONS=detect_leaks=0", "-e",
                           "trace=open,openat,openat2"});
    ASSERT_TRUE(waitForRegistration(simulator));

    const std::string setfacl = "setfacl -m u:65534:rw " + aclFile;
    ASSERT_EQ(std::system(setfacl.c_str()), 0) << "setfacl (package acl) is needed";
    tChildProcess reports;
    tChildProcess stalls;
    const std::string text = std::to_string(rootProcess.pid()) + "\n";
    std::string error;
    std::string output;
    ASSERT_TRUE(
        reports.start({QV_HOSTILE_FS_PATH, mounted[0], "root", text}, path("fs-errors"), error))
        << error;
    ASSERT_TRUE(reports.waitForLine("ready", 5000, output)) << output;
    ASSERT_TRUE(
        stalls.start({QV_HOSTILE_FS_PATH, mounted[1], "stall", text}, path("fs-errors"), error))
        << error;
    ASSERT_TRUE(stalls.waitForLine("ready", 5000, output)) << output;
    ASSERT_EQ(symlink("/proc/kmsg", path("kmsg.new").c_str()), 0);
    ASSERT_EQ(rename(path("kmsg.new").c_str(), kmsgLink.c_str()), 0);

    ASSERT_EQ(simulator.command({"notify"}).exitStatus, 0);
    const int64_t notified = monotonicNanoseconds();
    const int64_t stopped = listed.waitForSigterm(5000);
    EXPECT_NE(stopped, 0) << "the sweep did not reach the last pid file";
    EXPECT_LT(stopped - notified, kSecond) << "a skipped file took a pause";
    EXPECT_EQ(rootProcess.waitForSigterm(1500), 0) << "the root process was signalled";
    int status = 0;
    EXPECT_EQ(waitpid(borrowed, &status, WNOHANG), 0)
        << "the root process with nobody's effective uid was signalled";
    kill(borrowed, SIGKILL);
    waitpid(borrowed, &status, 0);
    EXPECT_TRUE(daemon.running());

    // The pause after the listed process is over: the release is read at once.
    ASSERT_EQ(simulator.command({"release"}).exitStatus, 0);
    EXPECT_EQ(daemon.waitForExit(1000), 0);
    stalls.stop(1000);
    reports.stop(1000);
    for (const std::string& directory : mounted) {
        EXPECT_EQ(umount2(directory.c_str(), MNT_DETACH), 0) << directory;
    }
    std::ifstream traced(trace);
    ASSERT_TRUE(traced.good()) << "strace is needed for this test";
    std::string line;
    while (std::getline(traced, line)) {
        EXPECT_FALSE(contains(line, "kmsg\"")) << line;
    }
    EXPECT_EQ(daemon.output(), "");
}

// A pid file in another user's directory names that user's process. The daemon takes a pidfd
// first, then reads the process's user ids, and signals through the pidfd: never by kill(), and
// nothing about the process is looked at before the pidfd exists.
TEST_F(quorvamonitordTest, AnotherUsersProcessIsCheckedAndSignalledThroughOnePidfd) {
    constexpr uid_t kNobody = 65534;
    tDriverSimulator simulator;
    ASSERT_TRUE(simulator.ready()) << simulator.startError();
    const pid_t victim = startWithIds(kNobody, kNobody, kNobody);
    const tOwnedChild victimChild(victim);
    ASSERT_GT(victim, 0) << "the process did not become nobody";
    const std::string service = path("service");
    ASSERT_EQ(mkdir(service.c_str(), 0755), 0);
    ASSERT_EQ(chown(service.c_str(), kNobody, kNobody), 0);
    const std::string pidFile = service + "/main.pid";
    std::ofstream(pidFile) << victim << "\n";
    const std::string trace = path("trace");
    // LeakSanitizer cannot run under a tracer, so a sanitizer build goes without it here.
    tDaemonProcess daemon({pidFile},
                          {"strace", "-qq", "-o", trace, "-E", "ASAN_OPTIONS=detect_leaks=0", "-e",
                           "trace=pidfd_open,pidfd_send_signal,kill,open,openat,stat,newfstatat,"
                           "statx,access"});
    ASSERT_TRUE(waitForRegistration(simulator));

    ASSERT_EQ(simulator.command({"notify"}).exitStatus, 0);
    int exit = 0;
    bool ended = false;
    for (int i = 0; i < 300 && !(ended = waitpid(victim, &exit, WNOHANG) == victim); ++i) {
        usleep(10000);
    }
    if (!ended) {
        kill(victim, SIGKILL);
        waitpid(victim, &exit, 0);
    }
    EXPECT_TRUE(ended && WIFSIGNALED(exit) && WTERMSIG(exit) == SIGTERM);
    ASSERT_EQ(simulator.command({"release"}).exitStatus, 0);
    EXPECT_EQ(daemon.waitForExit(kExitTimeoutMs), 0);

    std::ifstream traced(trace);
    ASSERT_TRUE(traced.good()) << "strace is needed for this test";
    const std::string pid = std::to_string(victim);
    const std::string procDirectory = "/proc/" + pid;
    std::vector<std::string> steps;
    std::string line;
    while (std::getline(traced, line)) {
        if (line.rfind("pidfd_open(" + pid + ",", 0) == 0) {
            steps.push_back("pidfd_open");
        } else if (contains(line, "\"" + procDirectory + "/status\"")) {
            steps.push_back("status");
        } else if (line.rfind("pidfd_send_signal(", 0) == 0 && contains(line, "SIGTERM")) {
            steps.push_back("signal");
        } else if (line.rfind("kill(" + pid + ",", 0) == 0 ||
                   contains(line, "\"" + procDirectory + "\"") ||
                   contains(line, "\"" + procDirectory + "/")) {
            steps.push_back(line);
        }
    }
    EXPECT_EQ(steps, (std::vector<std::string>{"pidfd_open", "status", "signal"}));
    EXPECT_EQ(daemon.output(), "");
}

// Any process with CAP_NET_ADMIN may send to the daemon's port. A network service running as
// nobody sends well-formed messages of event types 1, 3 and 2 there: nothing is signalled, the
// daemon keeps waiting, registered; the driver's own notification and release still work.
TEST_F(quorvamonitordTest, MessagesForgedByAUserWithNetAdminChangeNothing) {
    tDriverSimulator simulator;
    ASSERT_TRUE(simulator.ready()) << simulator.startError();
    tVictim victim(path("victim.pid"));
    tDaemonProcess daemon({path("victim.pid")});
    ASSERT_TRUE(waitForRegistration(simulator));
    const tCommandResult ports = simulator.command({"ports"});
    unsigned port = 0;
    ASSERT_EQ(std::sscanf(ports.output.c_str(), "port=%u ", &port), 1) << ports.output;

    ASSERT_TRUE(sendAsUserWithNetAdmin(65534, port, {1, 3, 2}));
    EXPECT_EQ(victim.waitForSigterm(1000), 0) << "a forged notification was acted on";
    EXPECT_TRUE(daemon.running());
    EXPECT_EQ(countLines(simulator.log(), "unregister"), 0u);

    ASSERT_EQ(simulator.command({"notify"}).exitStatus, 0);
    EXPECT_NE(victim.waitForSigterm(5000), 0);
    ASSERT_EQ(simulator.command({"release"}).exitStatus, 0);
    EXPECT_EQ(daemon.waitForExit(kExitTimeoutMs), 0);
    EXPECT_EQ(daemon.output(), "");
}

// Such a service fills the daemon's socket while a sweep pauses. None of the flood is acted on,
// and the driver's notification after it still is: the daemon goes on watching.
TEST_F(quorvamonitordTest, FloodByAUserWithNetAdminDuringASweepEndsNothing) {
    tDriverSimulator simulator;
    ASSERT_TRUE(simulator.ready()) << simulator.startError();
    std::unique_ptr<tVictim> victim = std::make_unique<tVictim>(path("victim.pid"));
    tDaemonProcess daemon({path("victim.pid")});
    ASSERT_TRUE(waitForRegistration(simulator));
    unsigned port = 0;
    ASSERT_EQ(std::sscanf(simulator.command({"ports"}).output.c_str(), "port=%u ", &port), 1);

    ASSERT_EQ(simulator.command({"notify"}).exitStatus, 0);
    ASSERT_NE(victim->waitForSigterm(5000), 0);
    ASSERT_TRUE(sendAsUserWithNetAdmin(65534, port, {1}, true));
    victim = std::make_unique<tVictim>(path("victim.pid"));
    EXPECT_EQ(victim->waitForSigterm(2000), 0) << "the flood was acted on";

    ASSERT_EQ(simulator.command({"notify"}).exitStatus, 0);
    EXPECT_NE(victim->waitForSigterm(5000), 0);
    EXPECT_TRUE(daemon.running());
    EXPECT_EQ(daemon.output(), "");
}

TEST_F(quorvamonitordTest, BurstOfNotificationsNeverEndsTheDaemon) {
    tDriverSimulator simulator;
    ASSERT_TRUE(simulator.ready()) << simulator.startError();
    tDaemonProcess daemon({emptyPidFile("a.pid"), emptyPidFile("b.pid")});
    ASSERT_TRUE(waitForRegistration(simulator));

    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(simulator.command({"notify", "--payload", "0102"}).exitStatus, 0);
    }
    usleep(200000);
    EXPECT_TRUE(daemon.running());

    ASSERT_EQ(simulator.command({"release"}).exitStatus, 0);
    EXPECT_EQ(daemon.waitForExit(kExitTimeoutMs), 0);
    EXPECT_EQ(daemon.output(), "");
}

TEST_F(quorvamonitordTest, BadDriverMessagesEndWithOneAfterUnregistering) {
    const std::vector<std::vector<std::string>> messages = {
        {"send", "--event", "3"},
        {"notify", "--payload-size", "33"},
    };
    for (const auto& message : messages) {
        tDriverSimulator simulator;
        ASSERT_TRUE(simulator.ready()) << simulator.startError();
        tDaemonProcess daemon({emptyPidFile("a.pid")});
        ASSERT_TRUE(waitForRegistration(simulator));

        ASSERT_EQ(simulator.command(message).exitStatus, 0);
        EXPECT_EQ(daemon.waitForExit(kExitTimeoutMs), 1) << message[1];
        EXPECT_EQ(countLines(simulator.log(), "unregister node=/qv/dev0/node arg=0x0fe57af7"), 1u);
        EXPECT_EQ(daemon.output(), "");
    }
}

TEST_F(quorvamonitordTest, OnlyTheSecondInterfaceNameIsUsedWhenTheFirstIsMissing) {
    tDriverSimulator simulator(
        "device other\n"
        "interface morvelpandk_morvelsondrapand\\b\n"
        "interface morvelpandk_morvelsondrapand\\a\n");
    ASSERT_TRUE(simulator.ready()) << simulator.startError();
    tDaemonProcess daemon({emptyPidFile("a.pid")});
    ASSERT_TRUE(simulator.waitForLog("register node=/qv/other/node"));

    // The first match in byte order is the one read.
    const auto log = simulator.log();
    EXPECT_GT(countLines(log,
                         "open interfacePath /qv/other/deviceInterfaces/"
                         "morvelpandk_morvelsondrapand\\a/interfacePath"),
              0u);
    EXPECT_EQ(countLines(log, "morvelsondrapand\\b/"), 0u);

    ASSERT_EQ(simulator.command({"release"}).exitStatus, 0);
    EXPECT_EQ(daemon.waitForExit(kExitTimeoutMs), 0);
}

TEST_F(quorvamonitordTest, UnreadableFirstInterfaceEndsWithOneWithoutTryingTheSecond) {
    tDriverSimulator simulator(
        "device dev0\n"
        "interface morvelkestrak_morvelkestrak\\0\n"
        "open-errno EACCES\n"
        "device dev1\n"
        "interface morvelpandk_morvelsondrapand\\0\n");
    ASSERT_TRUE(simulator.ready()) << simulator.startError();
    tDaemonProcess daemon({emptyPidFile("a.pid")});
    EXPECT_EQ(daemon.waitForExit(kExitTimeoutMs), 1);

    const auto log = simulator.log();
    EXPECT_EQ(countLines(log, "open interfacePath /qv/dev0/"), 10u);
    EXPECT_EQ(countLines(log, "attempt=10 result=EACCES"), 1u);
    EXPECT_EQ(countLines(log, "/qv/dev1/"), 0u);
    EXPECT_EQ(countLines(log, "open node"), 0u);
    EXPECT_EQ(daemon.output(), "");
}

TEST_F(quorvamonitordTest, MissingDeviceOrUnopenableNodeEndsWithOne) {
    const char* const configs[] = {
        "",               // no qv/ at all
        "device dev0\n",  // a device without interfaces
        "device dev0\ninterface morvelkestrak_morvelkestrak\\0\npath /nonexistent/node\n",
        "device dev0\nnode-open-errno EBUSY\ninterface morvelkestrak_morvelkestrak\\0\n",
        "device dev0\ninterface morvelkestrak_morvelkestrak\\0\nread-errno EIO\n",
    };
    for (const char* config : configs) {
        tDriverSimulator simulator{std::string(config)};
        ASSERT_TRUE(simulator.ready()) << simulator.startError();
        tDaemonProcess daemon({emptyPidFile("a.pid")});
        EXPECT_EQ(daemon.waitForExit(kExitTimeoutMs), 1) << config;
        EXPECT_EQ(countLines(simulator.log(), "register"), 0u) << config;
        EXPECT_EQ(daemon.output(), "");
    }
}

// Time the process has run on a CPU, in nanoseconds, from /proc/<pid>/schedstat.
int64_t cpuNanoseconds(pid_t pid) {
    std::ifstream schedstat("/proc/" + std::to_string(pid) + "/schedstat");
    int64_t ran = -1;
    schedstat >> ran;
    return ran;
}

// The longest walk a user can make: nobody's listed pid file reached through 40 links of theirs,
// each a run of "d/.." pairs 4,000 bytes long, in a directory of theirs that may carry an ACL of
// 1,000 entries. Whatever it costs the daemon at real-time priority is bounded: a few milliseconds
// of CPU at start-up and per sweep (the walk gives up after 256 components and reads the
// directory's ACL once), and the root pid file listed after it is handled at once.
TEST_F(quorvamonitordTest, LongestWalkAUserCanMakeCostsLittle) {
    constexpr uid_t kNobody = 65534;
    constexpr int64_t kMostCpu = 50 * kSecond / 1000;
    // On tmpfs, which holds an ACL of that size.
    const std::string home = path("home");
    ASSERT_EQ(mkdir(home.c_str(), 0775), 0);
    ASSERT_EQ(mount("tmpfs", home.c_str(), "tmpfs", 0, "mode=0775"), 0);
    ASSERT_EQ(mkdir((home + "/d").c_str(), 0755), 0);
    std::string pairs;
    while (pairs.size() + 5 <= 4000) {
        pairs += "d/../";
    }
    // The long way is walked at start-up as "long", which is dropped then; l0 leads straight to
    // main.pid at start-up, which keeps it listed, and the long way is put in its place while the
    // daemon waits.
    const auto makeLink = [&](const std::string& name, const std::string& target) {
        const std::string link = home + "/" + name;
        ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
        ASSERT_EQ(lchown(link.c_str(), kNobody, kNobody), 0);
    };
    for (int i = 1; i < 40; ++i) {
        makeLink("l" + std::to_string(i),
                 pairs + (i == 39 ? "main.pid" : "l" + std::to_string(i + 1)));
    }
    makeLink("long", pairs + "l1");
    std::ofstream(home + "/main.pid") << "1\n";
    for (const std::string& owned : {home, home + "/d", home + "/main.pid"}) {
        ASSERT_EQ(chown(owned.c_str(), kNobody, 0), 0);
    }
    std::string acl = "setfacl -m m::rwx";
    for (int user = 1; user <= 1000; ++user) {
        acl += ",u:" + std::to_string(100000 + user) + ":r";
    }
    acl += " " + home;

    for (const bool withAcl : {false, true}) {
        if (withAcl) {
            ASSERT_EQ(std::system(acl.c_str()), 0) << "setfacl (package acl) is needed";
        }
        unlink((home + "/l0").c_str());
        makeLink("l0", "main.pid");
        tDriverSimulator simulator;
        ASSERT_TRUE(simulator.ready()) << simulator.startError();
        tVictim listed(path("listed.pid"));
        tDaemonProcess daemon({home + "/long", home + "/l0", path("listed.pid")});
        ASSERT_TRUE(waitForRegistration(simulator));
        const int64_t startUp = cpuNanoseconds(daemon.pid());
        ASSERT_EQ(rename((home + "/long").c_str(), (home + "/l0").c_str()), 0);
        makeLink("long", pairs + "l1");

        ASSERT_EQ(simulator.command({"notify"}).exitStatus, 0);
        const int64_t notified = monotonicNanoseconds();
        const int64_t stopped = listed.waitForSigterm(5000);
        const int64_t sweep = cpuNanoseconds(daemon.pid()) - startUp;
        EXPECT_NE(stopped, 0);
        EXPECT_LT(stopped - notified, kSecond / 10) << withAcl;
        EXPECT_GT(startUp, 0);
        EXPECT_LT(startUp, kMostCpu) << withAcl;
        EXPECT_LT(sweep, kMostCpu) << withAcl;
        std::printf("long walk, ACL %d: start-up %.2f ms, sweep %.2f ms of CPU\n", withAcl,
                    static_cast<double>(startUp) / 1e6, static_cast<double>(sweep) / 1e6);
        ASSERT_EQ(simulator.command({"release"}).exitStatus, 0);
        EXPECT_EQ(daemon.waitForExit(kExitTimeoutMs), 0);
    }

    // The directory's ACL is read once in a walk that passes through the directory 128 times:
    // the start-up walk, which drops the file.
    tDriverSimulator simulator;
    ASSERT_TRUE(simulator.ready()) << simulator.startError();
    const std::string trace = path("trace");
    tDaemonProcess daemon({home + "/long", emptyPidFile("idle.pid")},
                          {"strace", "-qq", "-o", trace, "-E", "ASAN_OPTIONS=detect_leaks=0", "-e",
                           "trace=getxattr"});
    ASSERT_TRUE(waitForRegistration(simulator));
    ASSERT_EQ(simulator.command({"release"}).exitStatus, 0);
    EXPECT_EQ(daemon.waitForExit(kExitTimeoutMs), 0);
    std::ifstream traced(trace);
    ASSERT_TRUE(traced.good()) << "strace is needed for this test";
    std::vector<std::string> reads;
    for (std::string line; std::getline(traced, line);) {
        // An strace older than the system calls it sees shows them too, by number.
        if (line.rfind("getxattr(", 0) == 0) {
            reads.push_back(line);
        }
    }
    EXPECT_EQ(reads.size(), 1u) << (reads.empty() ? "" : reads.back());
    EXPECT_EQ(umount2(home.c_str(), MNT_DETACH), 0);
}

// The daemon where a system-call filter refuses statmount (ENOSYS), as on kernels before 6.8: it
// judges mounts in the mount table alone.
const std::vector<std::string> kTableOnly = {QV_REFUSE_SYSTEM_CALL_PATH, "457", "38"};

// Whether the process holds the mount table open, which it does only when it judges mounts there.
bool holdsMountTable(pid_t pid) {
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    for (const auto& entry : std::filesystem::directory_iterator(fds)) {
        std::error_code error;
        if (std::filesystem::read_symlink(entry.path(), error).filename() == "mountinfo") {
            return true;
        }
    }
    return false;
}

// Private dirty memory of the process in KiB, from /proc/<pid>/smaps_rollup; -1 if unread.
long privateDirtyKib(pid_t pid) {
    std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
    for (std::string line; std::getline(rollup, line);) {
        if (line.rfind("Private_Dirty:", 0) == 0) {
            return std::stol(line.substr(14));
        }
    }
    return -1;
}

// Thousands of mounts: a pid file on the last one made is kept at start-up and its process
// signalled, whichever way the daemon judges mounts, and its memory does not grow with the table.
TEST_F(quorvamonitordTest, PidFileOnTheLastOfThousandsOfMountsIsUsed) {
    const std::string many = path("many");
    ASSERT_EQ(mkdir(many.c_str(), 0755), 0);
    ASSERT_EQ(mount("tmpfs", many.c_str(), "tmpfs", 0, nullptr), 0);
    std::string pidFile = path("few.pid");
    long fewDirty[2] = {};
    size_t made = 0;
    for (const size_t mounts : {size_t{0}, size_t{2000}, size_t{5000}}) {
        for (; made < mounts; ++made) {
            const std::string point = many + "/" + std::to_string(made);
            ASSERT_EQ(mkdir(point.c_str(), 0755), 0);
            ASSERT_EQ(mount("tmpfs", point.c_str(), "tmpfs", 0, nullptr), 0) << point;
            pidFile = point + "/victim.pid";
        }
        for (const bool tableOnly : {false, true}) {
            tDriverSimulator simulator;
            ASSERT_TRUE(simulator.ready()) << simulator.startError();
            tVictim victim(pidFile);
            tDaemonProcess daemon({pidFile}, tableOnly ? kTableOnly : std::vector<std::string>{});
            ASSERT_TRUE(waitForRegistration(simulator)) << mounts << " mounts, " << tableOnly;
            ASSERT_EQ(simulator.command({"notify"}).exitStatus, 0);
            EXPECT_NE(victim.waitForSigterm(5000), 0) << mounts << " mounts, " << tableOnly;
            EXPECT_EQ(holdsMountTable(daemon.pid()), tableOnly) << "judged in the table";
            const long dirty = privateDirtyKib(daemon.pid());
            ASSERT_GT(dirty, 0);
            fewDirty[tableOnly] = mounts == 0 ? dirty : fewDirty[tableOnly];
#ifndef QV_SANITIZED_BUILD
            EXPECT_LE(dirty, fewDirty[tableOnly] + 16) << mounts << " mounts, " << tableOnly;
#endif
            ASSERT_EQ(simulator.command({"release"}).exitStatus, 0);
            EXPECT_EQ(daemon.waitForExit(kExitTimeoutMs), 0);
        }
    }
    EXPECT_EQ(umount2(many.c_str(), MNT_DETACH), 0);
}

// A pid file whose mounts cannot all be judged at start-up, here more than a walk may read the
// mount table for, is kept, and used at the notification with what start-up learned; a file on a
// file system the daemon does not read is dropped at start-up, which leaves it nothing to do.
TEST_F(quorvamonitordTest, FileWhoseMountCouldNotBeJudgedAtStartUpIsKept) {
    std::vector<std::string> points = {path("n")};
    while (points.size() < tMountTable::kMostTableReadsInWalk) {
        points.push_back(points.back() + "/n");
    }
    for (const std::string& point : points) {
        ASSERT_EQ(mkdir(point.c_str(), 0755), 0);
        ASSERT_EQ(mount("tmpfs", point.c_str(), "tmpfs", 0, nullptr), 0);
    }
    tDriverSimulator simulator;
    ASSERT_TRUE(simulator.ready()) << simulator.startError();
    tVictim victim(points.back() + "/victim.pid");
    tDaemonProcess daemon({points.back() + "/victim.pid"}, kTableOnly);
    ASSERT_TRUE(waitForRegistration(simulator)) << "dropped at start-up";
    ASSERT_EQ(simulator.command({"notify"}).exitStatus, 0);
    EXPECT_NE(victim.waitForSigterm(5000), 0);
    ASSERT_EQ(simulator.command({"release"}).exitStatus, 0);
    EXPECT_EQ(daemon.waitForExit(kExitTimeoutMs), 0);
    EXPECT_EQ(umount2(points.front().c_str(), MNT_DETACH), 0);

    const std::string sysfs = path("s");
    ASSERT_EQ(mkdir(sysfs.c_str(), 0755), 0);
    ASSERT_EQ(mount("sysfs", sysfs.c_str(), "sysfs", 0, nullptr), 0);
    tDaemonProcess dropped({sysfs + "/kernel/uevent_seqnum"}, kTableOnly);
    EXPECT_EQ(dropped.waitForExit(kExitTimeoutMs), 1);
    EXPECT_EQ(umount2(sysfs.c_str(), MNT_DETACH), 0);
}

TEST_F(quorvamonitordTest, RefusedRegistrationEndsWithOneWithoutUnregisterOrPriority) {
    tDriverSimulator simulator(
        "device dev0\nregister-errno EPERM\ninterface morvelkestrak_morvelkestrak\\0\n");
    ASSERT_TRUE(simulator.ready()) << simulator.startError();
    const std::string trace = path("trace");
    // LeakSanitizer cannot run under a tracer, so a sanitizer build goes without it here.
    tDaemonProcess daemon({emptyPidFile("a.pid")},
                          {"strace", "-f", "-qq", "-o", trace, "-E", "ASAN_OPTIONS=detect_leaks=0",
                           "-e", "trace=sched_setscheduler"});
    EXPECT_EQ(daemon.waitForExit(kExitTimeoutMs), 1);

    const auto log = simulator.log();
    EXPECT_EQ(countLines(log, "result=EPERM"), 1u);
    EXPECT_EQ(countLines(log, "unregister"), 0u);
    EXPECT_TRUE(simulator.waitForLog("close node /qv/dev0/node"));
    std::ifstream traced(trace);
    ASSERT_TRUE(traced.good()) << "strace is needed for this test";
    std::stringstream calls;
    calls << traced.rdbuf();
    EXPECT_FALSE(contains(calls.str(), "sched_setscheduler")) << calls.str();
    EXPECT_EQ(daemon.output(), "");
}

}  // namespace
}  // namespace nQUORVAMONITORD_18_5
