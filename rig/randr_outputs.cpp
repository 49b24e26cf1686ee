#include "randr_outputs.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

std::vector<OutputShows> activeOutputs(Display* display)
{
    std::vector<OutputShows> outputs;
    XRRScreenResources* screen = XRRGetScreenResourcesCurrent(display, DefaultRootWindow(display));
    for (int i = 0; screen != nullptr && i < screen->noutput; ++i) {
        XRROutputInfo* output = XRRGetOutputInfo(display, screen, screen->outputs[i]);
        if (output == nullptr) {
            continue;
        }
        XRRCrtcInfo* crtc = output->crtc != 0 ? XRRGetCrtcInfo(display, screen, output->crtc) : nullptr;
        for (int m = 0; crtc != nullptr && m < screen->nmode; ++m) {
            const XRRModeInfo& mode = screen->modes[m];
            const unsigned long dots = static_cast<unsigned long>(mode.hTotal) * mode.vTotal;
            // The test modes are neither interlaced nor double-scanned.
            if (mode.id == crtc->mode && dots > 0) {
                outputs.push_back({std::string(output->name, static_cast<size_t>(output->nameLen)), crtc->x, crtc->y,
                                   static_cast<int>(mode.width), static_cast<int>(mode.height),
                                   static_cast<int>((mode.dotClock + dots / 2) / dots)});
            }
        }
        if (crtc != nullptr) {
            XRRFreeCrtcInfo(crtc);
        }
        XRRFreeOutputInfo(output);
    }
    if (screen != nullptr) {
        XRRFreeScreenResources(screen);
    }
    return outputs;
}

unsigned long outputsSetAt(Display* display)
{
    XRRScreenResources* screen = XRRGetScreenResourcesCurrent(display, DefaultRootWindow(display));
    const unsigned long setAt = screen != nullptr ? screen->timestamp : 0;
    if (screen != nullptr) {
        XRRFreeScreenResources(screen);
    }
    return setAt;
}

std::string describeOutputs(const std::vector<OutputShows>& outputs)
{
    std::string text;
    for (const OutputShows& output : outputs) {
        text += (text.empty() ? "" : ", ") + output.name + " " + std::to_string(output.width) + "x" +
                std::to_string(output.height) + "+" + std::to_string(output.x) + "+" + std::to_string(output.y) + " " +
                std::to_string(output.refresh) + " Hz";
    }
    return text.empty() ? "no output" : text;
}
