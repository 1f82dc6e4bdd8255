#include "version/versionStrings.h"

#include "version/buildInfo.h"

namespace nQUORVAMONITORD_18_5 {
namespace {

#define QV_PRODUCT_VERSION "18.5.0f0"

// One array, so the strings sit in read-only data in exactly this order.
__attribute__((used)) constexpr char kIdentificationBlock[] =
    "nQVVersion_CompanyName=Quorva Systems\0"
    "nQVVersion_LegalCopyright=Copyright (C) 2026 Quorva Systems. Released under the MIT License.\0"
    "nQVVersion_ProductName=QUORVAMONITORD\0"
    "nQVVersion_OriginalFilename=quorvamonitord\0"
    "nQVVersion_FileDescription=Stops recorded processes when the device driver requests a "
    "restart\0"
    "nQVVersion_ProductVersion=" QV_PRODUCT_VERSION
    "\0"
    "nQVVersion_FileVersion=" QV_PRODUCT_VERSION
    "\0"
    "nQVVersion_InternalName=QUORVAMONITORD " QV_PRODUCT_VERSION
    "\0"
    "nQVVersion_Comments=" QV_BUILD_DATE ", " QV_BUILD_CONFIGURATION;

constexpr int kStringCount = 9;

struct tStringTable {
    const char* entries[kStringCount + 1];
};

// Splits the block at its NULs once, at compile time.
constexpr tStringTable makeTable() {
    tStringTable table{};
    const char* next = kIdentificationBlock;
    for (int i = 0; i < kStringCount; ++i) {
        table.entries[i] = next;
        while (*next != '\0') {
            ++next;
        }
        ++next;
    }
    table.entries[kStringCount] = nullptr;
    return table;
}

constexpr tStringTable kTable = makeTable();

}  // namespace

const char* const* versionStrings() {
    return kTable.entries;
}

}  // namespace nQUORVAMONITORD_18_5
