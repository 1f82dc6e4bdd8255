#include "status/tStatusRecord.h"

#include <cstring>

namespace nQUORVAMONITORD_18_5 {
namespace nZORFEL000 {
namespace {

// Copies up to size characters of text, stopping at its NUL and padding the rest of the field
// with NULs, then forces the field's last character to NUL.
void copyField(char* field, size_t size, const char* text) {
    size_t i = 0;
    for (; i < size && text[i] != '\0'; ++i) {
        field[i] = text[i];
    }
    for (; i < size; ++i) {
        field[i] = '\0';
    }
    field[size - 1] = '\0';
}

}  // namespace

tStatusRecord::tStatusRecord() : structSize(kStatusRecordSize), code(kStatusSuccess) {
    if (structSize >= kStatusRecordSize) {
        component[0] = '\0';
        file[0] = '\0';
        line = 0;
        extra = 0;
    }
}

bool tStatusRecord::setCode(int64_t newCode, const char* componentName, const char* filePath,
                            uint64_t sourceLine) {
    // Success gives way to any other code, a warning only to an error; an error stays.
    const bool taken = (code == 0) ? newCode != 0 : (code > 0 && newCode < 0);
    if (!taken) {
        return false;
    }

    code = newCode;
    if (structSize < kStatusRecordSize) {
        return true;
    }

    copyField(component, kComponentFieldSize, componentName);
    copyField(file, kFileFieldSize, filePath);

    // A path longer than the field keeps its head and tail: 49 characters, "..", 49 characters.
    constexpr size_t kStored = kFileFieldSize - 1;
    constexpr size_t kHead = 49;
    const size_t pathLength = strlen(filePath);
    if (pathLength > kStored) {
        file[kHead] = '.';
        file[kHead + 1] = '.';
        memcpy(file + kHead + 2, filePath + pathLength - kHead, kHead + 1);
    }

    line = sourceLine;
    extra = 0;
    return true;
}

}  // namespace nZORFEL000
}  // namespace nQUORVAMONITORD_18_5
