#include "tools/qvdriversim/errnoNames.h"

#include <cerrno>

#include "tools/qvdriversim/textCodec.h"

namespace nQUORVAMONITORD_18_5 {
namespace nQVDRIVERSIM {

namespace {

struct tErrnoName {
    const char* name;
    int value;
};

#define QV_ERRNO(e) \
    { #e, e }
const tErrnoName kNames[] = {
    QV_ERRNO(EPERM),      QV_ERRNO(ENOENT),    QV_ERRNO(ESRCH),        QV_ERRNO(EINTR),
    QV_ERRNO(EIO),        QV_ERRNO(ENXIO),     QV_ERRNO(E2BIG),        QV_ERRNO(ENOEXEC),
    QV_ERRNO(EBADF),      QV_ERRNO(ECHILD),    QV_ERRNO(EAGAIN),       QV_ERRNO(ENOMEM),
    QV_ERRNO(EACCES),     QV_ERRNO(EFAULT),    QV_ERRNO(EBUSY),        QV_ERRNO(EEXIST),
    QV_ERRNO(EXDEV),      QV_ERRNO(ENODEV),    QV_ERRNO(ENOTDIR),      QV_ERRNO(EISDIR),
    QV_ERRNO(EINVAL),     QV_ERRNO(ENFILE),    QV_ERRNO(EMFILE),       QV_ERRNO(ENOTTY),
    QV_ERRNO(EFBIG),      QV_ERRNO(ENOSPC),    QV_ERRNO(ESPIPE),       QV_ERRNO(EROFS),
    QV_ERRNO(ERANGE),     QV_ERRNO(ENOSYS),    QV_ERRNO(ENAMETOOLONG), QV_ERRNO(ELOOP),
    QV_ERRNO(EOPNOTSUPP), QV_ERRNO(ENOTCONN),  QV_ERRNO(ECONNREFUSED), QV_ERRNO(ETIMEDOUT),
    QV_ERRNO(ECANCELED),  QV_ERRNO(EOVERFLOW), QV_ERRNO(ENOBUFS),      QV_ERRNO(EMSGSIZE),
};
#undef QV_ERRNO

}  // namespace

std::string errnoName(int error) {
    for (const tErrnoName& entry : kNames) {
        if (entry.value == error) {
            return entry.name;
        }
    }
    return "errno" + std::to_string(error);
}

bool parseErrno(std::string_view text, int& error) {
    int value = 0;
    uint64_t number = 0;
    if (parseNumber(text, 511, number)) {
        value = static_cast<int>(number);
    } else {
        for (const tErrnoName& entry : kNames) {
            if (text == entry.name) {
                value = entry.value;
            }
        }
    }
    if (value <= 0 || value == ENOSYS) {
        return false;
    }
    error = value;
    return true;
}

}  // namespace nQVDRIVERSIM
}  // namespace nQUORVAMONITORD_18_5
