#include "app/outputs.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <cstdio>
#include <cstring>

namespace {

// More than any graphics card drives; the dummy driver has 16.
constexpr int MAX_CRTCS = 32;
constexpr int MAX_CRTC_OUTPUTS = 16;

struct CrtcState {
    RRCrtc crtc;
    RRMode desktopMode;
    RRMode testMode;
    RROutput outputs[MAX_CRTC_OUTPUTS];
    int x;
    int y;
    int outputCount;
    Rotation rotation;
};

Display* connection = nullptr;
XRRScreenResources* resources = nullptr;
CrtcState crtcs[MAX_CRTCS];
int crtcCount = 0;
bool outputsChanged = false;

// What a mode line shows: its size and its refresh rate to the nearest Hz.
struct ShownMode {
    int width;
    int height;
    int refresh;
};

ShownMode shownMode(const XRRModeInfo& mode)
{
    unsigned long lines = mode.vTotal;
    if ((mode.modeFlags & RR_DoubleScan) != 0) {
        lines *= 2;
    }
    unsigned long dots = static_cast<unsigned long>(mode.hTotal) * lines;
    // An interlaced mode shows a field, half the lines, per refresh.
    unsigned long clock = mode.dotClock;
    if ((mode.modeFlags & RR_Interlace) != 0) {
        clock *= 2;
    }
    const unsigned long refresh = dots == 0 ? 0 : (clock + dots / 2) / dots;
    return ShownMode{static_cast<int>(mode.width), static_cast<int>(mode.height), static_cast<int>(refresh)};
}

bool shows(const ShownMode& mode, const DisplaySettings& settings)
{
    return mode.width == settings.width && mode.height == settings.height && mode.refresh == settings.refreshRate;
}

const XRRModeInfo* modeInfo(const XRRScreenResources* screen, RRMode id)
{
    for (int i = 0; i < screen->nmode; ++i) {
        if (screen->modes[i].id == id) {
            return &screen->modes[i];
        }
    }
    return nullptr;
}

bool outputOffers(RROutput output, RRMode mode)
{
    XRROutputInfo* info = XRRGetOutputInfo(connection, resources, output);
    bool offered = false;
    for (int i = 0; info != nullptr && i < info->nmode && !offered; ++i) {
        offered = info->modes[i] == mode;
    }
    if (info != nullptr) {
        XRRFreeOutputInfo(info);
    }
    return offered;
}

// Prints the output's name, or its number when it has none.
void printOutputName(RROutput output)
{
    XRROutputInfo* info = XRRGetOutputInfo(connection, resources, output);
    if (info != nullptr && info->nameLen > 0) {
        (void)std::fprintf(stderr, "%.*s", info->nameLen, info->name);
    } else {
        (void)std::fprintf(stderr, "%lu", output);
    }
    if (info != nullptr) {
        XRRFreeOutputInfo(info);
    }
}

bool nameStartsWith(const XRROutputInfo* info, const char* prefix)
{
    const auto length = static_cast<int>(std::strlen(prefix));
    return info->nameLen >= length && std::strncmp(info->name, prefix, static_cast<size_t>(length)) == 0;
}

// The mode of that size and rate that every output of the CRTC offers.
RRMode commonMode(const CrtcState& state, const DisplaySettings& settings)
{
    for (int i = 0; i < resources->nmode; ++i) {
        if (!shows(shownMode(resources->modes[i]), settings)) {
            continue;
        }
        bool everywhere = true;
        for (int k = 0; k < state.outputCount && everywhere; ++k) {
            everywhere = outputOffers(state.outputs[k], resources->modes[i].id);
        }
        if (everywhere) {
            return resources->modes[i].id;
        }
    }
    return None;
}

// The output of the CRTC that lacks the mode, for the message.
RROutput outputWithout(const CrtcState& state, const DisplaySettings& settings)
{
    for (int k = 0; k < state.outputCount; ++k) {
        bool offered = false;
        for (int i = 0; i < resources->nmode && !offered; ++i) {
            offered = shows(shownMode(resources->modes[i]), settings) &&
                      outputOffers(state.outputs[k], resources->modes[i].id);
        }
        if (!offered) {
            return state.outputs[k];
        }
    }
    return state.outputs[0];
}

}  // namespace

