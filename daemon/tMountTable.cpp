#include "daemon/tMountTable.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

namespace nQUORVAMONITORD_18_5 {

tMountTable gMountTable;

namespace {

// What the kernel's headers of Linux 6.8 define, which older C libraries lack. The system call's
// number is the same on every architecture.
constexpr long kStatmountCall = 457;
constexpr unsigned kStatxUniqueMountId = 0x4000;
struct tMountIdRequest {
    uint32_t size;
    uint32_t spare;
    uint64_t mountId;
    uint64_t mask;
};
constexpr uint64_t kStatmountMountBasic = 0x2;
constexpr uint64_t kStatmountFileSystemType = 0x20;
// Offsets in the answer: the mask of what it holds, the type's offset among the strings, the id
// the table shows, and the strings.
constexpr size_t kAnswerMask = 8;
constexpr size_t kAnswerType = 36;
constexpr size_t kAnswerTableId = 56;
constexpr size_t kAnswerStrings = 512;

// Asks the kernel about the mount with the unique id; 0, or -1 with errno set.
long statmount(uint64_t id, uint64_t mask, unsigned char* answer, size_t size) {
    tMountIdRequest request{sizeof(tMountIdRequest), 0, id, mask};
    return ::syscall(kStatmountCall, &request, answer, size, 0);
}

template <typename T>
T fieldAt(const unsigned char* bytes, size_t offset) {
    T value;
    std::memcpy(&value, bytes + offset, sizeof value);
    return value;
}

}  // namespace

unsigned tMountTable::idMask() {
    if (!settled_) {
        settled_ = true;
        struct statx root {};
        unsigned char answer[kAnswerStrings + 64];
        byKernel_ =
            lookup_ == tLookup::kKernelWherePossible &&
            ::statx(AT_FDCWD, "/", AT_STATX_DONT_SYNC, kStatxUniqueMountId, &root) == 0 &&
            (root.stx_mask & kStatxUniqueMountId) != 0 &&
            statmount(root.stx_mnt_id, kStatmountFileSystemType, answer, sizeof answer) == 0;
    }
    return byKernel_ ? kStatxUniqueMountId : 0;
}

tMountTable::tAnswer tMountTable::judge(const struct statx& info, char (&type)[kTypeBytes]) {
    type[0] = '\0';
    return (info.stx_mask & kStatxUniqueMountId) != 0 ? judgeByKernel(info.stx_mnt_id, type)
                                                      : judgeInTable(info.stx_mnt_id, type);
}

tMountTable::tAnswer tMountTable::judgeByKernel(uint64_t id, char (&type)[kTypeBytes]) {
    if (const tKnownMount* mount = known(id)) {
        std::memcpy(type, mount->type, sizeof type);
        return mount->kept ? tAnswer::kKept : tAnswer::kRefused;
    }
    alignas(8) unsigned char answer[kAnswerStrings + 256];
    if (statmount(id, kStatmountMountBasic | kStatmountFileSystemType, answer, sizeof answer) !=
        0) {
        // Not in this mount namespace's tree: detached while the walk held it.
        return errno == ENOENT ? tAnswer::kRefused : tAnswer::kUnknown;
    }
    const uint64_t holds = fieldAt<uint64_t>(answer, kAnswerMask);
    const size_t at = kAnswerStrings + fieldAt<uint32_t>(answer, kAnswerType);
    const char* const name = reinterpret_cast<const char*>(answer) + at;
    if ((holds & kStatmountFileSystemType) == 0 || at >= sizeof answer ||
        std::memchr(name, '\0', sizeof answer - at) == nullptr) {
        return tAnswer::kUnknown;
    }
    const size_t length = std::strlen(name);
    const size_t kept = length < sizeof type - 1 ? length : sizeof type - 1;
    std::memcpy(type, name, kept);
    type[kept] = '\0';

    tAnswer answered = tAnswer::kRefused;
    if (tMountInfo::isKeptType(name, length)) {
        answered = tAnswer::kKept;
    } else if (std::strcmp(name, "overlay") == 0 && (holds & kStatmountMountBasic) != 0) {
        // Its layers are placed in the table, where it goes by its other id; the walk's hold
        // keeps that one from being reused meanwhile.
        char tableType[kTypeBytes];
        answered = openTable() ? info_.judge(table_, fieldAt<uint32_t>(answer, kAnswerTableId),
                                             tableType, readsLeft_)
                               : tAnswer::kUnknown;
    }
    remember(id, answered, type);
    return answered;
}

tMountTable::tAnswer tMountTable::judgeInTable(uint64_t id, char (&type)[kTypeBytes]) {
    if (!openTable()) {
        return tAnswer::kUnknown;
    }
    if (const tKnownMount* mount = known(id)) {
        std::memcpy(type, mount->type, sizeof type);
        return mount->kept ? tAnswer::kKept : tAnswer::kRefused;
    }
    const tAnswer answered = info_.judge(table_, id, type, readsLeft_);
    remember(id, answered, type);
    return answered;
}

bool tMountTable::openTable() {
    if (table_ < 0) {
        table_ = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
        return table_ >= 0;
    }
    pollfd changed{table_, POLLPRI, 0};
    if (!byKernel_ && ::poll(&changed, 1, 0) != 0) {
        knownCount_ = 0;  // changed, or it cannot be told
        nextKnown_ = 0;
    }
    return true;
}

const tMountTable::tKnownMount* tMountTable::known(uint64_t id) const {
    for (size_t i = 0; i < knownCount_; ++i) {
        if (known_[i].id == id) {
            return &known_[i];
        }
    }
    return nullptr;
}

void tMountTable::remember(uint64_t id, tAnswer answer, const char (&type)[kTypeBytes]) {
    if (answer == tAnswer::kUnknown) {
        return;
    }
    tKnownMount& mount = known_[nextKnown_];
    mount.id = id;
    mount.kept = answer == tAnswer::kKept;
    std::memcpy(mount.type, type, sizeof type);
    nextKnown_ = (nextKnown_ + 1) % kMostKnownMounts;
    knownCount_ += knownCount_ < kMostKnownMounts ? 1 : 0;
}

}  // namespace nQUORVAMONITORD_18_5
