#include "status/statusFromErrno.h"

#include <array>
#include <cerrno>

#include "status/tStatusRecord.h"

namespace nQUORVAMONITORD_18_5 {
namespace nZORFEL000 {
namespace {

constexpr int kTableSize = 131;

constexpr std::array<int64_t, kTableSize> makeTable() {
    std::array<int64_t, kTableSize> table{};
    for (auto& entry : table) {
        entry = kStatusOsFault;
    }
    table[0] = kStatusSuccess;
    table[EPERM] = table[EACCES] = table[EROFS] = kStatusAccessDenied;
    table[ENOENT] = table[ESRCH] = table[ENXIO] = table[EBADF] = table[ENODEV] = kStatusNotFound;
    table[EINTR] = table[ECONNRESET] = kStatusInterrupted;
    table[EIO] = table[EPIPE] = table[EBADMSG] = kStatusIoError;
    table[ENOMEM] = table[ENFILE] = table[EMFILE] = kStatusMemoryFull;
    table[EBUSY] = kStatusBusy;
    table[EEXIST] = table[EADDRINUSE] = kStatusAlreadyExists;
    table[EINVAL] = kStatusInvalidParameter;
    table[ENOTTY] = table[EOPNOTSUPP] = kStatusNotSupported;
    table[ENOSPC] = table[EOVERFLOW] = kStatusNoSpace;
    table[EDEADLK] = table[ENOLCK] = kStatusDeadlock;
    table[EIDRM] = kStatusResourceRemoved;
    table[ECONNABORTED] = kStatusAborted;
    table[ENOBUFS] = kStatusBufferTooSmall;
    table[ETIMEDOUT] = kStatusTimeout;
    table[EALREADY] = table[EINPROGRESS] = kStatusInProgress;
    table[EOWNERDEAD] = kStatusOwnerDead;
    return table;
}

constexpr std::array<int64_t, kTableSize> kErrnoTable = makeTable();

// The table is laid out for Linux's error numbers.
static_assert(EOWNERDEAD == 130 && ENOBUFS == 105 && EDEADLK == 35 && EOPNOTSUPP == 95);

}  // namespace

int64_t statusFromErrno(int errorNumber) {
    const auto index = static_cast<unsigned int>(errorNumber);
    if (index >= kTableSize) {
        return kStatusOsFault;
    }
    return kErrnoTable[index];
}

}  // namespace nZORFEL000
}  // namespace nQUORVAMONITORD_18_5
