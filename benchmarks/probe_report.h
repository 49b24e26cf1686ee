#pragma once

#include <string>

// What the frame probe reports for one stretch of frames.
struct ProbeReport {
    long frames = 0;
    double seconds = 0.0;
    unsigned long allocations = 0;
    unsigned long own = 0;  // made by the program's own code, when asked for
};

// Finds the first "probe:" line in text.
bool parseProbeReport(const std::string& text, ProbeReport* report);
