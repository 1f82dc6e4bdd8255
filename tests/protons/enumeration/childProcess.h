// Test helper: runs a function in a forked child, optionally without root's privileges, and
// gives back its exit status. The child leaves with _exit so the parent's test state (and its
// buffered output) is not run or flushed twice.
#pragma once

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

namespace nQUORVAMONITORD_18_5::nZORFEL000 {

// Exit status a child reports when it could not give up its privileges.
inline constexpr int kChildSetupFailed = 120;
// Exit status reported when the child did not end normally (a signal, or waitpid failed).
inline constexpr int kChildAbnormal = -1;

// Runs body() in a child as user and group 65534 (nobody) when dropPrivileges is set, and
// returns the value body() returned (0..119 by convention) as the child's exit status.
template <typename tBody>
int runInChild(bool dropPrivileges, tBody body) {
    const pid_t child = fork();
    if (child == -1) {
        return kChildAbnormal;
    }
    if (child == 0) {
        if (dropPrivileges &&
            (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
            _exit(kChildSetupFailed);
        }
        _exit(body());
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
        return kChildAbnormal;
    }
    return WEXITSTATUS(status);
}

}  // namespace nQUORVAMONITORD_18_5::nZORFEL000
