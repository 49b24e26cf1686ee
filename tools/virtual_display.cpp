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

bool parseProbeReport(const std::string& text, ProbeReport* report)
{
    const size_t at = text.find("probe: ");
    if (at == std::string::npos) {
        return false;
    }
    // The probe writes these numbers itself; sscanf's lack of range errors is harmless here.
    const int fields = std::sscanf(text.c_str() + at,  // NOLINT(cert-err34-c)
                                   "probe: frames=%ld seconds=%lf allocations=%lu own=%lu", &report->frames,
                                   &report->seconds, &report->allocations, &report->own);
    return fields == 4;
}
