// quorvamonitord-check as an integrator runs it: the line it prints for each pid file, its exit
// status, and what the unit's privileges change. (Every row of the trust table also runs it,
// beside the daemon's own judgement; the unit's pre-start step runs it on a user's FUSE path.)
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/tChildProcess.h"

namespace nQUORVAMONITORD_18_5 {
namespace {

constexpr uid_t kNobody = 65534;

class runCheckTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(geteuid(), 0u) << "the command runs as root";
        char dirTemplate[] = "/tmp/qvcheck.XXXXXX";
        ASSERT_NE(mkdtemp(dirTemplate), nullptr);
        dir_ = dirTemplate;
        // Readable by everyone, as /run is: the files below are judged, not this directory.
        ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string file(const std::string& name, const std::string& text, uid_t owner = 0) {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path) << text;
        EXPECT_EQ(chown(path.c_str(), owner, owner), 0);
        return path;
    }
    std::string directory(const std::string& name, mode_t mode, uid_t owner, gid_t group) {
        const std::string path = dir_ + "/" + name;
        EXPECT_EQ(mkdir(path.c_str(), mode), 0);
        EXPECT_EQ(chown(path.c_str(), owner, group), 0);
        EXPECT_EQ(chmod(path.c_str(), mode), 0);
        return path;
    }

    std::string dir_;
};

TEST_F(runCheckTest, SaysForEachFileWhetherTheDaemonWouldUseItAndWhy) {
    const pid_t nobodys = startWithIds(kNobody, kNobody, kNobody);
    ASSERT_GT(nobodys, 0);
    const std::string nobody = std::to_string(nobodys);
    const std::string self = std::to_string(getpid());
    directory("staff", 0775, 0, 100);
    directory("home", 0755, kNobody, kNobody);
    directory("private", 0700, kNobody, kNobody);
    ASSERT_EQ(symlink("/proc/1/stat", (dir_ + "/proc.pid").c_str()), 0);
    const std::string group = getgrgid(100) != nullptr ? getgrgid(100)->gr_name : "";
    struct tCase {
        std::string pidFile;
        std::string line;  // after "pid file PATH "
        bool used;
    };
    const std::vector<tCase> cases = {
        {file("root.pid", self + "\n"),
         "is used for any process: it names process " + self +
             " (user root), which would get SIGTERM",
         true},
        {file("home/main.pid", nobody, kNobody),
         "is used for processes of user nobody only (they control " + dir_ +
             "/home): it names process " + nobody + " (user nobody), which would get SIGTERM",
         true},
        {file("staff/a.pid", self),
         "will be skipped: " + dir_ + "/staff is writable by group " + group + " (mode 0775)",
         false},
        {dir_ + "/proc.pid",
         "will be dropped at start-up: /proc is on proc, a file system the daemon does not read",
         false},
        {file("home/root.pid", self, kNobody),
         "will be skipped: it names process " + self +
             " of user root, but only processes of user nobody may be named (they control " + dir_ +
             "/home)",
         false},
        {file("home/other.pid", nobody, kNobody - 1),
         "will be skipped: two users control its way: user nobody at " + dir_ +
             "/home, and uid 65533 at " + dir_ + "/home/other.pid",
         false},
        {dir_ + "/home/..",
         "will be dropped at start-up: " + dir_ + " is a directory, not a regular file", false},
        {file("private/main.pid", nobody, kNobody),
         "will be dropped at start-up: " + dir_ +
             "/private/main.pid cannot be opened (Permission denied)",
         false},
    };
    std::vector<std::string> argv = {QV_CHECK_PATH};
    std::string expected;
    for (const tCase& each : cases) {
        const tCommandResult one = tChildProcess::run({QV_CHECK_PATH, each.pidFile}, 10000);
        EXPECT_EQ(one.output, "pid file " + each.pidFile + " " + each.line + "\n");
        EXPECT_EQ(one.exitStatus, each.used ? 0 : 1) << each.pidFile;
        argv.push_back(each.pidFile);
        expected += each.used ? "" : "pid file " + each.pidFile + " " + each.line + "\n";
    }

    // All at once: 1, as one would not be used; --problems prints only the files not used.
    argv.insert(argv.begin() + 1, "--problems");
    const tCommandResult all = tChildProcess::run(argv, 10000);
    EXPECT_EQ(all.exitStatus, 1);
    EXPECT_EQ(all.output, expected);

    // With all of root's privileges, a file in a directory closed to others is readable, as the
    // daemon started by hand would find it.
    const tCommandResult fullRoot =
        tChildProcess::run({QV_CHECK_PATH, "--full-root", cases.back().pidFile}, 10000);
    EXPECT_EQ(fullRoot.exitStatus, 0);
    EXPECT_NE(fullRoot.output.find(" is used for processes of user nobody only"), std::string::npos)
        << fullRoot.output;
    kill(nobodys, SIGKILL);
    waitpid(nobodys, nullptr, 0);
}

