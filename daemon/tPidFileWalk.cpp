#include "daemon/tPidFileWalk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace nQUORVAMONITORD_18_5 {
namespace {

// Opens an entry without following it and without reading it: a FIFO is not waited on, a device
// is not opened, a link is not followed.
constexpr int kEntryFlags = O_PATH | O_NOFOLLOW | O_CLOEXEC;
// Opens the judged regular file for reading. O_NONBLOCK and O_NOCTTY guard against a file that
// was replaced by something else in the meantime; the identity check then rejects it.
constexpr int kReadFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

}  // namespace

tPidFileWalk::tPidFileWalk() : ownUser_(::geteuid()), ownGroup_(::getegid()) {
    pending_[0] = '\0';
    target_[0] = '\0';
}

int tPidFileWalk::openFile(const char* path) {
    untrusted_ = false;
    controllerCount_ = 0;
    controller_ = 0;

    const size_t length = std::strlen(path);
    if (path[0] == '/') {
        if (length >= sizeof pending_) {
            return -1;
        }
        std::memcpy(pending_, path, length + 1);
    } else {
        // The directories above the working directory are walked too.
        if (::getcwd(pending_, sizeof pending_) == nullptr) {
            return -1;
        }
        const size_t base = std::strlen(pending_);
        if (base + 1 + length >= sizeof pending_) {
            return -1;
        }
        pending_[base] = '/';
        std::memcpy(pending_ + base + 1, path, length + 1);
    }

    int directory = -1;
    if (!startAtRoot(directory)) {
        return -1;
    }
    int links = 0;
    char* next = pending_;
    for (;;) {
        while (*next == '/') {
            ++next;
        }
        if (*next == '\0') {
            break;  // the path ends at a directory
        }
        char* end = next;
        while (*end != '\0' && *end != '/') {
            ++end;
        }
        const bool last = *end == '\0';
        const char separator = *end;
        *end = '\0';
        const int entry = ::openat(directory, next, kEntryFlags);
        *end = separator;
        struct stat info {};
        if (entry < 0 || ::fstat(entry, &info) != 0) {
            if (entry >= 0) {
                ::close(entry);
            }
            break;
        }

        if (S_ISLNK(info.st_mode)) {
            // The link's owner chose where it points; its text is walked from here, or from "/".
            noteOwner(info.st_uid);
            const bool substituted = ++links <= kMaxLinks && substituteLink(entry, end);
            ::close(entry);
            if (!substituted) {
                break;
            }
            next = pending_;
            if (*next == '/') {
                ::close(directory);
                if (!startAtRoot(directory)) {
                    return -1;
                }
            }
        } else if (S_ISDIR(info.st_mode) && !last) {
            judge(info);
            ::close(directory);
            directory = entry;
            next = end;
        } else if (S_ISREG(info.st_mode) && last) {
            judge(info);
            // Opened by name again, so it must still be the file judged.
            const int file = ::openat(directory, next, kReadFlags);
            struct stat opened {};
            const bool same = file >= 0 && ::fstat(file, &opened) == 0 && S_ISREG(opened.st_mode) &&
                              opened.st_dev == info.st_dev && opened.st_ino == info.st_ino;
            ::close(entry);
            ::close(directory);
            if (!same) {
                if (file >= 0) {
                    ::close(file);
                }
                return -1;
            }
            return file;
        } else {
            // A directory at the end, a file on the way, a FIFO, a device or a socket.
            ::close(entry);
            break;
        }
    }
    ::close(directory);
    return -1;
}

bool tPidFileWalk::startAtRoot(int& directory) {
    directory = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    struct stat info {};
    if (directory < 0 || ::fstat(directory, &info) != 0) {
        if (directory >= 0) {
            ::close(directory);
        }
        directory = -1;
        return false;
    }
    judge(info);
    return true;
}

void tPidFileWalk::judge(const struct stat& info) {
    noteOwner(info.st_uid);
    // In a sticky directory only an entry's owner (judged with the entry) or the directory's
    // owner may replace the entry.
    const bool sticky = S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX) != 0;
    if (!sticky && othersMayWrite(info)) {
        untrusted_ = true;
    }
}

void tPidFileWalk::noteOwner(uid_t owner) {
    if (owner == 0 || owner == ownUser_) {
        return;
    }
    if (controllerCount_ == 0) {
        controller_ = owner;
        controllerCount_ = 1;
    } else if (owner != controller_) {
        controllerCount_ = 2;
    }
}

bool tPidFileWalk::othersMayWrite(const struct stat& info) const {
    if ((info.st_mode & S_IWOTH) != 0) {
        return true;
    }
    return (info.st_mode & S_IWGRP) != 0 && info.st_gid != 0 && info.st_gid != ownGroup_;
}

bool tPidFileWalk::substituteLink(int link, const char* rest) {
    const ssize_t size = ::readlinkat(link, "", target_, sizeof target_);
    // Empty, unreadable, or possibly cut at the buffer's end.
    if (size <= 0 || static_cast<size_t>(size) >= sizeof target_) {
        return false;
    }
    const size_t targetLength = static_cast<size_t>(size);
    const size_t restLength = std::strlen(rest);
    if (targetLength + restLength >= sizeof pending_) {
        return false;
    }
    std::memcpy(target_ + targetLength, rest, restLength + 1);
    std::memcpy(pending_, target_, targetLength + restLength + 1);
    return true;
}

}  // namespace nQUORVAMONITORD_18_5
