// qvdriversim: plays the device's kernel driver through the real kernel paths (a FUSE file
// system for its procfs tree and device node, generic netlink for its messages), so the
// daemon can be run and tested unchanged on a machine without the driver.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/qvdriversim/runServe.h"
#include "tools/qvdriversim/tControlClient.h"

namespace {

const char kUsage[] =
    "usage:\n"
    "  qvdriversim serve [--mount DIR] [--config FILE] [--control PATH]\n"
    "  qvdriversim notify [--payload HEX] [--payload-size N] [--cookie N] [--nltype N]"
    " [--length N]\n"
    "  qvdriversim release [the options of notify]\n"
    "  qvdriversim send --event T [the options of notify]\n"
    "  qvdriversim send --hex BYTES\n"
    "  qvdriversim log\n"
    "  qvdriversim ports\n"
    "  qvdriversim fail-register ERR [COUNT]\n"
    "  qvdriversim remove --kernel\n"
    "  qvdriversim add --kernel\n"
    "  qvdriversim check-config FILE\n"
    "Every command but serve and check-config takes --control PATH (default: "
    "$QVDRIVERSIM_CONTROL, else /run/qvdriversim.sock) or --kernel, before or after the "
    "command (the kernel module qvdrivermod's control file, "
    "/sys/kernel/debug/qvdrivermod/control).\n";

}  // namespace

int main(int argc, char** argv) {
    using namespace nQUORVAMONITORD_18_5::nQVDRIVERSIM;
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const std::string& command = args[0];
    if (command == "help" || command == "--help" || command == "-h") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (command == "serve") {
        return runServe({args.begin() + 1, args.end()});
    }
    if (command == "check-config") {
        return runCheckConfig({args.begin() + 1, args.end()});
    }
    return tControlClient::run(args);
}
