#include "daemon/runCheck.h"

int main(int argc, char** argv) {
    return nQUORVAMONITORD_18_5::runCheck(argc, argv);
}
