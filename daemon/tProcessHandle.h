// A process held by a pidfd. While it is held its id cannot pass to another process, so what is
// read of it after the hold and the signal sent through the hold concern the same process, or the
// signal fails because that process has ended.
#pragma once

#include "daemon/tVerdict.h"

namespace nQUORVAMONITORD_18_5 {

class tProcessHandle {
  public:
    tProcessHandle() = default;
    ~tProcessHandle();
    tProcessHandle(const tProcessHandle&) = delete;
    tProcessHandle& operator=(const tProcessHandle&) = delete;

    // Takes hold of the process with id pid (positive), or of the process whose thread it is, as
    // kill() would signal it. Returns kUsed with that process's id in pid, kProcessGone, or
    // kUnreachable.
    tReason hold(int& pid);

    // Sends SIGTERM to the process held; its result is not looked at.
    void terminate() const;

  private:
    int pidfd_ = -1;
};

}  // namespace nQUORVAMONITORD_18_5
