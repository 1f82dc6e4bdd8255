// A process held by a pidfd. A signal sent through the hold reaches that process or, once it has
// ended, none, even when its id has passed to another process since; so what is read by its id
// after the hold and the signal concern the same process, or the signal fails.
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
