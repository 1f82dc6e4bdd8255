#include "daemon/tPidFileWalk.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
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
constexpr unsigned kStatxMask = STATX_TYPE | STATX_MODE | STATX_UID | STATX_GID | STATX_INO;

// The kernel's form of an access ACL: a little-endian 32-bit version, 2, then 8-byte entries of
// a 16-bit tag, 16-bit permissions and a 32-bit user or group id.
constexpr uint32_t kAclVersion = 2;
constexpr uint16_t kAclUser = 0x02;
constexpr uint16_t kAclGroupObject = 0x04;
constexpr uint16_t kAclGroup = 0x08;
constexpr uint16_t kAclMask = 0x10;
constexpr uint16_t kAclWrite = 0x02;
// Room for 1023 entries; a longer ACL fails to read (ERANGE), which refuses the file.
constexpr size_t kAclBytes = 4 + 8 * 1023;

// Fills info, with the mount id of the kind idMask asks for (see tMountTable::idMask).
bool describe(int fd, struct statx& info, unsigned idMask) {
    return ::statx(fd, "", kStatxFlags, kStatxMask | STATX_MNT_ID | idMask, &info) == 0 &&
           (info.stx_mask & kStatxMask) == kStatxMask &&
           (info.stx_mask & (STATX_MNT_ID | idMask)) != 0;
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

}  // namespace

tPidFileWalk::tPidFileWalk(tMountTable& mounts)
    : ownUser_(::geteuid()), ownGroup_(::getegid()), mounts_(mounts) {}

tVerdict tPidFileWalk::open(const char* path, int& file) {
    file = -1;
    verdict_ = tVerdict{};
    controllers_ = 0;
    links_ = 0;
    components_ = 0;
    aclReadCount_ = 0;
    walkedLength_ = 0;
    walked_[0] = '\0';
    mounts_.beginWalk();
    idMask_ = mounts_.idMask();
    if (!assemblePath(path) || !startAtRoot()) {
        return verdict_;
    }
    directory_ = root_;
    directoryMount_ = rootMount_;
    next_ = pending_;
    while (step(file)) {
    }
    leaveDirectory();
    ::close(root_);
    root_ = -1;
    if (file >= 0) {
        verdict_.where = here();
        verdict_.ownerBound = controllers_ == 1;
        verdict_.userWhere = verdict_.ownerBound ? controllerWhere_ : nullptr;
    }
    return verdict_;
}

bool tPidFileWalk::refuse(tReason reason) {
    if (verdict_.used()) {
        verdict_.reason = reason;
        verdict_.where = here();
    }
    return false;
}

