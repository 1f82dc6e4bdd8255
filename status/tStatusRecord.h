// The status record: carries the first error (or a warning) through a chain of calls, with the
// site that raised it. Every fallible operation takes one by reference as its last argument and
// returns at once when it already holds an error.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nQUORVAMONITORD_18_5 {
namespace nZORFEL000 {

// Size the program declares for its records; details are written only at this size or above.
inline constexpr uint64_t kStatusRecordSize = 216;

inline constexpr int64_t kStatusSuccess = 0;
inline constexpr int64_t kStatusMemoryFull = -52000;
inline constexpr int64_t kStatusNotSupported = -52002;
inline constexpr int64_t kStatusEnumerationFailed = -52003;
inline constexpr int64_t kStatusInvalidParameter = -52005;
inline constexpr int64_t kStatusNotFound = -52006;
inline constexpr int64_t kStatusTimeout = -52007;
inline constexpr int64_t kStatusOsFault = -52008;
inline constexpr int64_t kStatusInProgress = -52011;
inline constexpr int64_t kStatusNoSpace = -52012;
inline constexpr int64_t kStatusAlreadyExists = -52013;
inline constexpr int64_t kStatusOwnerDead = -52014;
inline constexpr int64_t kStatusDeadlock = -52015;
inline constexpr int64_t kStatusBufferTooSmall = -52019;
inline constexpr int64_t kStatusResourceRemoved = -52020;
inline constexpr int64_t kStatusAborted = -52023;
inline constexpr int64_t kStatusIoError = -52024;
inline constexpr int64_t kStatusInterrupted = -52025;
inline constexpr int64_t kStatusAccessDenied = -52026;
inline constexpr int64_t kStatusBusy = -52031;

// The component name every site of this program reports.
inline constexpr const char* kComponentName = "quorvamonitord";

inline constexpr size_t kComponentFieldSize = 10;
inline constexpr size_t kFileFieldSize = 101;

struct tStatusRecord {
    uint64_t structSize;
    int64_t code;
    char component[kComponentFieldSize];
    char file[kFileFieldSize];
    uint64_t line;
    uint64_t extra;
    // Reserved up to the declared size; never read or written.
    unsigned char reserved[kStatusRecordSize - 144];

    // A record as the daemon creates it: declared size 216, success, empty details.
    tStatusRecord();

    // Offers a code: taken when the record holds success (and the code is not 0), or holds a
    // warning and the code is an error. The first error is never replaced. Returns true when
    // the record changed.
    bool setCode(int64_t newCode, const char* componentName, const char* filePath,
                 uint64_t sourceLine);

    bool isFatal() const { return code < 0; }
};

static_assert(sizeof(tStatusRecord) == kStatusRecordSize);
static_assert(offsetof(tStatusRecord, structSize) == 0);
static_assert(offsetof(tStatusRecord, code) == 8);
static_assert(offsetof(tStatusRecord, component) == 16);
static_assert(offsetof(tStatusRecord, file) == 26);
static_assert(offsetof(tStatusRecord, line) == 128);
static_assert(offsetof(tStatusRecord, extra) == 136);
static_assert(offsetof(tStatusRecord, reserved) == 144);

}  // namespace nZORFEL000
}  // namespace nQUORVAMONITORD_18_5

// Records code in status with this program's component name and the calling site.
#define QV_SET_STATUS(status, newCode)                                                        \
    (status).setCode((newCode), ::nQUORVAMONITORD_18_5::nZORFEL000::kComponentName, __FILE__, \
                     __LINE__)
