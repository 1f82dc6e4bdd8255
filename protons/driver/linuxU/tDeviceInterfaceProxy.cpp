#include "protons/driver/linuxU/tDeviceInterfaceProxy.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "status/statusFromErrno.h"

namespace nQUORVAMONITORD_18_5 {
namespace nZORFEL000 {
namespace {

// Only the low 16 bits of a page index select the page.
constexpr uint32_t kPageIndexMask = 0xFFFF;

}  // namespace

tDeviceInterfaceProxy::tDeviceInterfaceProxy() : descriptor(-1) {}

// During destruction the calls below can only reach this class's own close and isOpen.
tDeviceInterfaceProxy::~tDeviceInterfaceProxy() {
    tDeviceInterfaceProxy::close();
}

void tDeviceInterfaceProxy::close() {
    if (isOpen()) {  // NOLINT(clang-analyzer-optin.cplusplus.VirtualCall): see the destructor
        // The descriptor is gone whatever close reports, and there is no one to tell.
        ::close(descriptor);
        descriptor = -1;
    }
}

uint32_t tDeviceInterfaceProxy::ioctl(uint32_t request, const void* input, uint32_t inputSize,
                                      void* output, uint32_t outputSize, tStatusRecord& status) {
    if (status.isFatal()) {
        return 0;
    }
    tDeviceIoRequest block;
    block.inputAddress = reinterpret_cast<uintptr_t>(input);
    block.outputAddress = reinterpret_cast<uintptr_t>(output);
    block.inputSize = inputSize;
    block.outputSize = outputSize;
    block.result = 0;
    if (::ioctl(descriptor, static_cast<unsigned long>(request), &block) == -1) {
        QV_SET_STATUS(status, statusFromErrno(errno));
    }
    // The driver may have filled the result even for a request it refused.
    return static_cast<uint32_t>(block.result);
}

int64_t tDeviceInterfaceProxy::read(void* buffer, uint64_t size, tStatusRecord& status) {
    if (status.isFatal()) {
        return 0;
    }
    const ssize_t count = ::read(descriptor, buffer, size);
    if (count == -1) {
        QV_SET_STATUS(status, statusFromErrno(errno));
    }
    return static_cast<int32_t>(count);
}

int64_t tDeviceInterfaceProxy::write(const void* buffer, uint64_t size, tStatusRecord& status) {
    if (status.isFatal()) {
        return 0;
    }
    const ssize_t count = ::write(descriptor, buffer, size);
    if (count == -1) {
        QV_SET_STATUS(status, statusFromErrno(errno));
    }
    return static_cast<int32_t>(count);
}

void* tDeviceInterfaceProxy::map(uint32_t pageIndex, uint64_t length, int32_t access,
                                 tMemoryMapping& mapping, tStatusRecord& status) {
    if (status.isFatal()) {
        return nullptr;
    }
    const off_t offset =
        static_cast<off_t>(pageIndex & kPageIndexMask) * static_cast<off_t>(sysconf(_SC_PAGESIZE));
    const int protection = access == kMapReadWrite ? PROT_READ | PROT_WRITE : PROT_READ;
    void* address = mmap(nullptr, length, protection, MAP_SHARED, descriptor, offset);
    if (address == MAP_FAILED) {
        QV_SET_STATUS(status, statusFromErrno(errno));
        mapping.address = nullptr;
        return nullptr;
    }
    mapping.address = address;
    mapping.length = length;
    return address;
}

void tDeviceInterfaceProxy::unmap(tMemoryMapping& mapping) {
    if (mapping.address != nullptr) {
        // A mapping that cannot be removed is forgotten all the same; there is no status here.
        munmap(mapping.address, mapping.length);
        mapping.address = nullptr;
    }
}

bool tDeviceInterfaceProxy::isOpen() const {
    return descriptor != -1;
}

void tDeviceInterfaceProxy::openInterface(const char* path, tStatusRecord& status) {
    open(path, status);
}

void tDeviceInterfaceProxy::open(const char* path, tStatusRecord& status) {
    if (status.isFatal()) {
        return;
    }
    // Reopening replaces the device; the old descriptor would otherwise leak.
    close();
    descriptor = ::open(path, O_RDWR | O_CLOEXEC);
    if (descriptor == -1) {
        QV_SET_STATUS(status, statusFromErrno(errno));
    }
}

}  // namespace nZORFEL000
}  // namespace nQUORVAMONITORD_18_5
