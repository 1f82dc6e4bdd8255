#include "protons/enumeration/linuxU/tDeviceInterfaceIterator.h"

#include <cstdio>

namespace nQUORVAMONITORD_18_5 {
namespace nZORFEL000 {
namespace {

// Interface directories are named "<name>\<suffix>"; the doubled backslash reaches glob as an
// escaped, literal backslash.
constexpr const char* kInterfacePattern = "/proc/driver/qv/*/deviceInterfaces/%s\\\\*";
constexpr size_t kPatternCapacity = 4096;

}  // namespace

tDeviceInterfaceIterator::tDeviceInterfaceIterator()
    : matches_{}, holdsMatches_(false), cursor_(nullptr) {}

tDeviceInterfaceIterator::~tDeviceInterfaceIterator() {
    release();
}

void tDeviceInterfaceIterator::findInterface(const char* name, tStatusRecord& status) {
    // A second search on the same iterator must not leak the first one's matches.
    release();

    char pattern[kPatternCapacity];
    snprintf(pattern, sizeof pattern, kInterfacePattern, name);

    // glob fills matches_ (possibly with nothing) whatever it returns, so it is always freed.
    const int result = glob(pattern, GLOB_ONLYDIR, nullptr, &matches_);
    holdsMatches_ = true;
    if (result == 0) {
        cursor_ = matches_.gl_pathv;
    } else if (result != GLOB_NOMATCH) {
        QV_SET_STATUS(status, kStatusEnumerationFailed);
    }
}

bool tDeviceInterfaceIterator::atEnd() const {
    return cursor_ == nullptr || *cursor_ == nullptr;
}

const char* tDeviceInterfaceIterator::currentPath() const {
    return *cursor_;
}

void tDeviceInterfaceIterator::release() {
    if (holdsMatches_) {
        globfree(&matches_);
        holdsMatches_ = false;
    }
    cursor_ = nullptr;
}

}  // namespace nZORFEL000
}  // namespace nQUORVAMONITORD_18_5
