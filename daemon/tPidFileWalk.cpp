#include "daemon/tPidFileWalk.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace nQUORVAMONITORD_18_5 {
namespace {

// Opens an entry without following it and without reading it: a FIFO is not waited on, a device
// is not opened, a link is not followed.
constexpr int kEntryFlags = O_PATH | O_NOFOLLOW | O_CLOEXEC;
// Opens the judged regular file for reading. O_NONBLOCK and O_NOCTTY guard against anything but
// a regular file put in its place since; the identity check then rejects it.
constexpr int kReadFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
// Its name is looked up again without following a link or entering a mount.
constexpr uint64_t kReadResolve = RESOLVE_NO_XDEV | RESOLVE_NO_SYMLINKS;
// Answers from the attributes the kernel holds: a FUSE or network file system is never asked.
constexpr int kStatxFlags = AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW | AT_STATX_DONT_SYNC;
constexpr unsigned kStatxMask =
    STATX_TYPE | STATX_MODE | STATX_UID | STATX_GID | STATX_INO | STATX_MNT_ID;

// Local disk and memory file systems whose owners and contents the kernel keeps by itself.
// devtmpfs is the kernel's own tmpfs instance at /dev, on the way to /dev/shm.
constexpr const char* kKeptFileSystems[] = {"btrfs",  "devtmpfs", "ext2",    "ext3",
                                            "ext4",   "f2fs",     "overlay", "ramfs",
                                            "rootfs", "tmpfs",    "xfs",     "zfs"};

// The kernel's form of an access ACL: a little-endian 32-bit version, 2, then 8-byte entries of
// a 16-bit tag, 16-bit permissions and a 32-bit user or group id.
constexpr uint32_t kAclVersion = 2;
constexpr uint16_t kAclUser = 0x02;
constexpr uint16_t kAclGroupObject = 0x04;
constexpr uint16_t kAclGroup = 0x08;
constexpr uint16_t kAclMask = 0x10;
constexpr uint16_t kAclWrite = 0x02;
// Room for 1023 entries; a longer ACL fails to read (ERANGE), which makes the file untrusted.
constexpr size_t kAclBytes = 4 + 8 * 1023;

// What the mount table said of the mounts looked up so far, for as long as the table stays as it
// was: its file, held open, reports every mount and unmount in this mount namespace (poll,
// POLLPRI), and then all is forgotten. A mount id is only reused once its mount is gone.
struct tKnownMount {
    uint64_t id;
    bool kept;
};
constexpr size_t kMostKnownMounts = 16;
tKnownMount gKnownMounts[kMostKnownMounts];
size_t gKnownMountCount = 0;
int gMountTable = -1;

bool describe(int fd, struct statx& info) {
    return ::statx(fd, "", kStatxFlags, kStatxMask, &info) == 0 &&
           (info.stx_mask & kStatxMask) == kStatxMask;
}

// "/proc/self/fd/N": reaches what an O_PATH descriptor refers to, for the calls that take a path.
void selfFdPath(int fd, char (&path)[32]) {
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
}

uint32_t littleEndian(const unsigned char* bytes, int count) {
    uint32_t value = 0;
    for (int i = count - 1; i >= 0; --i) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

bool isKeptType(const char* type, size_t length) {
    for (const char* kept : kKeptFileSystems) {
        if (std::strlen(kept) == length && std::memcmp(kept, type, length) == 0) {
            return true;
        }
    }
    return false;
}

// Looks up the mount with mountId in the mount table open at table (/proc/self/mountinfo), read
// from its start through a stack buffer, and tells whether its file system type is one of the kept
// ones. A line reads "id parent major:minor root mount-point options [optional fields] - type
// source super-options"; the kernel escapes blanks in every field that could hold them, so the
// first " - " ends the optional fields.
bool readMountTable(int table, uint64_t mountId) {
    if (::lseek(table, 0, SEEK_SET) != 0) {
        return false;
    }
    enum class tField { kId, kMiddle, kType, kRest };
    tField field = tField::kId;
    uint64_t id = 0;
    int separator = 0;  // how much of " - " was just seen
    char type[16];
    size_t typeLength = 0;
    bool found = false;
    bool kept = false;
    // A mount table of a few dozen lines comes in one read.
    char chunk[4096];
    while (!found) {
        const ssize_t count = ::read(table, chunk, sizeof chunk);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            break;
        }
        for (ssize_t i = 0; i < count && !found; ++i) {
            const char c = chunk[i];
            switch (field) {
                case tField::kId:
                    if (c >= '0' && c <= '9') {
                        id = id * 10 + static_cast<uint64_t>(c - '0');
                    } else if (c == ' ') {
                        field = tField::kMiddle;
                        separator = 0;
                    } else if (c != '\n') {
                        field = tField::kRest;
                    }
                    break;
                case tField::kMiddle:
                    if (c == '\n') {
                        field = tField::kId;  // no separator: not a line to use
                        id = 0;
                    } else if (c == ' ' && separator == 2) {
                        field = tField::kType;
                        typeLength = 0;
                    } else {
                        separator = c == ' ' ? 1 : (c == '-' && separator == 1 ? 2 : 0);
                    }
                    break;
                case tField::kType:
                    if (c == ' ' || c == '\n') {
                        if (id == mountId) {
                            found = true;
                            kept = typeLength <= sizeof type && isKeptType(type, typeLength);
                        }
                        field = c == '\n' ? tField::kId : tField::kRest;
                        id = 0;
                    } else {
                        if (typeLength < sizeof type) {
                            type[typeLength] = c;
                        }
                        ++typeLength;
                    }
                    break;
                case tField::kRest:
                    if (c == '\n') {
                        field = tField::kId;
                        id = 0;
                    }
                    break;
            }
        }
    }
    return found && kept;
}

// Whether the mount with mountId is on a kept file system. The caller holds a descriptor inside
// that mount, which keeps the id from passing to another mount; and the table's change report is
// taken after the id was, so a mount that took the id of a known one before that is always seen.
bool mountIsKept(uint64_t mountId) {
    if (gMountTable < 0) {
        gMountTable = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
        if (gMountTable < 0) {
            return false;
        }
    } else {
        pollfd changed{gMountTable, POLLPRI, 0};
        if (::poll(&changed, 1, 0) != 0) {
            gKnownMountCount = 0;  // changed, or it cannot be told
        }
    }
    for (size_t i = 0; i < gKnownMountCount; ++i) {
        if (gKnownMounts[i].id == mountId) {
            return gKnownMounts[i].kept;
        }
    }
    const bool kept = readMountTable(gMountTable, mountId);
    if (gKnownMountCount < kMostKnownMounts) {
        gKnownMounts[gKnownMountCount++] = tKnownMount{mountId, kept};
    }
    return kept;
}

}  // namespace

