#include "daemon/runDaemon.h"

int main(int argc, char** argv) {
    return nQUORVAMONITORD_18_5::runDaemon(argc, argv);
}
