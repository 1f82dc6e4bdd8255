// A child process for tests: started from an argument vector, its output captured, every wait
// bounded, and ended by its pid (SIGTERM, then SIGKILL) if it is still running at the end.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace nQUORVAMONITORD_18_5 {

struct tCommandResult {
    int exitStatus = -1;  // exit code; 128 + signal when killed; -1 when it did not end in time
    std::string output;   // standard output
    std::string errors;   // standard error
};

class tChildProcess {
  public:
    tChildProcess() = default;
    // Stops the child if it still runs.
    ~tChildProcess();
    tChildProcess(const tChildProcess&) = delete;
    tChildProcess& operator=(const tChildProcess&) = delete;

    // Starts argv[0] (a path) with standard output on a pipe and standard error appended to
    // errorsFile. With mountNamespace >= 0 the child first joins that mount namespace.
    bool start(const std::vector<std::string>& argv, const std::string& errorsFile,
               std::string& error, int mountNamespace = -1);

    // Reads standard output until a line equal to `line` arrives, the pipe ends or timeoutMs
    // passes. Everything read is appended to output.
    bool waitForLine(const std::string& line, int timeoutMs, std::string& output);

    // Waits up to timeoutMs for the child to end; true with its exit status (as in
    // tCommandResult) when it did.
    bool waitForExit(int timeoutMs, int& exitStatus);

    // SIGTERM, up to timeoutMs for the child to end, then SIGKILL. Returns the exit status.
    int stop(int timeoutMs);

    pid_t pid() const { return pid_; }
    bool running() const { return pid_ > 0; }

    // Runs a command to its end (bounded by timeoutMs, then killed) and collects its output.
    static tCommandResult run(const std::vector<std::string>& argv, int timeoutMs,
                              int mountNamespace = -1);

  private:
    pid_t pid_ = -1;
    int output_ = -1;
};

// Forks a child that takes these user ids, dumpable again (so /proc/<pid> belongs to its
// effective uid, as for a process that runs so), and the given name if any, then waits for a
// signal. Returns its pid once the ids are set, or -1 when that failed. The caller ends it by its
// pid.
pid_t startWithIds(uid_t real, uid_t effective, uid_t saved, const char* name = nullptr);

}  // namespace nQUORVAMONITORD_18_5
