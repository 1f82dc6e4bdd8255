// The operations on an open device: requests, reads, writes and memory mappings.
#pragma once

#include <cstddef>
#include <cstdint>

#include "status/tStatusRecord.h"

namespace nQUORVAMONITORD_18_5 {
namespace nZORFEL000 {

// The block a generic device request passes to the driver (32 bytes, native byte order).
struct tDeviceIoRequest {
    uint64_t inputAddress;
    uint64_t outputAddress;
    uint32_t inputSize;
    uint32_t outputSize;
    uint64_t result;  // 0 before the request; the driver may fill it
};

static_assert(sizeof(tDeviceIoRequest) == 32);
static_assert(offsetof(tDeviceIoRequest, inputAddress) == 0);
static_assert(offsetof(tDeviceIoRequest, outputAddress) == 8);
static_assert(offsetof(tDeviceIoRequest, inputSize) == 16);
static_assert(offsetof(tDeviceIoRequest, outputSize) == 20);
static_assert(offsetof(tDeviceIoRequest, result) == 24);

// A mapping of device memory; owned by the caller, filled by map and emptied by unmap.
struct tMemoryMapping {
    void* address;  // null when nothing is mapped
    uint64_t length;
};

class iInterfaceProxy {
  public:
    virtual ~iInterfaceProxy() = default;
    virtual void close() = 0;
    virtual uint32_t ioctl(uint32_t request, const void* input, uint32_t inputSize, void* output,
                           uint32_t outputSize, tStatusRecord& status) = 0;
    virtual int64_t read(void* buffer, uint64_t size, tStatusRecord& status) = 0;
    virtual int64_t write(const void* buffer, uint64_t size, tStatusRecord& status) = 0;
    virtual void* map(uint32_t pageIndex, uint64_t length, int32_t access, tMemoryMapping& mapping,
                      tStatusRecord& status) = 0;
    virtual void unmap(tMemoryMapping& mapping) = 0;
};

}  // namespace nZORFEL000
}  // namespace nQUORVAMONITORD_18_5
