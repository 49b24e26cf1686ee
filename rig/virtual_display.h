#pragma once

#include <string>

#include "x_client.h"
#include "x_server.h"

// A private Xorg for the whole run of a tool. DISPLAY points at it, so the
// programs the tool starts draw there.
struct VirtualDisplay {
    XServer server;
    Display* display = nullptr;
    std::string log;
};

// False, with the reason on stderr, when the server did not come up.
bool openVirtualDisplay(VirtualDisplay* virtualDisplay);
void closeVirtualDisplay(VirtualDisplay* virtualDisplay);
