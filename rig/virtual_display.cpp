#include "virtual_display.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

bool openVirtualDisplay(VirtualDisplay* virtualDisplay)
{
    virtualDisplay->log = "/tmp/vesmira-xorg-" + std::to_string(getpid()) + ".log";
    virtualDisplay->server = startXServer(XORG_CONFIG, virtualDisplay->log);
    if (virtualDisplay->server.display >= 0) {
        setenv("DISPLAY", displayName(virtualDisplay->server).c_str(), 1);
        virtualDisplay->display = openDisplay();
    }
    if (virtualDisplay->display == nullptr) {
        (void)std::fprintf(stderr, "the virtual display did not start; see %s\n", virtualDisplay->log.c_str());
        stopXServer(&virtualDisplay->server);
        return false;
    }
    return true;
}

void closeVirtualDisplay(VirtualDisplay* virtualDisplay)
{
    if (virtualDisplay->display != nullptr) {
        closeDisplay(virtualDisplay->display);
        virtualDisplay->display = nullptr;
    }
    stopXServer(&virtualDisplay->server);
}
