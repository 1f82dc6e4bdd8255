// Sends notification messages the way the driver does: 72-byte datagrams from a bound
// NETLINK_GENERIC socket to a reader's port (needs root). Taking the time in the sending process,
// just before sendto, gives the start of every latency measured.
#pragma once

#include <cstdint>

#include "protons/io_notification/linuxU/tIONotification.h"

namespace nQUORVAMONITORD_18_5 {
namespace nQVBENCH {

// A driver message: netlink type 0x1c, generic header command 1 version 1, one attribute whose
// type is the event type, an empty payload.
nZORFEL000::tNotificationMessage makeNotificationMessage(uint16_t eventType, uint64_t cookie,
                                                         uint32_t sequence, uint32_t senderPort);

class tNetlinkSender {
  public:
    tNetlinkSender();
    ~tNetlinkSender();
    tNetlinkSender(const tNetlinkSender&) = delete;
    tNetlinkSender& operator=(const tNetlinkSender&) = delete;

    bool ready() const { return socket_ >= 0; }

    // Sends one message of eventType to port. Returns the CLOCK_MONOTONIC time in nanoseconds
    // taken just before sendto, or 0 if the send failed.
    int64_t send(uint32_t port, uint16_t eventType, uint64_t cookie);

  private:
    int socket_ = -1;
    uint32_t port_ = 0;
    uint32_t sequence_ = 0;
};

}  // namespace nQVBENCH
}  // namespace nQUORVAMONITORD_18_5