// What a user chose (a directory's or a file's name, a link's text) is printed with every byte
// that does not print escaped, and the backslash too: one line per file, none that moves the
// terminal or poses as another. Printable UTF-8 stays as it is.
TEST_F(runCheckTest, EscapesEveryByteThatDoesNotPrint) {
    struct tName {
        std::string raw;
        std::string printed;
    };
    const std::vector<tName> names = {
        {"a\nb", "a\\nb"},
        {"\rc\td", "\\rc\\td"},
        {"\x1b[2J\x1b]0;root\x07", "\\x1b[2J\\x1b]0;root\\x07"},
        {"\x01\x7f", "\\x01\\x7f"},
        {"back\\slash", "back\\\\slash"},
        {"\xfc\x80\x80\x80", "\\xfc\\x80\\x80\\x80"},        // a lead byte UTF-8 no longer has
        {"\xc3(", "\\xc3("},                                 // a sequence cut short
        {"\xe0\x83\xa9", "\\xe0\\x83\\xa9"},                 // an overlong e-acute
        {"\xed\xa0\x80", "\\xed\\xa0\\x80"},                 // a surrogate
        {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},        // past U+10FFFF
        {"\xc2\x9bm", "\\xc2\\x9bm"},                        // the C1 control CSI
        {"\xe2\x80\xaezyx", "\\xe2\\x80\\xaezyx"},           // right-to-left override
        {"\xe2\x81\xa6zyx", "\\xe2\\x81\\xa6zyx"},           // left-to-right isolate
        {"\xc3\xa9t\xc3\xa9 \xe2\x9c\x93 \xf0\x9f\x90\x8d",  // valid, printable
         "\xc3\xa9t\xc3\xa9 \xe2\x9c\x93 \xf0\x9f\x90\x8d"},
    };
    std::vector<std::string> argv = {QV_CHECK_PATH};
    std::string expected;
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string& raw = names[i].raw;
        const std::string& printed = names[i].printed;
        // A directory and, in it, a file writable by everyone, both of that name; a link to it.
        directory(raw, 0755, 0, 0);
        file(raw + "/" + raw, "1\n");
        ASSERT_EQ(chmod((dir_ + "/" + raw + "/" + raw).c_str(), 0666), 0);
        const std::string link = dir_ + "/link" + std::to_string(i);
        ASSERT_EQ(symlink((raw + "/" + raw).c_str(), link.c_str()), 0);
        const std::string reason = " will be skipped: " + dir_ + "/" + printed + "/" + printed +
                                   " is writable by everyone (mode 0666)\n";
        argv.insert(argv.end(), {dir_ + "/" + raw + "/" + raw, link});
        expected += "pid file " + dir_ + "/" + printed + "/" + printed + reason;
        expected += "pid file " + link + reason;
    }
    const tCommandResult result = tChildProcess::run(argv, 10000);
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.output, expected);
}

TEST_F(runCheckTest, UsageErrorsEndWithTwo) {
    const std::string pidFile = file("root.pid", "1\n");
    EXPECT_EQ(tChildProcess::run({QV_CHECK_PATH}, 10000).exitStatus, 2);
    EXPECT_EQ(tChildProcess::run({QV_CHECK_PATH, "--bogus", pidFile}, 10000).exitStatus, 2);
    const tCommandResult asNobody =
        tChildProcess::run({"/usr/bin/setpriv", "--reuid=65534", QV_CHECK_PATH, pidFile}, 10000);
    EXPECT_EQ(asNobody.exitStatus, 2);
    EXPECT_EQ(asNobody.output, "");
    EXPECT_EQ(tChildProcess::run({QV_CHECK_PATH, "--", pidFile}, 10000).exitStatus, 0);
}

// Where root lacks a capability of the unit's (CAP_SYS_NICE in a container), the command keeps
// what it has of them and judges. Output it cannot write ends it with 2 and says so, never 0: on
// a full device, and to a reader that has gone (which would otherwise end it by SIGPIPE).
TEST_F(runCheckTest, RunsWithoutCapSysNiceAndFailsAloudWhenItCannotWrite) {
    const std::string pidFile = file("root.pid", std::to_string(getpid()));
    const tCommandResult withoutNice = tChildProcess::run(
        {"/usr/bin/setpriv", "--bounding-set=-sys_nice", QV_CHECK_PATH, pidFile}, 10000);
    EXPECT_EQ(withoutNice.exitStatus, 0) << withoutNice.errors;

    const std::string toFull = "exec \"$0\" \"$@\" >/dev/full";
    const std::string toClosedPipe =
        "import os, subprocess, sys\n"
        "reader, writer = os.pipe()\n"
        "os.close(reader)\n"
        "sys.exit(subprocess.run(sys.argv[1:], stdout=writer).returncode)\n";
    const std::vector<std::vector<std::string>> cannotWrite = {
        {"/bin/sh", "-c", toFull, QV_CHECK_PATH, pidFile},
        {"/bin/sh", "-c", toFull, QV_CHECK_PATH, "--help"},
        {"/usr/bin/python3", "-c", toClosedPipe, QV_CHECK_PATH, pidFile},
    };
    for (const std::vector<std::string>& argv : cannotWrite) {
        const tCommandResult result = tChildProcess::run(argv, 10000);
        EXPECT_EQ(result.exitStatus, 2) << argv.back();
        EXPECT_EQ(result.errors.rfind("quorvamonitord-check: writing its output: ", 0), 0u)
            << result.errors;
    }
}

}  // namespace
}  // namespace nQUORVAMONITORD_18_5
