// The built daemon's command-line stage, run as a separate process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/sanitizedBuild.h"

namespace {

#if defined(QV_SANITIZED_BUILD)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// In a sanitizer build the runtime reads /proc/self/maps, cmdline and environ before main runs;
// those opens are not the daemon's.
bool isSanitizerRuntimeOpen(const std::string& traceLine) {
    return kSanitized && traceLine.find("\"/proc/self/") != std::string::npos;
}

struct tRun {
    int exitStatus = -1;
    std::string output;  // standard output and standard error together
};

// Runs argv (argv[0] is the program) with stdout and stderr captured into one file.
tRun runCaptured(const std::vector<std::string>& args) {
    char outTemplate[] = "/tmp/qvout.XXXXXX";
    const int out = mkstemp(outTemplate);
    tRun run;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        std::vector<char*> argv;
        for (const auto& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::ifstream file(outTemplate);
    std::stringstream text;
    text << file.rdbuf();
    run.output = text.str();
    close(out);
    unlink(outTemplate);
    return run;
}

TEST(runDaemonTest, NoArgumentsExitsOneSilently) {
    const tRun run = runCaptured({QV_DAEMON_PATH});
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.output, "");
}

TEST(runDaemonTest, OnlyMissingPidFilesExitOneSilently) {
    const tRun run = runCaptured({QV_DAEMON_PATH, "/nonexistent/a.pid", "/nonexistent/b.pid", ""});
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.output, "");
}

TEST(runDaemonTest, WithoutUsablePidFilesNothingUnderProcIsOpened) {
    if (access("/usr/bin/strace", X_OK) != 0) {
        FAIL() << "strace is needed for this test";
    }
    char traceTemplate[] = "/tmp/qvtrace.XXXXXX";
    close(mkstemp(traceTemplate));
    const tRun run = runCaptured({"/usr/bin/strace", "-f", "-qq", "-o", traceTemplate, "-e",
                                  "trace=open,openat,openat2,stat,newfstatat,statx", QV_DAEMON_PATH,
                                  "/nonexistent/a.pid"});
    EXPECT_EQ(run.exitStatus, 1);
    std::ifstream trace(traceTemplate);
    std::string line;
    bool sawPidFile = false;
    while (std::getline(trace, line)) {
        // The walk may read its own mount table to judge the mounts on the way; the driver's
        // tree and other processes stay untouched.
        if (!isSanitizerRuntimeOpen(line) &&
            line.find("\"/proc/self/mountinfo\"") == std::string::npos) {
            EXPECT_EQ(line.find("/proc"), std::string::npos) << line;
        }
        // The pid file's path is walked one component at a time.
        sawPidFile = sawPidFile || line.find("\"nonexistent\"") != std::string::npos;
    }
    EXPECT_TRUE(sawPidFile) << "the trace did not capture the daemon's own calls";
    unlink(traceTemplate);
}

}  // namespace
