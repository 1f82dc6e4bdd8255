// Reads the device node path of a device interface found by tDeviceInterfaceIterator.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "protons/enumeration/linuxU/tDeviceInterfaceIterator.h"
#include "status/tStatusRecord.h"

namespace nQUORVAMONITORD_18_5 {
namespace nZORFEL000 {

inline constexpr uint64_t kInterfacePathCapacity = 256;

struct tInterfacePath {
    char text[kInterfacePathCapacity];
    // Bytes stored including the terminating NUL; 0 while nothing has been read. The caller
    // sets it to 0 before a read.
    uint64_t length;
};

// Reads the interfacePath file of the iterator's current match (which must not be atEnd) into
// path, verbatim. On failure path is untouched and status holds kStatusNotFound (the file could
// not be opened in 10 tries), kStatusIoError (read error) or kStatusBufferTooSmall (more than 255
// bytes).
inline void readInterfacePath(const tDeviceInterfaceIterator& iterator, tInterfacePath& path,
                              tStatusRecord& status) {
    constexpr size_t kFileNameCapacity = 4096;
    constexpr int kOpenAttempts = 10;
    constexpr size_t kReadCapacity = 4096;

    char fileName[kFileNameCapacity];
    snprintf(fileName, sizeof fileName, "%s/interfacePath", iterator.currentPath());
    if (status.isFatal()) {
        return;
    }

    // The driver may be busy with the file for a moment; try again at once.
    FILE* file = nullptr;
    for (int attempt = 0; attempt < kOpenAttempts && file == nullptr; ++attempt) {
        file = fopen(fileName, "re");
    }
    if (file == nullptr) {
        QV_SET_STATUS(status, kStatusNotFound);
        return;
    }

    // One read covers every accepted size; anything longer is refused, not cut.
    char content[kReadCapacity];
    const size_t count = fread(content, 1, sizeof content, file);
    const bool failed = ferror(file) != 0;
    // Nothing was written to the stream, so closing it cannot lose data.
    fclose(file);
    if (failed) {
        QV_SET_STATUS(status, kStatusIoError);
        return;
    }
    if (count > kInterfacePathCapacity - 1) {
        QV_SET_STATUS(status, kStatusBufferTooSmall);
        return;
    }

    memcpy(path.text, content, count);
    path.text[count] = '\0';
    path.length = count + 1;
}

}  // namespace nZORFEL000
}  // namespace nQUORVAMONITORD_18_5
