// What /proc/<pid>/status says of a process: whether pid is a process's own id or a thread's,
// and the real and saved user ids, which decide whether a user could signal it.
#pragma once

#include <sys/types.h>

namespace nQUORVAMONITORD_18_5 {

struct tProcessStatus {
    int tgid = 0;  // the id of the process the thread pid belongs to; pid itself for a process
    uid_t real = 0;
    uid_t saved = 0;
};

// Reads it through a stack buffer; false when the process is gone or its Tgid or Uid line cannot
// be read.
bool readProcessStatus(int pid, tProcessStatus& status);

}  // namespace nQUORVAMONITORD_18_5
