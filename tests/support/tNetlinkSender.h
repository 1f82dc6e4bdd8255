// Sends datagrams to a netlink port from a bound user-space NETLINK_GENERIC socket, as the driver
// (or its simulator) does. Sending to another process's port needs root.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>

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

// Sends one well-formed 72-byte driver message per event type (cookie 0, no payload, the sender
// port field 0 as in the kernel's own messages) to port, from a child process whose user and
// group ids are all id, with no supplementary groups and CAP_NET_ADMIN as its only capability:
// as a network service may run, allowed to send to any port. True when the child took those ids
// and queued every message. untilFull: the first message instead, again and again without
// blocking until the port's receive buffer refuses one; true when some were queued before that.
bool sendAsUserWithNetAdmin(uid_t id, uint32_t port, std::initializer_list<uint16_t> eventTypes,
                            bool untilFull = false);

}  // namespace nQUORVAMONITORD_18_5
