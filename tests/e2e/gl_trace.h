#pragma once

#include <string>
#include <vector>

// One call as `apitrace dump` prints it: the name, and the text between
// the parentheses, e.g. "x = 0, y = 0, width = 1024, height = 768".
struct GlCall {
    std::string name;
    std::string args;
};

// What happened up to one buffer swap. GLUT's own work before the frame
// (its reshape viewport, and for the first frame the whole start-up) is
// kept apart in preamble; calls runs from the frame's glClear to
// glXSwapBuffers.
struct GlFrame {
    std::vector<GlCall> preamble;
    std::vector<GlCall> calls;
};

// Dumps traceFile with apitrace and splits it at the swaps. Context
// switches and the pixel-store bookkeeping that GLUT wraps around every
// glyph are left out; everything else is kept in order.
bool readTrace(const std::string& traceFile, std::vector<GlFrame>* frames);

std::string callText(const GlCall& call);
// The texts of up to count calls from begin on.
std::vector<std::string> callTexts(const std::vector<GlCall>& calls, size_t begin, size_t count);
