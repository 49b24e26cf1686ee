#include "probe_report.h"

#include <cstdio>

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
