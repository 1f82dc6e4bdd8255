// The client side of the control socket: sends one request and prints the server's reply.
#pragma once

#include <string>
#include <vector>

namespace nQUORVAMONITORD_18_5 {
namespace nQVDRIVERSIM {

class tControlClient {
  public:
    // Runs a client command (args[0] is its name). Returns the exit status: 0 when the server
    // carried it out, 1 when it failed or could not be reached, 2 for a malformed command line.
    static int run(const std::vector<std::string>& args);

  private:
    static bool exchange(const std::string& path, const std::string& line, std::string& reply,
                         std::string& error);
};

}  // namespace nQVDRIVERSIM
}  // namespace nQUORVAMONITORD_18_5
