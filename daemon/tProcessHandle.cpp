#include "daemon/tProcessHandle.h"

#include <errno.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "daemon/readProcessStatus.h"

namespace nQUORVAMONITORD_18_5 {
namespace {

// Through syscall: the C library's own declarations of these lack C linkage in some versions.
int pidfdOpen(int pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0U));
}

}  // namespace

tProcessHandle::~tProcessHandle() {
    if (pidfd_ >= 0) {
        ::close(pidfd_);
    }
}

tReason tProcessHandle::hold(int& pid) {
    pidfd_ = pidfdOpen(pid);
    int error = errno;
    // The kernel refuses a pidfd for a thread that does not lead its thread group (EINVAL until
    // Linux 6.9, ENOENT since): the thread's process is held instead, and it is that process
    // whose ids are then read and that is signalled.
    if (pidfd_ < 0 && (error == EINVAL || error == ENOENT)) {
        tProcessStatus status;
        if (!readProcessStatus(pid, status) || status.tgid == pid) {
            return tReason::kProcessGone;
        }
        pid = status.tgid;
        pidfd_ = pidfdOpen(pid);
        error = errno;
    }
    if (pidfd_ >= 0) {
        return tReason::kUsed;
    }
    return error == ESRCH ? tReason::kProcessGone : tReason::kUnreachable;
}

void tProcessHandle::terminate() const {
    (void)::syscall(SYS_pidfd_send_signal, pidfd_, SIGTERM, nullptr, 0U);
}

}  // namespace nQUORVAMONITORD_18_5
