#include "daemon/gNotificationReader.h"

#include <cstdlib>

namespace nQUORVAMONITORD_18_5 {

// Constant-initialised, so it exists before any dynamic initialisation runs, and trivially
// destructible, so nothing touches it after the exit-time release.
constinit tNotificationReaderHolder gNotificationReader;

void tNotificationReaderHolder::install(nZORFEL000::tIONotificationReader* reader) {
    release();
    reader_ = reader;
}

void tNotificationReaderHolder::release() {
    delete reader_;
    reader_ = nullptr;
}

namespace {

void releaseReaderAtExit() {
    gNotificationReader.release();
}

// Registered during static initialisation, before the daemon routine runs.
[[maybe_unused]] const int kReleaseRegistered = std::atexit(releaseReaderAtExit);

}  // namespace
}  // namespace nQUORVAMONITORD_18_5
