// Request numbers the simulated device node answers besides registration, and the values it
// puts in a tDeviceIoRequest. Shared by the simulator and the tests that drive it.
#pragma once

#include <cerrno>
#include <cstdint>

namespace nQUORVAMONITORD_18_5 {
namespace nQVDRIVERSIM {

// Encodes a request number the way the kernel's _IOC macro does, for type 0xFF and a 32-byte
// block transferred in both directions (read and write).
constexpr uint32_t blockRequest(uint32_t number) {
    return (3u << 30) | (32u << 16) | (0xFFu << 8) | number;
}

// Fills the block's result field with kFillResultValue.
inline constexpr uint32_t kFillResultRequest = blockRequest(2);
inline constexpr uint64_t kFillResultValue = 0x1122334455667788ull;

// Always fails with kFailingRequestErrno; the block comes back untouched.
inline constexpr uint32_t kFailingRequest = blockRequest(3);
inline constexpr int kFailingRequestErrno = EIO;

// Puts (inputSize << 32) | outputSize into the block's result field, so a caller can see the
// sizes that reached the driver.
inline constexpr uint32_t kEchoSizesRequest = blockRequest(4);

// Memory exposed through mmap and read/write of the node: every byte of page k holds k & 0xFF.
inline constexpr uint32_t kDefaultPageCount = 8;

}  // namespace nQVDRIVERSIM
}  // namespace nQUORVAMONITORD_18_5
