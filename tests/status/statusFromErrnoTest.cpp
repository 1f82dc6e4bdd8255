#include "status/statusFromErrno.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <utility>

#include "status/tStatusRecord.h"

namespace nQUORVAMONITORD_18_5::nZORFEL000 {
namespace {

TEST(statusFromErrnoTest, EveryMappedGroup) {
    const std::pair<int, int64_t> cases[] = {
        {0, 0},
        {EPERM, kStatusAccessDenied},
        {EACCES, kStatusAccessDenied},
        {EROFS, kStatusAccessDenied},
        {ENOENT, kStatusNotFound},
        {ESRCH, kStatusNotFound},
        {ENXIO, kStatusNotFound},
        {EBADF, kStatusNotFound},
        {ENODEV, kStatusNotFound},
        {EINTR, kStatusInterrupted},
        {ECONNRESET, kStatusInterrupted},
        {EIO, kStatusIoError},
        {EPIPE, kStatusIoError},
        {EBADMSG, kStatusIoError},
        {ENOMEM, kStatusMemoryFull},
        {ENFILE, kStatusMemoryFull},
        {EMFILE, kStatusMemoryFull},
        {EBUSY, kStatusBusy},
        {EEXIST, kStatusAlreadyExists},
        {EADDRINUSE, kStatusAlreadyExists},
        {EINVAL, kStatusInvalidParameter},
        {ENOTTY, kStatusNotSupported},
        {EOPNOTSUPP, kStatusNotSupported},
        {ENOSPC, kStatusNoSpace},
        {EOVERFLOW, kStatusNoSpace},
        {EDEADLK, kStatusDeadlock},
        {ENOLCK, kStatusDeadlock},
        {EIDRM, kStatusResourceRemoved},
        {ECONNABORTED, kStatusAborted},
        {ENOBUFS, kStatusBufferTooSmall},
        {ETIMEDOUT, kStatusTimeout},
        {EALREADY, kStatusInProgress},
        {EINPROGRESS, kStatusInProgress},
        {EOWNERDEAD, kStatusOwnerDead},
    };
    for (const auto& [number, code] : cases) {
        EXPECT_EQ(statusFromErrno(number), code) << "errno " << number;
    }
    EXPECT_EQ(statusFromErrno(105), -52019);
}

TEST(statusFromErrnoTest, UnlistedNumbersGiveOsFault) {
    int unlisted = 0;
    for (int number : {7,  8,  10, 11, 14, 18, 20,  21,  26,  27,  29,  31,  33,
                       34, 36, 38, 61, 71, 97, 100, 101, 111, 113, 122, 125, 129}) {
        EXPECT_EQ(statusFromErrno(number), kStatusOsFault) << "errno " << number;
        ++unlisted;
    }
    EXPECT_GT(unlisted, 0);
}

TEST(statusFromErrnoTest, ValuesOutsideTheTableGiveOsFault) {
    for (int number : {131, 132, 1000, 100000, INT_MAX, -1, -5, -131, INT_MIN}) {
        EXPECT_EQ(statusFromErrno(number), kStatusOsFault) << "errno " << number;
    }
}

TEST(statusFromErrnoTest, OnlyZeroMapsToSuccessAndEveryOtherCodeIsAnError) {
    for (int number = 1; number <= 130; ++number) {
        EXPECT_LT(statusFromErrno(number), 0) << "errno " << number;
    }
}

}  // namespace
}  // namespace nQUORVAMONITORD_18_5::nZORFEL000
