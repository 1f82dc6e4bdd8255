// Searches the driver's procfs tree for the device interfaces of one name.
#pragma once

#include <glob.h>

#include "status/tStatusRecord.h"

namespace nQUORVAMONITORD_18_5 {
namespace nZORFEL000 {

class tDeviceInterfaceIterator {
  public:
    tDeviceInterfaceIterator();
    ~tDeviceInterfaceIterator();
    tDeviceInterfaceIterator(const tDeviceInterfaceIterator&) = delete;
    tDeviceInterfaceIterator& operator=(const tDeviceInterfaceIterator&) = delete;

    // Matches /proc/driver/qv/*/deviceInterfaces/<name>\<suffix> directories and puts the cursor
    // on the first in byte order. No match leaves the iterator at its end; a failed search also
    // sets kStatusEnumerationFailed. Runs whatever the status record holds.
    void findInterface(const char* name, tStatusRecord& status);

    bool atEnd() const;

    // The matched directory under the cursor; valid while not atEnd().
    const char* currentPath() const;

    // Frees the matches. The iterator is not queried afterwards.
    void release();

  private:
    glob_t matches_;
    bool holdsMatches_;
    char** cursor_;
};

}  // namespace nZORFEL000
}  // namespace nQUORVAMONITORD_18_5