tPidFileWalk::tPidFileWalk() : ownUser_(::geteuid()), ownGroup_(::getegid()) {
    pending_[0] = '\0';
}

tPidFileWalk::tOpened tPidFileWalk::openFile(const char* path) {
    untrusted_ = false;
    controllerCount_ = 0;
    controller_ = 0;
    tOpened opened;
    if (!assemblePath(path) || !startAtRoot()) {
        return opened;
    }
    directory_ = root_;
    directoryMount_ = rootMount_;
    next_ = pending_;
    links_ = 0;
    while (step(opened.fd)) {
    }
    leaveDirectory();
    ::close(root_);
    root_ = -1;

    if (opened.fd >= 0) {
        if (untrusted_ || controllerCount_ > 1) {
            opened.namable = tNamable::kNoOne;
        } else if (controllerCount_ == 1) {
            opened.namable = tNamable::kOneUser;
            opened.controller = controller_;
        } else {
            opened.namable = tNamable::kAnyone;
        }
    }
    return opened;
}

bool tPidFileWalk::step(int& file) {
    while (*next_ == '/') {
        ++next_;
    }
    if (*next_ == '\0') {
        return false;  // the path ends at a directory
    }
    char* end = next_;
    while (*end != '\0' && *end != '/') {
        ++end;
    }
    const bool last = *end == '\0';
    const char separator = *end;
    *end = '\0';
    struct statx info {};
    const int entry = openComponent(directory_, next_, last, info);
    *end = separator;
    if (entry < 0) {
        return false;
    }
    // Settled before the entry is read or anything below it is looked up.
    if (!onKeptFileSystem(info)) {
        ::close(entry);
        return false;
    }

    const mode_t type = info.stx_mode & S_IFMT;
    if (type == S_IFLNK) {
        // The link's owner chose where it points; its text is walked from here, or from "/".
        noteOwner(info.stx_uid);
        const bool substituted = ++links_ <= kMaxLinks && substituteLink(entry, end);
        ::close(entry);
        if (!substituted) {
            return false;
        }
        next_ = pending_;
        if (*next_ == '/') {
            leaveDirectory();
            directory_ = root_;
            directoryMount_ = rootMount_;
        }
        return true;
    }
    if (type == S_IFDIR && !last) {
        judge(entry, info);
        leaveDirectory();
        directory_ = entry;
        directoryMount_ = info.stx_mnt_id;
        next_ = end;
        return true;
    }
    if (type == S_IFREG && last) {
        judge(entry, info);
        file = openJudged(entry, next_, info);
    }
    // Else a directory at the end, a file on the way, a FIFO, a device or a socket.
    ::close(entry);
    return false;
}

