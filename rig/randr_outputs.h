#pragma once

#include <string>
#include <vector>

// Apart from x_client.h: RandR's headers bring in XRender's Picture, which
// clashes with the rig's.
// NOLINTNEXTLINE(modernize-use-using,bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): Xlib's own name
typedef struct _XDisplay Display;

// An output that shows part of the screen, as RandR reads it back.
struct OutputShows {
    std::string name;
    int x;
    int y;
    int width;
    int height;
    int refresh;  // to the nearest Hz
};

// Every output that shows a mode, in RandR's order.
std::vector<OutputShows> activeOutputs(Display* display);
// When an output's mode or place was last set, by the server's clock.
unsigned long outputsSetAt(Display* display);
// "DUMMY0 1024x768+0+0 60 Hz, DUMMY1 ...", to compare and to show.
std::string describeOutputs(const std::vector<OutputShows>& outputs);
