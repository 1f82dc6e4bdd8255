// The process-wide holder of the daemon's notification reader. It owns the reader until process
// exit, when a handler registered during static initialisation deletes it (closing its pipe and
// socket).
#pragma once

#include "protons/io_notification/linuxU/tIONotification.h"

namespace nQUORVAMONITORD_18_5 {

class tNotificationReaderHolder {
  public:
    constexpr tNotificationReaderHolder() = default;

    nZORFEL000::tIONotificationReader* get() const { return reader_; }

    // Takes ownership of reader, deleting the one held before, if any.
    void install(nZORFEL000::tIONotificationReader* reader);

    // Deletes the held reader, if any, and empties the holder.
    void release();

  private:
    nZORFEL000::tIONotificationReader* reader_ = nullptr;
};

extern tNotificationReaderHolder gNotificationReader;

}  // namespace nQUORVAMONITORD_18_5
