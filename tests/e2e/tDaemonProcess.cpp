#include "tests/e2e/tDaemonProcess.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace nQUORVAMONITORD_18_5 {

tDaemonProcess::tDaemonProcess(const std::vector<std::string>& args,
                               const std::vector<std::string>& prefix) {
    char outputTemplate[] = "/tmp/qvdaemon-out.XXXXXX";
    const int output = mkstemp(outputTemplate);
    outputPath_ = outputTemplate;

    std::vector<std::string> command = prefix;
    command.push_back(QV_DAEMON_PATH);
    command.insert(command.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& word : command) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    pid_ = fork();
    if (pid_ == 0) {
        setpgid(0, 0);
        dup2(output, STDOUT_FILENO);
        dup2(output, STDERR_FILENO);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    // Also here, so that the group exists before the constructor returns.
    if (pid_ > 0) {
        setpgid(pid_, pid_);
    }
    close(output);
}

tDaemonProcess::~tDaemonProcess() {
    if (pid_ > 0) {
        // The group outlives its leader while the traced daemon runs.
        kill(-pid_, SIGKILL);
        waitForExit(5000);
    }
    unlink(outputPath_.c_str());
}

int tDaemonProcess::waitForExit(int timeoutMs) {
    for (int waited = 0; exitStatus_ < 0; waited += 5) {
        int status = 0;
        const pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (done < 0 || waited >= timeoutMs) {
            break;
        }
        usleep(5000);
    }
    return exitStatus_;
}

bool tDaemonProcess::running() {
    return pid_ > 0 && waitForExit(0) < 0;
}

std::string tDaemonProcess::output() const {
    std::ifstream file(outputPath_);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace nQUORVAMONITORD_18_5
