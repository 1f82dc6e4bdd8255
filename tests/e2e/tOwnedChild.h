// A child process the test started by other means, killed and reaped when the test's scope ends,
// also after a failed assertion, unless the test reaped it first.
#pragma once

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>

namespace nQUORVAMONITORD_18_5 {

class tOwnedChild {
  public:
    explicit tOwnedChild(pid_t pid) : pid_(pid) {}
    // waitpid with WNOHANG answers 0 only for a child not yet reaped, whose pid cannot have been
    // reused: only then is it killed.
    ~tOwnedChild() {
        if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    tOwnedChild(const tOwnedChild&) = delete;
    tOwnedChild& operator=(const tOwnedChild&) = delete;

  private:
    pid_t pid_;
};

}  // namespace nQUORVAMONITORD_18_5