bool tPidFileWalk::step(int& file) {
    while (*next_ == '/') {
        ++next_;
    }
    if (*next_ == '\0') {
        verdict_.mode = S_IFDIR;
        return refuse(tReason::kNotARegularFile);  // the path ends at a directory
    }
    char* end = next_;
    while (*end != '\0' && *end != '/') {
        ++end;
    }
    const size_t nameLength = static_cast<size_t>(end - next_);
    if (nameLength == 1 && next_[0] == '.') {
        next_ = end;
        return true;
    }
    if (++components_ > kMaxComponents) {
        return refuse(tReason::kWalkTooLong);
    }
    const bool dotDot = nameLength == 2 && next_[0] == '.' && next_[1] == '.';
    const bool last = *end == '\0';
    const size_t parentLength = walkedLength_;
    if (dotDot) {
        // Back to the parent: the last component and the '/' before it go.
        while (walkedLength_ > 0 && walked_[walkedLength_ - 1] != '/') {
            --walkedLength_;
        }
        walkedLength_ = walkedLength_ > 0 ? walkedLength_ - 1 : 0;
        walked_[walkedLength_] = '\0';
    } else {
        if (parentLength + 1 + nameLength >= sizeof walked_) {
            return refuse(tReason::kPathTooLong);
        }
        walked_[parentLength] = '/';
        std::memcpy(walked_ + parentLength + 1, next_, nameLength);
        walkedLength_ = parentLength + 1 + nameLength;
        walked_[walkedLength_] = '\0';
    }

    const char separator = *end;
    *end = '\0';
    struct statx info {};
    const int entry = openComponent(directory_, next_, last, info);
    *end = separator;
    if (entry < 0) {
        const int error = errno;
        verdict_.id = static_cast<uint32_t>(error);
        return refuse(error == ENOENT ? tReason::kMissing : tReason::kUnreachable);
    }
    // Settled before the entry is read or anything below it is looked up.
    if (!onKeptFileSystem(info)) {
        ::close(entry);
        return false;
    }

    const mode_t type = info.stx_mode & S_IFMT;
    if (type == S_IFLNK) {
        // The link's owner chose where it points; its text is walked from here, or from "/".
        const bool walkOn = noteController(info.stx_uid, false) &&
                            (++links_ <= kMaxLinks || refuse(tReason::kTooManyLinks)) &&
                            substituteLink(entry, end);
        ::close(entry);
        if (!walkOn) {
            return false;
        }
        walkedLength_ = parentLength;
        next_ = pending_;
        if (*next_ == '/') {
            walkedLength_ = 0;
            leaveDirectory();
            directory_ = root_;
            directoryMount_ = rootMount_;
        }
        walked_[walkedLength_] = '\0';
        return true;
    }
    if (type == S_IFDIR && !last) {
        if (!judge(entry, info)) {
            ::close(entry);
            return false;
        }
        leaveDirectory();
        directory_ = entry;
        directoryMount_ = info.stx_mnt_id;
        next_ = end;
        return true;
    }
    if (type == S_IFREG && last) {
        if (judge(entry, info)) {
            file = openJudged(entry, next_, info);
            if (file < 0) {
                // Gone, or something else in its place, since it was judged; or not permitted.
                const int error = errno;
                verdict_.id = static_cast<uint32_t>(error);
                refuse(error == EACCES || error == EPERM ? tReason::kUnreachable
                                                         : tReason::kReplaced);
            }
        }
        ::close(entry);
        return false;
    }
    // A directory at the end, a file on the way, a FIFO, a device or a socket.
    ::close(entry);
    verdict_.mode = info.stx_mode;
    return refuse(last ? tReason::kNotARegularFile : tReason::kNotADirectory);
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
            return refuse(tReason::kPathTooLong);
        }
        std::memcpy(pending_, path, length + 1);
        return true;
    }
    // The directories above the working directory are walked too.
    if (::getcwd(pending_, sizeof pending_) == nullptr) {
        const int error = errno;
        verdict_.id = static_cast<uint32_t>(error);
        return refuse(error == ERANGE ? tReason::kPathTooLong : tReason::kUnreachable);
    }
    const size_t base = std::strlen(pending_);
    if (base + 1 + length >= sizeof pending_) {
        return refuse(tReason::kPathTooLong);
    }
    pending_[base] = '/';
    std::memcpy(pending_ + base + 1, path, length + 1);
    return true;
}

bool tPidFileWalk::startAtRoot() {
    root_ = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    struct statx info {};
    if (root_ < 0 || !describe(root_, info, idMask_)) {
        verdict_.id = static_cast<uint32_t>(errno);
        refuse(tReason::kUnreachable);
    } else if (onKeptFileSystem(info)) {
        rootMount_ = info.stx_mnt_id;
        if (judge(root_, info)) {
            return true;
        }
    }
    if (root_ >= 0) {
        ::close(root_);
    }
    root_ = -1;
    return false;
}

int tPidFileWalk::openComponent(int directory, const char* name, bool last,
                                struct statx& info) const {
    // O_DIRECTORY makes the kernel trigger an automount, which O_PATH alone does not: only on a
    // way that no other user controls.
    const bool triggering = !last && controllers_ == 0;
    int entry = triggering ? ::openat(directory, name, kEntryFlags | O_DIRECTORY) : -1;
    if (!triggering || (entry < 0 && errno == ENOTDIR)) {
        entry = ::openat(directory, name, kEntryFlags);
    }
    if (entry < 0) {
        return -1;
    }
    if (!describe(entry, info, idMask_)) {
        const int error = errno;
        ::close(entry);
        errno = error;
        return -1;
    }
    return entry;
}

bool tPidFileWalk::onKeptFileSystem(const struct statx& info) {
    // The directory's descriptor is open, so its mount id still names the same mount.
    if (directory_ >= 0 && info.stx_mnt_id == directoryMount_) {
        return true;
    }
    switch (mounts_.judge(info, verdict_.fileSystem)) {
        case tMountTable::tAnswer::kKept:
            verdict_.fileSystem[0] = '\0';
            return true;
        case tMountTable::tAnswer::kUnknown:
            return refuse(tReason::kMountNotJudged);
        case tMountTable::tAnswer::kRefused:
            break;
    }
    return refuse(tReason::kFileSystemNotRead);
}

