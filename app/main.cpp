// dockhand: the FTP server (first instance), its admin (a later instance) or
// the service (started with the single argument "service").
#include "app/startup.h"

int main(int argc, char** argv) {
    return DockhandMain(argc, argv);
}