void tPidFileWalk::leaveDirectory() {
    if (directory_ != root_) {
        ::close(directory_);
    }
    directory_ = -1;
}

bool tPidFileWalk::assemblePath(const char* path) {
    const size_t length = std::strlen(path);
    if (path[0] == '/') {
        if (length >= sizeof pending_) {
            return false;
        }
        std::memcpy(pending_, path, length + 1);
        return true;
    }
    // The directories above the working directory are walked too.
    if (::getcwd(pending_, sizeof pending_) == nullptr) {
        return false;
    }
    const size_t base = std::strlen(pending_);
    if (base + 1 + length >= sizeof pending_) {
        return false;
    }
    pending_[base] = '/';
    std::memcpy(pending_ + base + 1, path, length + 1);
    return true;
}

bool tPidFileWalk::startAtRoot() {
    root_ = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    struct statx info {};
    const bool described = root_ >= 0 && describe(root_, info);
    if (!described || !mountIsKept(info.stx_mnt_id)) {
        if (root_ >= 0) {
            ::close(root_);
        }
        root_ = -1;
        return false;
    }
    rootMount_ = info.stx_mnt_id;
    judge(root_, info);
    return true;
}

int tPidFileWalk::openComponent(int directory, const char* name, bool last, struct statx& info) {
    // O_DIRECTORY makes the kernel trigger an automount, which O_PATH alone does not.
    int entry = last ? -1 : ::openat(directory, name, kEntryFlags | O_DIRECTORY);
    if (last || (entry < 0 && errno == ENOTDIR)) {
        entry = ::openat(directory, name, kEntryFlags);
    }
    if (entry < 0) {
        return -1;
    }
    if (!describe(entry, info)) {
        ::close(entry);
        return -1;
    }
    return entry;
}

bool tPidFileWalk::onKeptFileSystem(const struct statx& info) {
    // The directory's descriptor is open, so its mount id still names the same mount.
    return info.stx_mnt_id == directoryMount_ || mountIsKept(info.stx_mnt_id);
}

void tPidFileWalk::judge(int fd, const struct statx& info) {
    noteOwner(info.stx_uid);
    // In a sticky directory only an entry's owner (judged with the entry) or the directory's
    // owner may replace the entry, whoever else may write to it.
    if (S_ISDIR(info.stx_mode) && (info.stx_mode & S_ISVTX) != 0) {
        return;
    }
    if ((info.stx_mode & S_IWOTH) != 0) {
        untrusted_ = true;
    } else if ((info.stx_mode & S_IWGRP) != 0) {
        // The group bits are the ACL's mask when there is an ACL: only then can one grant write.
        judgeAcl(fd, info.stx_gid);
    }
}

