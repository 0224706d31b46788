// quorvel-tray: the tray application, which `quorvel` without arguments becomes.
#include "tray/tray_main.h"

int main(int argc, char** argv) {
    return quorvel::tray::runTray(argc, argv);
}
