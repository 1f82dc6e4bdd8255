// Owns the open descriptor of a device node and wraps the system calls made on it. Every
// operation that takes a status record returns its neutral result at once when the record
// already holds an error; system-call failures are translated with statusFromErrno.
#pragma once

#include "protons/driver/linuxU/iInterfaceProxy.h"

namespace nQUORVAMONITORD_18_5 {
namespace nZORFEL000 {

// Access value that maps device memory for reading and writing; any other maps it read-only.
inline constexpr int32_t kMapReadWrite = 1;

class tDeviceInterfaceProxy : public virtual iInterfaceProxy {
  public:
    tDeviceInterfaceProxy();
    ~tDeviceInterfaceProxy() override;
    tDeviceInterfaceProxy(const tDeviceInterfaceProxy&) = delete;
    tDeviceInterfaceProxy& operator=(const tDeviceInterfaceProxy&) = delete;

    // Closes the descriptor if one is open.
    void close() override;

    // Issues request with a tDeviceIoRequest describing the buffers; returns the low 32 bits of
    // the block's result field afterwards, also when the request failed.
    uint32_t ioctl(uint32_t request, const void* input, uint32_t inputSize, void* output,
                   uint32_t outputSize, tStatusRecord& status) override;

    // One read or write on the descriptor; the count is cut to 32 bits, -1 on failure.
    int64_t read(void* buffer, uint64_t size, tStatusRecord& status) override;
    int64_t write(const void* buffer, uint64_t size, tStatusRecord& status) override;

    // Maps length bytes shared at page (pageIndex & 0xFFFF); kMapReadWrite maps read-write,
    // anything else read-only. Fills mapping and returns the address, or null.
    void* map(uint32_t pageIndex, uint64_t length, int32_t access, tMemoryMapping& mapping,
              tStatusRecord& status) override;
    void unmap(tMemoryMapping& mapping) override;

    virtual bool isOpen() const;
    // Calls open through the virtual table.
    virtual void openInterface(const char* path, tStatusRecord& status);
    // Opens path read-write with close-on-exec.
    virtual void open(const char* path, tStatusRecord& status);

    // The open descriptor, -1 while closed. The notification registration sends its own
    // requests on it.
    int descriptor;
};

}  // namespace nZORFEL000
}  // namespace nQUORVAMONITORD_18_5
