// The netlink side of the simulated driver: a bound NETLINK_GENERIC socket that sends datagrams
// to the ports that registered. Sending to a user port needs CAP_NET_ADMIN.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace nQUORVAMONITORD_18_5 {
namespace nQVDRIVERSIM {

class tNotificationSender {
  public:
    tNotificationSender() = default;
    ~tNotificationSender();
    tNotificationSender(const tNotificationSender&) = delete;
    tNotificationSender& operator=(const tNotificationSender&) = delete;

    // Creates and binds the socket (the kernel picks the port). On failure returns false and
    // sets error.
    bool open(std::string& error);

    // Sends one datagram without blocking. Returns 0 or the errno of the failure.
    int send(uint32_t port, const void* bytes, size_t size);

    uint32_t portId() const { return portId_; }

  private:
    int socket_ = -1;
    uint32_t portId_ = 0;
};

}  // namespace nQVDRIVERSIM
}  // namespace nQUORVAMONITORD_18_5
