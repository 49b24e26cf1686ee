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

// What the frame probe reports for one stretch of frames.
struct ProbeReport {
    long frames = 0;
    double seconds = 0.0;
    unsigned long allocations = 0;
    unsigned long own = 0;  // made by the program's own code, when asked for
};

// Finds the first "probe:" line in text.
bool parseProbeReport(const std::string& text, ProbeReport* report);
