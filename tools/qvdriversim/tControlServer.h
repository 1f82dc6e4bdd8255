// Listens on the control socket and answers one request per connection on its own thread.
// A request is one line (tControlRequest::encode); the reply's first line is "ok" or
// "error", the rest is the text for the person at the client.
#pragma once

#include <string>
#include <thread>

#include "tools/qvdriversim/tSimulatedDriver.h"

namespace nQUORVAMONITORD_18_5 {
namespace nQVDRIVERSIM {

class tControlServer {
  public:
    explicit tControlServer(tSimulatedDriver& driver) : driver_(driver) {}
    // Stops the thread, closes the socket and removes its file.
    ~tControlServer();
    tControlServer(const tControlServer&) = delete;
    tControlServer& operator=(const tControlServer&) = delete;

    // Binds and listens at path. Refuses when another server answers there; a stale socket
    // file is replaced.
    bool listen(const std::string& path, std::string& error);

    // Starts answering on a new thread, which blocks the termination signals so that they
    // reach the file-system loop.
    bool start(std::string& error);

  private:
    void serve();
    void answer(int connection);

    tSimulatedDriver& driver_;
    std::string path_;
    int socket_ = -1;
    int stopRead_ = -1;
    int stopWrite_ = -1;
    std::thread thread_;
};

}  // namespace nQVDRIVERSIM
}  // namespace nQUORVAMONITORD_18_5
