// Symbolic names of error numbers, as written in the configuration and in the log.
#pragma once

#include <string>
#include <string_view>

namespace nQUORVAMONITORD_18_5 {
namespace nQVDRIVERSIM {

// "EACCES" for EACCES; "errnoN" for a number N without a known name.
std::string errnoName(int error);

// Accepts a known name ("EIO") or a decimal number. The value must lie in 1..511 (what the
// kernel lets a FUSE file system return) and must not be ENOSYS, which the kernel reads as
// "operation not implemented" and would then stop forwarding. Returns false otherwise.
bool parseErrno(std::string_view text, int& error);

}  // namespace nQVDRIVERSIM
}  // namespace nQUORVAMONITORD_18_5