DesktopKind readOutputs(const char* displayName)
{
    connection = XOpenDisplay(displayName);
    int eventBase = 0;
    int errorBase = 0;
    int major = 0;
    int minor = 0;
    if (connection == nullptr || XRRQueryExtension(connection, &eventBase, &errorBase) == 0 ||
        XRRQueryVersion(connection, &major, &minor) == 0 || (major == 1 && minor < 2)) {
        return DESKTOP_SINGLE_OUTPUT;
    }
    resources = XRRGetScreenResources(connection, DefaultRootWindow(connection));
    if (resources == nullptr) {
        return DESKTOP_SINGLE_OUTPUT;
    }
    bool wayland = false;
    for (int i = 0; i < resources->noutput; ++i) {
        XRROutputInfo* info = XRRGetOutputInfo(connection, resources, resources->outputs[i]);
        wayland = wayland || (info != nullptr && nameStartsWith(info, "XWAYLAND"));
        if (info != nullptr) {
            XRRFreeOutputInfo(info);
        }
    }
    int outputCount = 0;
    for (int i = 0; i < resources->ncrtc && crtcCount < MAX_CRTCS; ++i) {
        XRRCrtcInfo* info = XRRGetCrtcInfo(connection, resources, resources->crtcs[i]);
        if (info != nullptr && info->mode != None && info->noutput > 0) {
            CrtcState& state = crtcs[crtcCount++];
            state.crtc = resources->crtcs[i];
            state.desktopMode = info->mode;
            state.x = info->x;
            state.y = info->y;
            state.rotation = info->rotation;
            state.outputCount = info->noutput < MAX_CRTC_OUTPUTS ? info->noutput : MAX_CRTC_OUTPUTS;
            for (int k = 0; k < state.outputCount; ++k) {
                state.outputs[k] = info->outputs[k];
            }
            outputCount += state.outputCount;
        }
        if (info != nullptr) {
            XRRFreeCrtcInfo(info);
        }
    }
    if (wayland) {
        return DESKTOP_WAYLAND;
    }
    return outputCount > 1 ? DESKTOP_SEVERAL_OUTPUTS : DESKTOP_SINGLE_OUTPUT;
}

bool outputsHaveMode(const DisplaySettings& settings)
{
    for (int i = 0; i < crtcCount; ++i) {
        crtcs[i].testMode = commonMode(crtcs[i], settings);
        if (crtcs[i].testMode == None) {
            (void)std::fputs("vesmira: output ", stderr);
            printOutputName(outputWithout(crtcs[i], settings));
            (void)std::fprintf(stderr, " has no %dx%d mode at %d Hz\n", settings.width, settings.height,
                               settings.refreshRate);
            return false;
        }
    }
    return true;
}

void setOutputsMode()
{
    outputsChanged = true;
    for (int i = 0; i < crtcCount; ++i) {
        CrtcState& state = crtcs[i];
        // A refusal shows in what the outputs read back afterwards.
        (void)XRRSetCrtcConfig(connection, resources, state.crtc, CurrentTime, 0, 0, state.testMode, state.rotation,
                               state.outputs, state.outputCount);
    }
    XSync(connection, False);
}

bool outputsShowMode(const DisplaySettings& settings)
{
    XRRScreenResources* now = XRRGetScreenResourcesCurrent(connection, DefaultRootWindow(connection));
    bool all = now != nullptr;
    for (int i = 0; i < crtcCount && all; ++i) {
        XRRCrtcInfo* info = XRRGetCrtcInfo(connection, now, crtcs[i].crtc);
        const XRRModeInfo* mode = info != nullptr ? modeInfo(now, info->mode) : nullptr;
        const ShownMode shown = mode != nullptr ? shownMode(*mode) : ShownMode{0, 0, 0};
        all = shows(shown, settings);
        if (!all) {
            (void)std::fputs("vesmira: output ", stderr);
            printOutputName(crtcs[i].outputs[0]);
            (void)std::fprintf(stderr, " shows %dx%d at %d Hz, not the mode asked for\n", shown.width, shown.height,
                               shown.refresh);
        }
        if (info != nullptr) {
            XRRFreeCrtcInfo(info);
        }
    }
    if (now != nullptr) {
        XRRFreeScreenResources(now);
    }
    return all;
}

bool waylandShowsMode(const DisplaySettings& settings)
{
    for (int i = 0; i < crtcCount; ++i) {
        const XRRModeInfo* mode = modeInfo(resources, crtcs[i].desktopMode);
        const ShownMode shown = mode != nullptr ? shownMode(*mode) : ShownMode{0, 0, 0};
        if (!shows(shown, settings)) {
            (void)std::fprintf(stderr,
                               "vesmira: this desktop runs Wayland, where only the desktop sets the display mode, "
                               "and it shows %dx%d at %d Hz; set it to %dx%d at %d Hz in the display settings, "
                               "then start vesmira again\n",
                               shown.width, shown.height, shown.refresh, settings.width, settings.height,
                               settings.refreshRate);
            return false;
        }
    }
    return crtcCount > 0;
}

void restoreOutputs()
{
    if (!outputsChanged) {
        return;
    }
    for (int i = 0; i < crtcCount; ++i) {
        CrtcState& state = crtcs[i];
        (void)XRRSetCrtcConfig(connection, resources, state.crtc, CurrentTime, state.x, state.y, state.desktopMode,
                               state.rotation, state.outputs, state.outputCount);
    }
    XSync(connection, False);
}
