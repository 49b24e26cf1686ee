#pragma once

#include <sys/types.h>

#include <string>

// A private Xorg with the dummy video driver: unlike Xvfb it has the
// XFree86-VidModeExtension, so full-screen mode switches really happen.
struct XServer {
    pid_t pid = -1;
    int display = -1;
};

// Starts Xorg with configPath on a free display number; display stays -1
// when it did not come up within the time limit.
XServer startXServer(const std::string& configPath, const std::string& logPath);
void stopXServer(XServer* server);
std::string displayName(const XServer& server);
