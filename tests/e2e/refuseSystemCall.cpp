// Runs a command under a system-call filter that answers one system call with an error, as an
// older filter that does not know the call does (systemd's SystemCallFilter=, a container's).
//
//   refuseSystemCall NUMBER ERRNO COMMAND [ARGUMENT...]
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: refuseSystemCall NUMBER ERRNO COMMAND [ARGUMENT...]\n");
        return 2;
    }
    const auto number = static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10));
    const auto error = static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10));
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, number, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (error & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program{sizeof filter / sizeof filter[0], filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
        std::perror("refuseSystemCall: seccomp");
        return 1;
    }
    execvp(argv[3], argv + 3);
    std::perror("refuseSystemCall: exec");
    return 1;
}
