#include "tools/qvdriversim/tControlClient.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/qvdriversim/controlAddress.h"
#include "tools/qvdriversim/tControlRequest.h"

namespace nQUORVAMONITORD_18_5 {
namespace nQVDRIVERSIM {

namespace {

constexpr int kReplyTimeoutMs = 10000;

bool writeAll(int descriptor, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t count =
            ::send(descriptor, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return false;
        }
        done += static_cast<size_t>(count);
    }
    return true;
}

bool readAll(int descriptor, std::string& text) {
    char buffer[4096];
    for (;;) {
        pollfd entry{descriptor, POLLIN, 0};
        const int ready = ::poll(&entry, 1, kReplyTimeoutMs);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return false;
        }
        const ssize_t count = ::read(descriptor, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            return false;
        }
        if (count == 0) {
            return true;
        }
        text.append(buffer, static_cast<size_t>(count));
    }
}

}  // namespace

int tControlClient::run(const std::vector<std::string>& args) {
    tControlRequest request;
    std::string controlOption;
    std::string error;
    if (!request.parseArguments(args, controlOption, error)) {
        std::fprintf(stderr, "qvdriversim: %s (see 'qvdriversim help')\n", error.c_str());
        return 2;
    }
    const std::string path = chooseControlPath(controlOption);
    struct stat fileStatus {};
    if (path == kKernelControlPath ||
        (::stat(path.c_str(), &fileStatus) == 0 && S_ISREG(fileStatus.st_mode))) {
        bool done = false;
        std::string text;
        if (!exchangeWithModule(path, request.encode() + "\n", done, text, error)) {
            std::fprintf(stderr, "qvdriversim: %s\n", error.c_str());
            return 1;
        }
        if (done) {
            std::fputs(text.c_str(), stdout);
            return 0;
        }
        std::fprintf(stderr, "qvdriversim: %s", text.c_str());
        return 1;
    }
    std::string reply;
    if (!exchange(path, request.encode() + "\n", reply, error)) {
        std::fprintf(stderr, "qvdriversim: %s\n", error.c_str());
        return 1;
    }
    const size_t newline = reply.find('\n');
    const std::string status = reply.substr(0, newline);
    const std::string text = newline == std::string::npos ? "" : reply.substr(newline + 1);
    if (status == "ok") {
        std::fputs(text.c_str(), stdout);
        return 0;
    }
    std::fprintf(stderr, "qvdriversim: %s", text.c_str());
    return 1;
}

bool tControlClient::exchangeWithModule(const std::string& path, const std::string& line,
                                        bool& done, std::string& reply, std::string& error) {
    const int descriptor = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (descriptor == -1) {
        error = "cannot reach the kernel module at " + path + ": " + std::strerror(errno) +
                " (is qvdrivermod loaded and debugfs mounted?)";
        return false;
    }
    ssize_t written = -1;
    do {
        written = ::write(descriptor, line.data(), line.size());
    } while (written < 0 && errno == EINTR);
    const int writeErrno = errno;
    done = written == static_cast<ssize_t>(line.size());
    const bool complete = readAll(descriptor, reply);
    ::close(descriptor);
    if (!complete) {
        error = "no complete reply from the kernel module at " + path;
        return false;
    }
    if (written < 0 && reply.empty()) {
        reply = std::string("the command failed: ") + std::strerror(writeErrno) + "\n";
    } else if (!done && reply.empty()) {
        reply = "the command was cut short\n";
    }
    return true;
}

bool tControlClient::exchange(const std::string& path, const std::string& line, std::string& reply,
                              std::string& error) {
    sockaddr_un address{};
    if (!makeControlAddress(path, address, error)) {
        return false;
    }
    const int descriptor = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (descriptor == -1) {
        error = std::string("cannot create a socket: ") + std::strerror(errno);
        return false;
    }
    bool ok = ::connect(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (!ok) {
        error = "cannot reach the simulator at " + path + ": " + std::strerror(errno) +
                " (is 'qvdriversim serve' running with this control socket?)";
    } else if (!writeAll(descriptor, line) || ::shutdown(descriptor, SHUT_WR) == -1 ||
               !readAll(descriptor, reply)) {
        error = "no complete reply from the simulator at " + path;
        ok = false;
    }
    ::close(descriptor);
    return ok;
}

}  // namespace nQVDRIVERSIM
}  // namespace nQUORVAMONITORD_18_5
