#pragma once

#include <sys/types.h>

#include <string>

// A private Xorg with the dummy video driver: unlike Xvfb it has the
// XFree86-VidModeExtension, so full-screen mode switches really happen.
struct XServer {
    pid_t pid = -1;
    int display = -1;
    // Where a Wayland compositor keeps its socket, removed with it.
    std::string runtimeDir;
};

// Starts Xorg with configPath on a free display number; display stays -1
// when it did not come up within the time limit.
XServer startXServer(const std::string& configPath, const std::string& logPath);
// Starts weston on a headless width x height output, in a runtime folder
// of its own, with XWayland: a Wayland desktop's X server. display stays -1
// when weston did not say within the time limit which display XWayland
// listens on.
XServer startWestonXWayland(const std::string& westonPath, const std::string& logPath, int width, int height);
void stopXServer(XServer* server);
std::string displayName(const XServer& server);
