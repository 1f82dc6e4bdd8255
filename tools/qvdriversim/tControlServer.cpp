#include "tools/qvdriversim/tControlServer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/qvdriversim/controlAddress.h"

namespace nQUORVAMONITORD_18_5 {
namespace nQVDRIVERSIM {

namespace {

constexpr size_t kMaxRequestSize = 1 << 20;
constexpr int kRequestTimeoutMs = 5000;

std::string systemError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// Reads up to the first newline; false on timeout, error or an oversized request.
bool readLine(int connection, std::string& line) {
    char buffer[4096];
    while (line.find('\n') == std::string::npos) {
        pollfd entry{connection, POLLIN, 0};
        const int ready = ::poll(&entry, 1, kRequestTimeoutMs);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return false;
        }
        const ssize_t count = ::read(connection, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            break;
        }
        line.append(buffer, static_cast<size_t>(count));
        if (line.size() > kMaxRequestSize) {
            return false;
        }
    }
    line = line.substr(0, line.find('\n'));
    return true;
}

void writeAll(int connection, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t count =
            ::send(connection, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return;
        }
        done += static_cast<size_t>(count);
    }
}

}  // namespace

tControlServer::~tControlServer() {
    if (thread_.joinable()) {
        const char byte = 'q';
        while (::write(stopWrite_, &byte, 1) < 0 && errno == EINTR) {
        }
        thread_.join();
    }
    for (int descriptor : {socket_, stopRead_, stopWrite_}) {
        if (descriptor != -1) {
            ::close(descriptor);
        }
    }
    if (socket_ != -1) {
        ::unlink(path_.c_str());
    }
}

bool tControlServer::listen(const std::string& path, std::string& error) {
    sockaddr_un address{};
    if (!makeControlAddress(path, address, error)) {
        return false;
    }
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe == -1) {
        error = systemError("cannot create a socket");
        return false;
    }
    const bool answered =
        ::connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(probe);
    if (answered) {
        error = "another simulator is already listening on " + path;
        return false;
    }
    if (::unlink(path.c_str()) == -1 && errno != ENOENT) {
        error = systemError("cannot remove the old socket " + path);
        return false;
    }
    const int descriptor = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (descriptor == -1) {
        error = systemError("cannot create the control socket");
        return false;
    }
    if (::bind(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) == -1 ||
        ::listen(descriptor, 16) == -1) {
        error = systemError("cannot listen on " + path);
        ::close(descriptor);
        return false;
    }
    socket_ = descriptor;
    path_ = path;
    return true;
}

bool tControlServer::start(std::string& error) {
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) == -1) {
        error = systemError("cannot create a pipe");
        return false;
    }
    stopRead_ = pipeEnds[0];
    stopWrite_ = pipeEnds[1];
    sigset_t blocked;
    sigset_t previous;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &blocked, &previous);
    thread_ = std::thread([this] { serve(); });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return true;
}

void tControlServer::serve() {
    for (;;) {
        pollfd entries[2] = {{socket_, POLLIN, 0}, {stopRead_, POLLIN, 0}};
        if (::poll(entries, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (entries[1].revents != 0) {
            return;
        }
        const int connection = ::accept4(socket_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection == -1) {
            continue;
        }
        answer(connection);
        ::close(connection);
    }
}

void tControlServer::answer(int connection) {
    std::string line;
    if (!readLine(connection, line)) {
        writeAll(connection, "error\nincomplete request\n");
        return;
    }
    tControlRequest request;
    std::string reply;
    bool ok = request.decode(line, reply);
    if (ok) {
        ok = driver_.execute(request, reply);
    } else {
        reply += "\n";
    }
    writeAll(connection, (ok ? "ok\n" : "error\n") + reply);
}

}  // namespace nQVDRIVERSIM
}  // namespace nQUORVAMONITORD_18_5
