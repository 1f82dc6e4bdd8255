// The end-to-end tests' daemon helper: nothing it started outlives it.
#include "tests/e2e/tDaemonProcess.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace nQUORVAMONITORD_18_5 {
namespace {

// The processes of process group `group`, from /proc.
std::vector<pid_t> membersOf(pid_t group) {
    std::vector<pid_t> members;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::ifstream stat(entry.path() / "stat");
        std::string text;
        std::getline(stat, text);
        // pid (comm) state ppid pgrp ...: read after the command name, which may hold blanks.
        const size_t end = text.rfind(')');
        char state = 0;
        pid_t parent = 0;
        pid_t groupOf = 0;
        if (end != std::string::npos &&
            std::sscanf(text.c_str() + end + 1, " %c %d %d", &state, &parent, &groupOf) == 3 &&
            groupOf == group && state != 'Z') {
            members.push_back(std::stoi(name));
        }
    }
    return members;
}

// Under a tracer the helper's own child is the tracer; ending only it would leave the traced
// program running with parent 1.
TEST(tDaemonProcessTest, EndingItEndsTheTracedProgramToo) {
    std::vector<pid_t> members;
    pid_t group = -1;
    {
        // The daemon's path and arguments land as unused arguments of the shell.
        tDaemonProcess traced(
            {}, {"strace", "-qq", "-o", "/dev/null", "sh", "-c", "sleep 60; true", "sh"});
        group = traced.pid();
        for (int i = 0; i < 500 && (members = membersOf(group)).size() < 3; ++i) {
            usleep(10000);
        }
        ASSERT_EQ(members.size(), 3u) << "strace, the shell and sleep in the helper's group";
    }
    // Killed processes that another parent has yet to reap are not counted.
    for (int i = 0; i < 200 && !membersOf(group).empty(); ++i) {
        usleep(10000);
    }
    EXPECT_TRUE(membersOf(group).empty()) << "a process of the helper's group outlived it";
}

}  // namespace
}  // namespace nQUORVAMONITORD_18_5
