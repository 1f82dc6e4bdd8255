// The daemon's entry routine.
#pragma once

namespace nQUORVAMONITORD_18_5 {

// Runs the daemon with the pid-file paths of the command line and returns its exit status:
// 0 after the driver's release message, 1 after any failure.
int runDaemon(int argc, char** argv);

}  // namespace nQUORVAMONITORD_18_5
