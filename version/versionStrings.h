// The identification block: nine "key=value" strings carried in the executable's read-only data.
#pragma once

namespace nQUORVAMONITORD_18_5 {

// Returns the nine identification strings in their fixed order, followed by a null pointer.
const char* const* versionStrings();

}  // namespace nQUORVAMONITORD_18_5