bool tPidFileWalk::judge(int fd, const struct statx& info) {
    if (!noteController(info.stx_uid, false)) {
        return false;
    }
    // In a sticky directory only an entry's owner (judged with the entry) or the directory's
    // owner may replace the entry, whoever else may write to it.
    if (S_ISDIR(info.stx_mode) && (info.stx_mode & S_ISVTX) != 0) {
        return true;
    }
    verdict_.mode = info.stx_mode;
    if ((info.stx_mode & S_IWOTH) != 0) {
        return refuse(tReason::kWritableByEveryone);
    }
    // The group bits are the ACL's mask when there is an ACL: only then can one grant write.
    return (info.stx_mode & S_IWGRP) == 0 || judgeAcl(fd, info);
}

bool tPidFileWalk::judgeAcl(int fd, const struct statx& info) {
    for (int i = 0; i < aclReadCount_; ++i) {
        const tInode& read = aclRead_[i];
        if (read.inode == info.stx_ino && read.major == info.stx_dev_major &&
            read.minor == info.stx_dev_minor) {
            return true;  // judged already, and passed
        }
    }
    aclRead_[aclReadCount_++] = tInode{info.stx_dev_major, info.stx_dev_minor, info.stx_ino};

    char path[32];
    selfFdPath(fd, path);
    unsigned char acl[kAclBytes];
    const ssize_t size = ::getxattr(path, "system.posix_acl_access", acl, sizeof acl);
    if (size < 0) {
        const int error = errno;
        if (error != ENODATA && error != EOPNOTSUPP) {
            verdict_.id = static_cast<uint32_t>(error);
            return refuse(tReason::kAclUnreadable);
        }
        // No ACL: the group bits are the owning group's.
        if (foreignGroup(info.stx_gid)) {
            verdict_.id = info.stx_gid;
            return refuse(tReason::kWritableByGroup);
        }
        return true;
    }
    const size_t bytes = static_cast<size_t>(size);
    if (bytes < 4 || (bytes - 4) % 8 != 0 || littleEndian(acl, 4) != kAclVersion) {
        verdict_.id = EINVAL;
        return refuse(tReason::kAclUnreadable);
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
        if (tag == kAclUser && !noteController(id, true)) {
            return false;
        }
        const uint32_t group = tag == kAclGroupObject ? info.stx_gid : id;
        if ((tag == kAclGroupObject || tag == kAclGroup) && foreignGroup(group)) {
            verdict_.id = group;
            verdict_.byAcl = true;
            return refuse(tReason::kWritableByGroup);
        }
    }
    return true;
}

bool tPidFileWalk::noteController(uid_t user, bool byAcl) {
    if (user == 0 || user == ownUser_) {
        return true;
    }
    if (controllers_ == 0) {
        controllers_ = 1;
        verdict_.user = user;
        std::memcpy(controllerWhere_, here(), std::strlen(here()) + 1);
        return true;
    }
    if (user == verdict_.user) {
        return true;
    }
    verdict_.id = user;
    verdict_.byAcl = byAcl;
    verdict_.userWhere = controllerWhere_;
    return refuse(tReason::kTwoControllers);
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
    if (!describe(file, opened, idMask_) || !S_ISREG(opened.stx_mode) ||
        opened.stx_mnt_id != judged.stx_mnt_id || opened.stx_dev_major != judged.stx_dev_major ||
        opened.stx_dev_minor != judged.stx_dev_minor || opened.stx_ino != judged.stx_ino) {
        ::close(file);
        errno = ESTALE;
        return -1;
    }
    return file;
}

bool tPidFileWalk::substituteLink(int link, const char* rest) {
    char target[PATH_MAX];
    const ssize_t size = ::readlinkat(link, "", target, sizeof target);
    if (size <= 0) {
        verdict_.id = static_cast<uint32_t>(size < 0 ? errno : ENOENT);
        return refuse(tReason::kUnreachable);
    }
    // Possibly cut at the buffer's end, or too long with what follows it.
    const size_t targetLength = static_cast<size_t>(size);
    const size_t restLength = std::strlen(rest);
    if (targetLength >= sizeof target || targetLength + restLength >= sizeof pending_) {
        return refuse(tReason::kPathTooLong);
    }
    std::memcpy(target + targetLength, rest, restLength + 1);
    std::memcpy(pending_, target, targetLength + restLength + 1);
    return true;
}

}  // namespace nQUORVAMONITORD_18_5