void tPidFileWalk::judgeAcl(int fd, uint32_t group) {
    char path[32];
    selfFdPath(fd, path);
    unsigned char acl[kAclBytes];
    const ssize_t size = ::getxattr(path, "system.posix_acl_access", acl, sizeof acl);
    if (size < 0) {
        if (errno == ENODATA || errno == EOPNOTSUPP) {
            // No ACL: the group bits are the owning group's.
            untrusted_ = untrusted_ || foreignGroup(group);
        } else {
            untrusted_ = true;
        }
        return;
    }
    const size_t bytes = static_cast<size_t>(size);
    if (bytes < 4 || (bytes - 4) % 8 != 0 || littleEndian(acl, 4) != kAclVersion) {
        untrusted_ = true;
        return;
    }
    uint32_t mask = 07;  // an ACL without named entries has no mask
    for (size_t at = 4; at < bytes; at += 8) {
        if (littleEndian(acl + at, 2) == kAclMask) {
            mask = littleEndian(acl + at + 2, 2);
        }
    }
    for (size_t at = 4; at < bytes; at += 8) {
        const uint32_t tag = littleEndian(acl + at, 2);
        const uint32_t permissions = littleEndian(acl + at + 2, 2);
        const uint32_t id = littleEndian(acl + at + 4, 4);
        if ((permissions & mask & kAclWrite) == 0) {
            continue;
        }
        if (tag == kAclUser) {
            noteOwner(id);
        } else if ((tag == kAclGroupObject && foreignGroup(group)) ||
                   (tag == kAclGroup && foreignGroup(id))) {
            untrusted_ = true;
        }
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

int tPidFileWalk::openJudged(int entry, const char* name, const struct statx& judged) const {
    // By name again, which costs no more than a plain open: the name can lead only to an entry of
    // this directory's own mount, never into a mount put over it since, and only the judged file
    // passes the identity check below.
    const bool byName = judged.stx_mnt_id == directoryMount_;
    int file = -1;
    if (byName) {
        struct open_how how {};
        how.flags = kReadFlags;
        how.resolve = kReadResolve;
        file = static_cast<int>(::syscall(SYS_openat2, directory_, name, &how, sizeof how));
    }
    // Else through the file's own descriptor, several times slower for the lookup in /proc: a
    // file mounted on its name (a bind mount), or openat2 refused (a seccomp filter older than
    // the call, valgrind).
    if (!byName || (file < 0 && (errno == ENOSYS || errno == EPERM))) {
        char path[32];
        selfFdPath(entry, path);
        file = ::open(path, kReadFlags);
    }
    if (file < 0) {
        return -1;
    }
    struct statx opened {};
    if (!describe(file, opened) || !S_ISREG(opened.stx_mode) ||
        opened.stx_mnt_id != judged.stx_mnt_id || opened.stx_dev_major != judged.stx_dev_major ||
        opened.stx_dev_minor != judged.stx_dev_minor || opened.stx_ino != judged.stx_ino) {
        ::close(file);
        return -1;
    }
    return file;
}

bool tPidFileWalk::substituteLink(int link, const char* rest) {
    char target[PATH_MAX];
    const ssize_t size = ::readlinkat(link, "", target, sizeof target);
    // Empty, unreadable, or possibly cut at the buffer's end.
    if (size <= 0 || static_cast<size_t>(size) >= sizeof target) {
        return false;
    }
    const size_t targetLength = static_cast<size_t>(size);
    const size_t restLength = std::strlen(rest);
    if (targetLength + restLength >= sizeof pending_) {
        return false;
    }
    std::memcpy(target + targetLength, rest, restLength + 1);
    std::memcpy(pending_, target, targetLength + restLength + 1);
    return true;
}

}  // namespace nQUORVAMONITORD_18_5
