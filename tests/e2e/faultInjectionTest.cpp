// Faults injected around the built daemon while it runs against the driver simulator, in this
// test's private mount namespace: the driver vanishing, a flood of notifications, the daemon
// stopped and continued, and pid files that name no live process. Every wait is bounded.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/tDaemonProcess.h"
#include "tests/e2e/tVictim.h"
#include "tests/support/tDriverSimulator.h"
#include "tests/support/tNetlinkSender.h"

namespace nQUORVAMONITORD_18_5 {
namespace {

constexpr int64_t kMillisecond = 1000000;
constexpr int64_t kSecond = 1000 * kMillisecond;
constexpr int kExitTimeoutMs = 10000;
constexpr int kSigtermTimeoutMs = 5000;
// Exit status tDaemonProcess reports for a daemon ended by SIGTERM.
constexpr int kEndedBySigterm = 128 + SIGTERM;
// CPU time a waiting daemon may use over the quiet spells below: a spinning one uses them all.
constexpr double kIdleCpuSeconds = 0.05;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Fields of /proc/<pid>/stat after the command name, which may itself hold blanks: the first
// is the state (field 3), utime and stime are fields 14 and 15.
std::vector<std::string> statFields(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::vector<std::string> fields;
    const size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return fields;
    }
    std::istringstream rest(text.substr(close + 1));
    std::string field;
    while (rest >> field) {
        fields.push_back(field);
    }
    return fields;
}

// User plus system CPU time of the process so far, in seconds; -1 when it cannot be read.
double cpuSeconds(pid_t pid) {
    const std::vector<std::string> fields = statFields(pid);
    if (fields.size() < 13) {
        return -1;
    }
    const double ticks = std::stod(fields[11]) + std::stod(fields[12]);
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

char processState(pid_t pid) {
    const std::vector<std::string> fields = statFields(pid);
    return fields.empty() ? '?' : fields[0][0];
}

bool waitForState(pid_t pid, char state, int timeoutMs = 5000) {
    for (int waited = 0; waited <= timeoutMs; waited += 5) {
        if (processState(pid) == state) {
            return true;
        }
        usleep(5000);
    }
    return false;
}

bool waitForRegistration(const tDriverSimulator& simulator) {
    return simulator.waitForLog("id=0x0fe57af7 result=ok");
}

// The netlink port the daemon registered, from the simulator's log; 0 if none.
uint32_t registeredPort(const tDriverSimulator& simulator) {
    for (const std::string& line : simulator.log()) {
        const size_t at = line.find(" port=");
        if (line.rfind("register ", 0) == 0 && at != std::string::npos) {
            return static_cast<uint32_t>(std::stoul(line.substr(at + 6)));
        }
    }
    return 0;
}

// Watches a daemon that should be blocked in its wait for `seconds`: true when it is still
// running, asleep and used (almost) no CPU time meanwhile.
::testing::AssertionResult staysIdle(tDaemonProcess& daemon, int seconds) {
    const double before = cpuSeconds(daemon.pid());
    sleep(static_cast<unsigned>(seconds));
    const double after = cpuSeconds(daemon.pid());
    if (!daemon.running()) {
        return ::testing::AssertionFailure() << "the daemon ended with " << daemon.waitForExit(0);
    }
    if (before < 0 || after < 0 || after - before > kIdleCpuSeconds) {
        return ::testing::AssertionFailure()
               << "CPU time went from " << before << " s to " << after << " s";
    }
    const char state = processState(daemon.pid());
    if (state != 'S') {
        return ::testing::AssertionFailure() << "state " << state << ", not asleep";
    }
    return ::testing::AssertionSuccess();
}

// A SIGTERM to the daemon ends it at once: it installs no handler.
::testing::AssertionResult endsAtOnceOnSigterm(tDaemonProcess& daemon) {
    if (kill(daemon.pid(), SIGTERM) != 0) {
        return ::testing::AssertionFailure() << "kill: " << std::strerror(errno);
    }
    const int status = daemon.waitForExit(1000);
    if (status != kEndedBySigterm) {
        return ::testing::AssertionFailure() << "status " << status << " a second after SIGTERM";
    }
    return ::testing::AssertionSuccess();
}

// A well-formed driver message of event type 1 with no payload.
std::vector<unsigned char> notificationMessage() {
    std::vector<unsigned char> message(72, 0);
    const uint32_t length = 72;
    const uint16_t netlinkType = 0x1c;
    const uint16_t attributeLength = 48;
    const uint16_t eventType = 1;
    std::memcpy(&message[0], &length, sizeof length);
    std::memcpy(&message[4], &netlinkType, sizeof netlinkType);
    std::memcpy(&message[20], &attributeLength, sizeof attributeLength);
    std::memcpy(&message[22], &eventType, sizeof eventType);
    return message;
}

// Counts the daemon's reads of one pid file: every sweep opens it read-only once and closes
// it. Open and close events alternate, so the kernel never merges two of them into one.
class tReadCounter {
  public:
    explicit tReadCounter(const std::string& path) {
        descriptor_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        if (descriptor_ >= 0) {
            inotify_add_watch(descriptor_, path.c_str(), IN_OPEN | IN_CLOSE_NOWRITE);
        }
    }
    ~tReadCounter() {
        if (descriptor_ >= 0) {
            close(descriptor_);
        }
    }
    tReadCounter(const tReadCounter&) = delete;
    tReadCounter& operator=(const tReadCounter&) = delete;

    // Waits until count reaches at least target or timeoutMs passes; returns the count.
    long waitFor(long target, int timeoutMs) {
        for (int waited = 0; count_ < target && waited <= timeoutMs; waited += 10) {
            drain();
            if (count_ < target) {
                usleep(10000);
            }
        }
        drain();
        return count_;
    }

  private:
    void drain() {
        alignas(inotify_event) char buffer[4096];
        ssize_t size;
        while ((size = read(descriptor_, buffer, sizeof buffer)) > 0) {
            for (ssize_t at = 0; at < size;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                count_ += (event->mask & IN_CLOSE_NOWRITE) != 0 ? 1 : 0;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
    }

    int descriptor_ = -1;
    long count_ = 0;
};

class faultInjectionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char dirTemplate[] = "/tmp/qvfault.XXXXXX";
        ASSERT_NE(mkdtemp(dirTemplate), nullptr);
        dir_ = dirTemplate;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    std::string writePidFile(const std::string& name, const std::string& content) {
        std::ofstream(path(name), std::ios::binary | std::ios::trunc) << content;
        chmod(path(name).c_str(), 0644);
        return path(name);
    }

    std::string dir_;
};

TEST_F(faultInjectionTest, SimulatorKilledWhileWaitingLeavesTheDaemonWaitingIdle) {
    tDriverSimulator simulator;
    ASSERT_TRUE(simulator.ready()) << simulator.startError();
    tDaemonProcess daemon({writePidFile("idle.pid", "")});
    ASSERT_TRUE(waitForRegistration(simulator));

    ASSERT_EQ(kill(simulator.pid(), SIGKILL), 0);
    EXPECT_EQ(simulator.stop(), 128 + SIGKILL);
    // The dead file system stays mounted in this namespace until detached.
    EXPECT_EQ(umount2("/proc/driver", MNT_DETACH), 0) << std::strerror(errno);

    // Nothing can send the release any more.
    EXPECT_EQ(simulator.command({"release"}).exitStatus, 1);
    EXPECT_TRUE(staysIdle(daemon, 3));
    EXPECT_TRUE(endsAtOnceOnSigterm(daemon));
    EXPECT_EQ(daemon.output(), "");
}

TEST_F(faultInjectionTest, DriverFileSystemUnmountedWhileWaitingLeavesTheDaemonWaitingIdle) {
    tDriverSimulator simulator;
    ASSERT_TRUE(simulator.ready()) << simulator.startError();
    tDaemonProcess daemon({writePidFile("idle.pid", "")});
    ASSERT_TRUE(waitForRegistration(simulator));

    // Forced: the connection to the simulator is cut even though the daemon holds the node
    // open, and the mount is detached. The simulator's file system loop ends with it.
    ASSERT_EQ(umount2("/proc/driver", MNT_FORCE | MNT_DETACH), 0) << std::strerror(errno);
    EXPECT_NE(access("/proc/driver/qv", F_OK), 0);
    simulator.stop();
    EXPECT_EQ(simulator.command({"release"}).exitStatus, 1);

    EXPECT_TRUE(staysIdle(daemon, 3));
    EXPECT_TRUE(endsAtOnceOnSigterm(daemon));
    EXPECT_EQ(daemon.output(), "");
}

// The daemon's socket holds a few hundred messages. A user-space sender, as the simulator and
// this test are, is refused with EAGAIN once it is full; the kernel flags an overrun on the
// receiving socket (ENOBUFS, which the daemon passes over) only for messages it sends itself. So
// here the flood fills the socket, the excess is refused at the sender, and the daemon must
// handle every message that was delivered: one sweep each, then go on waiting.
TEST_F(faultInjectionTest, FloodDuringASweepIsHandledMessageByMessage) {
    tDriverSimulator simulator;
    ASSERT_TRUE(simulator.ready()) << simulator.startError();
    tVictim victim(path("victim.pid"));
    tDaemonProcess daemon({path("victim.pid")});
    ASSERT_TRUE(waitForRegistration(simulator));
    const uint32_t port = registeredPort(simulator);
    ASSERT_NE(port, 0u);

    tReadCounter reads(path("victim.pid"));
    ASSERT_EQ(simulator.command({"notify"}).exitStatus, 0);
    const int64_t signalled = victim.waitForSigterm(kSigtermTimeoutMs);
    ASSERT_NE(signalled, 0);
    // The sweep now sleeps its second. Later sweeps find an empty pid file and do not pause,
    // so the backlog drains quickly.
    writePidFile("victim.pid", "");

    const tNetlinkSender sender;
    ASSERT_TRUE(sender.ready()) << std::strerror(errno);
    const std::vector<unsigned char> message = notificationMessage();
    long delivered = 0;
    long refused = 0;
    for (int attempt = 0; attempt < 20000 && refused < 100; ++attempt) {
        if (sender.send(port, message.data(), message.size(), MSG_DONTWAIT)) {
            ++delivered;
        } else {
            ASSERT_EQ(errno, EAGAIN) << std::strerror(errno);
            ++refused;
        }
    }
    const int64_t flooded = monotonicNanoseconds();
    EXPECT_LT(flooded - signalled, kSecond) << "the flood did not arrive within the pause";
    EXPECT_EQ(refused, 100) << "the socket never filled up";
    EXPECT_GT(delivered, 10);
    RecordProperty("delivered", std::to_string(delivered));

    // The first notification's sweep plus one per delivered message, and no more.
    EXPECT_EQ(reads.waitFor(1 + delivered, 20000), 1 + delivered);
    EXPECT_TRUE(staysIdle(daemon, 1));
    EXPECT_EQ(reads.waitFor(2 + delivered, 0), 1 + delivered);

    // Still serving: a release read after the backlog ends it normally.
    ASSERT_EQ(simulator.command({"release"}).exitStatus, 0);
    EXPECT_EQ(daemon.waitForExit(kExitTimeoutMs), 0);
    EXPECT_LT(cpuSeconds(daemon.pid()), 1.0);
    EXPECT_EQ(daemon.output(), "");
}

TEST_F(faultInjectionTest, StopAndContinueWhileWaitingCausesNoExitAndNoLostEvent) {
    tDriverSimulator simulator;
    ASSERT_TRUE(simulator.ready()) << simulator.startError();
    tVictim victim(path("victim.pid"));
    tDaemonProcess daemon({path("victim.pid")});
    ASSERT_TRUE(waitForRegistration(simulator));

    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(kill(daemon.pid(), SIGSTOP), 0);
        ASSERT_TRUE(waitForState(daemon.pid(), 'T'));
        usleep(200000);
        ASSERT_EQ(kill(daemon.pid(), SIGCONT), 0);
        ASSERT_TRUE(waitForState(daemon.pid(), 'S'));
    }
    EXPECT_TRUE(staysIdle(daemon, 2));

    // A notification that arrives while the daemon is stopped waits in its socket.
    ASSERT_EQ(kill(daemon.pid(), SIGSTOP), 0);
    ASSERT_TRUE(waitForState(daemon.pid(), 'T'));
    ASSERT_EQ(simulator.command({"notify"}).exitStatus, 0);
    EXPECT_EQ(victim.waitForSigterm(1000), 0);
    ASSERT_EQ(kill(daemon.pid(), SIGCONT), 0);
    EXPECT_NE(victim.waitForSigterm(kSigtermTimeoutMs), 0);

    ASSERT_EQ(simulator.command({"release"}).exitStatus, 0);
    EXPECT_EQ(daemon.waitForExit(kExitTimeoutMs), 0);
    EXPECT_EQ(daemon.output(), "");
}

// A wait that ends without an event, on an error or hang-up condition alone, and a wake byte
// (nothing in the daemon writes one) both end the run with exit status 1 after unregistering,
// and the daemon does not poll again: a raised condition would make it spin at real-time priority.
TEST_F(faultInjectionTest, WaitEndedByHangupOrWakeEndsWithOneAfterUnregisteringWithoutSpinning) {
    for (const std::string mode : {"hangup", "wake"}) {
        tDriverSimulator simulator;
        ASSERT_TRUE(simulator.ready()) << simulator.startError();
        const std::string polls = path("polls-" + mode);
        tDaemonProcess daemon({writePidFile("a.pid", "")},
                              {"env", "LD_PRELOAD=" QV_POLL_SHIM_PATH, "QV_POLL_SHIM=" + mode,
                               "QV_POLL_COUNT=" + polls, "ASAN_OPTIONS=verify_asan_link_order=0"});
        EXPECT_EQ(daemon.waitForExit(kExitTimeoutMs), 1) << mode;

        const std::vector<std::string> log = simulator.log();
        EXPECT_EQ(std::count_if(log.begin(), log.end(),
                                [](const std::string& line) {
                                    return contains(line, "unregister node=/qv/dev0/node");
                                }),
                  1)
            << mode;
        std::ifstream count(polls);
        int calls = 0;
        count >> calls;
        EXPECT_EQ(calls, 1) << mode;
        EXPECT_EQ(daemon.output(), "");
    }
}

TEST_F(faultInjectionTest, PidFileOfAnExitedProcessIsSignalledInVainAndTheDaemonGoesOn) {
    // A process that has exited and been reaped. Process ids are handed out cyclically, so
    // this one is not reused during the few seconds of the test.
    const pid_t exited = fork();
    ASSERT_GE(exited, 0);
    if (exited == 0) {
        _exit(0);
    }
    ASSERT_EQ(waitpid(exited, nullptr, 0), exited);
    const std::string gone = writePidFile("gone.pid", std::to_string(exited) + "\n");

    tDriverSimulator simulator;
    ASSERT_TRUE(simulator.ready()) << simulator.startError();
    auto victim = std::make_unique<tVictim>(path("victim.pid"));
    tDaemonProcess daemon({gone, path("victim.pid")});
    ASSERT_TRUE(waitForRegistration(simulator));

    ASSERT_EQ(kill(exited, 0), -1);
    ASSERT_EQ(errno, ESRCH);
    const int64_t notified = monotonicNanoseconds();
    ASSERT_EQ(simulator.command({"notify"}).exitStatus, 0);
    const int64_t stopped = victim->waitForSigterm(kSigtermTimeoutMs);
    ASSERT_NE(stopped, 0);
    // The failed signal to the exited process is still followed by its pause.
    EXPECT_GE(stopped - notified, kSecond - 20 * kMillisecond);
    EXPECT_TRUE(daemon.running());

    // Later notifications are still handled, with the pid file read afresh.
    victim = std::make_unique<tVictim>(path("victim.pid"));
    ASSERT_EQ(simulator.command({"notify"}).exitStatus, 0);
    EXPECT_NE(victim->waitForSigterm(kSigtermTimeoutMs), 0);

    ASSERT_EQ(simulator.command({"release"}).exitStatus, 0);
    EXPECT_EQ(daemon.waitForExit(kExitTimeoutMs), 0);
    EXPECT_EQ(daemon.output(), "");
}

// A huge pid file, of digits or of blanks before a number, costs at most 4 KiB of reading at
// real-time priority and no pause; one that a foreign group may write to is not even opened.
TEST_F(faultInjectionTest, HugePidFileIsSkippedAfterAtMostFourKilobytesWithoutASignal) {
    constexpr size_t kHugeSize = 64 << 20;
    constexpr gid_t kForeignGroup = 100;
    struct tHugeFile {
        char filler;
        bool groupWritable;
    };
    for (const auto [filler, groupWritable] :
         {tHugeFile{'7', false}, tHugeFile{'\n', false}, tHugeFile{'\n', true}}) {
        {
            std::ofstream huge(path("huge.pid"), std::ios::binary | std::ios::trunc);
            const std::string block(1 << 20, filler);
            for (size_t written = 0; written < kHugeSize; written += block.size()) {
                huge << block;
            }
            huge << "42\n";
            ASSERT_TRUE(huge.good());
        }
        chmod(path("huge.pid").c_str(), groupWritable ? 0664 : 0644);
        chown(path("huge.pid").c_str(), 0, groupWritable ? kForeignGroup : 0);

        tDriverSimulator simulator;
        ASSERT_TRUE(simulator.ready()) << simulator.startError();
        tVictim victim(path("victim.pid"));
        const std::string trace = path("trace");
        // LeakSanitizer cannot run under a tracer, so a sanitizer build goes without it here.
        tDaemonProcess daemon({path("huge.pid"), path("victim.pid")},
                              {"strace", "-qq", "-o", trace, "-E", "ASAN_OPTIONS=detect_leaks=0",
                               "-e", "trace=openat,openat2,read,close,kill"});
        ASSERT_TRUE(waitForRegistration(simulator));

        ASSERT_EQ(simulator.command({"notify"}).exitStatus, 0);
        const int64_t sent = monotonicNanoseconds();
        const int64_t stopped = victim.waitForSigterm(kSigtermTimeoutMs);
        ASSERT_NE(stopped, 0);
        // No pause was taken for the huge file, which comes first: it was skipped.
        EXPECT_LT(stopped - sent, kSecond);

        ASSERT_EQ(simulator.command({"release"}).exitStatus, 0);
        EXPECT_EQ(daemon.waitForExit(kExitTimeoutMs), 0);

        // From the trace: the bytes read through every descriptor opened for reading on the huge
        // file (the path walk opens each component with O_PATH, which reads nothing), and every
        // signal sent.
        std::ifstream traced(trace);
        ASSERT_TRUE(traced.good()) << "strace is needed for this test";
        // The walk opens the file with O_PATH, then for reading by name with openat2.
        std::string line;
        std::string hugeDescriptor;
        long hugeBytes = 0;
        int hugeOpens = 0;
        std::vector<std::string> kills;
        while (std::getline(traced, line)) {
            const size_t result = line.rfind(") = ");
            if (line.rfind("openat2(", 0) == 0 && contains(line, "\"huge.pid\"") &&
                contains(line, "O_RDONLY") && result != std::string::npos) {
                hugeDescriptor = line.substr(result + 4);
                ++hugeOpens;
            } else if (!hugeDescriptor.empty() &&
                       line.rfind("read(" + hugeDescriptor + ",", 0) == 0 &&
                       result != std::string::npos) {
                hugeBytes += std::stol(line.substr(result + 4));
            } else if (!hugeDescriptor.empty() &&
                       line.rfind("close(" + hugeDescriptor + ")", 0) == 0) {
                hugeDescriptor.clear();
            } else if (line.rfind("kill(", 0) == 0) {
                kills.push_back(line);
            }
        }
        if (groupWritable) {
            // Refused by its mode before it is opened for reading.
            EXPECT_EQ(hugeOpens, 0) << "an untrusted file was opened";
            EXPECT_EQ(hugeBytes, 0) << "an untrusted file was read";
        } else {
            EXPECT_EQ(hugeOpens, 2) << "one check at start-up and one sweep";
            EXPECT_GT(hugeBytes, 0);
            EXPECT_LE(hugeBytes, 4096) << "read far into the file";
        }
        ASSERT_EQ(kills.size(), 1u);
        EXPECT_EQ(kills[0].rfind("kill(" + std::to_string(victim.pid()) + ", SIGTERM)", 0), 0u)
            << kills[0];
        EXPECT_EQ(daemon.output(), "");
    }
}

}  // namespace
}  // namespace nQUORVAMONITORD_18_5
