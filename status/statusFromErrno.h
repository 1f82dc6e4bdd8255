// Translation of operating-system error numbers into status codes.
#pragma once

#include <cstdint>

namespace nQUORVAMONITORD_18_5 {
namespace nZORFEL000 {

// Defined for every int: 0 gives 0, numbers without a meaning of their own and every value
// outside 0-130 (negative ones included) give kStatusOsFault.
int64_t statusFromErrno(int errorNumber);

}  // namespace nZORFEL000
}  // namespace nQUORVAMONITORD_18_5
