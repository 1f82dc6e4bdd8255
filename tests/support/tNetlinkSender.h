// Sends datagrams to a netlink port from a bound user-space NETLINK_GENERIC socket, as the driver
// (or its simulator) does. Sending to another process's port needs root.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nQUORVAMONITORD_18_5 {

class tNetlinkSender {
  public:
    tNetlinkSender();
    ~tNetlinkSender();
    tNetlinkSender(const tNetlinkSender&) = delete;
    tNetlinkSender& operator=(const tNetlinkSender&) = delete;

    bool ready() const { return socket_ >= 0; }

    // Sends one datagram of size bytes to port; true when all of it was queued (errno says why
    // not). flags go to sendto, e.g. MSG_DONTWAIT. Allocates nothing.
    bool send(uint32_t port, const void* bytes, size_t size, int flags = 0) const;

  private:
    int socket_ = -1;
};

}  // namespace nQUORVAMONITORD_18_5
