// Preloaded into the daemon by faultInjectionTest to end its wait in ways no driver causes.
// QV_POLL_SHIM=hangup: poll on the two descriptors of the wait reports an error and hang-up
// condition on the socket alone, as long as it is asked (a condition that stays raised).
// QV_POLL_SHIM=wake: before the first such poll, a byte is written to the wake pipe, as the
// reader's wake would. Every such poll is counted into the file QV_POLL_COUNT.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int gWakeWrite = -1;
int gPolls = 0;

void recordPoll() {
    ++gPolls;
    const char* path = std::getenv("QV_POLL_COUNT");
    const int fd = path == nullptr ? -1 : ::open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
        char text[16];
        const int length = std::snprintf(text, sizeof text, "%d", gPolls);
        (void)!::write(fd, text, static_cast<size_t>(length));
        ::close(fd);
    }
}

bool mode(const char* name) {
    const char* chosen = std::getenv("QV_POLL_SHIM");
    return chosen != nullptr && std::strcmp(chosen, name) == 0;
}

}  // namespace

extern "C" int pipe(int ends[2]) {
    static auto* real = reinterpret_cast<int (*)(int*)>(::dlsym(RTLD_NEXT, "pipe"));
    const int result = real(ends);
    if (result == 0) {
        gWakeWrite = ends[1];  // the reader's wake pipe is the only pipe the daemon makes
    }
    return result;
}

extern "C" int poll(pollfd* entries, nfds_t count, int timeoutMs) {
    static auto* real = reinterpret_cast<int (*)(pollfd*, nfds_t, int)>(::dlsym(RTLD_NEXT, "poll"));
    if (count != 2) {
        return real(entries, count, timeoutMs);
    }
    recordPoll();
    if (mode("hangup")) {
        entries[0].revents = POLLERR | POLLHUP;
        entries[1].revents = 0;
        return 1;
    }
    if (mode("wake") && gPolls == 1) {
        (void)!::write(gWakeWrite, "q", 1);
    }
    return real(entries, count, timeoutMs);
}
