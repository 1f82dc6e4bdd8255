// quorvamonitord-check: judges pid files as the daemon does and says, for each, whether the
// daemon would use it and what it names, or why not.
#pragma once

namespace nQUORVAMONITORD_18_5 {

// The command's entry routine; returns its exit status: 0 when every file would be used, 1 when
// one would not, 2 on a usage error.
int runCheck(int argc, char** argv);

}  // namespace nQUORVAMONITORD_18_5
