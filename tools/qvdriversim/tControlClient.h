// The client side of the control surface: sends one request and prints the reply. The other end
// is the simulator's control socket, or the kernel module's control file when the control path
// is a regular file (--kernel names it).
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
    // Writes the line to the module's control file and reads its reply from the same open file.
    // False with a message in error when the file cannot be used; otherwise done tells whether
    // the module carried the command out, and reply holds its text.
    static bool exchangeWithModule(const std::string& path, const std::string& line, bool& done,
                                   std::string& reply, std::string& error);
};

}  // namespace nQVDRIVERSIM
}  // namespace nQUORVAMONITORD_18_5
