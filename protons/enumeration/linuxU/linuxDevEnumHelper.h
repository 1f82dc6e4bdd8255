// Reads the device node path of a device interface found by tDeviceInterfaceIterator.
#pragma once

#include <cstdint>

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
void readInterfacePath(const tDeviceInterfaceIterator& iterator, tInterfacePath& path,
                       tStatusRecord& status);

}  // namespace nZORFEL000
}  // namespace nQUORVAMONITORD_18_5
