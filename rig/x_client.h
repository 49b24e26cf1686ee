#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

struct ModeSize {
    int width;
    int height;
    int refresh;  // whole Hz, as the mode line rounds down
};

// Xlib's connection type, without Xlib's macros (Bool, None, ...) that
// clash with GoogleTest.
// NOLINTNEXTLINE(modernize-use-using,bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): Xlib's own name
typedef struct _XDisplay Display;

// name "" is $DISPLAY; nullptr when it cannot be opened.
Display* openDisplay(const std::string& name = "");
void closeDisplay(Display* display);

// The mode the screen is in now, as XF86VidMode reports it.
ModeSize currentMode(Display* display);
bool screenInMode(Display* display, int width, int height);
// Waits until the screen is in that mode while the program with this pid
// runs; false if the program ended first or the time ran out.
bool waitForProgramMode(Display* display, pid_t pid, int width, int height, int timeoutMs);

// Puts the screen back into the mode of that size (the desktop mode), so a
// failed test does not leave the next one in a different mode.
bool switchToMode(Display* display, int width, int height);

// Whether a window manager has announced itself on the root window
// (_NET_SUPPORTING_WM_CHECK).
bool windowManagerRunning(Display* display);

// Resizes the largest window shown on the screen, such as the program's
// game-mode window, as a window manager could; false if there is none.
bool resizeLargestWindow(Display* display, int width, int height);

// Types one key through XTest, with Shift held if asked.
void pressKey(Display* display, const char* keysymName, bool withShift = false);

struct Rgb {
    int r;
    int g;
    int b;
};

// A rectangle of the screen, colours scaled to 0..255.
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<Rgb> pixels;
    Rgb at(int x, int y) const
    {
        return pixels[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)];
    }
};

struct Point {
    int x;
    int y;
};

// The top-left corner of the part of the screen the monitor shows, as
// XF86VidMode reports it.
Point viewPort(Display* display);

// What a monitor shows in a width x height mode: that rectangle of the
// screen at the VidMode viewport. Picture row 0 is the top.
Picture grabPicture(Display* display, int width, int height);
// The whole screen, the desktop's size.
Picture grabScreen(Display* display);
// A rectangle of the screen, left and top in screen coordinates. Windows
// of another depth than the screen's are read from the windows themselves.
Picture grabRectangle(Display* display, int left, int top, int width, int height);

// A window on the screen, its inside in root coordinates; id 0 when none.
struct WindowPlace {
    unsigned long id = 0;
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// The viewable window with that name (WM_NAME), at any depth of the tree.
WindowPlace findWindow(Display* display, const std::string& name);
// What the window itself holds, where no root pixels stand for it (as under
// XWayland, whose windows the compositor shows).
Picture grabWindow(Display* display, const WindowPlace& window);

// Whether a pixel shows the colour (components 0..1) within the rounding
// of a 16-bit (5-6-5) screen.
bool looksLike(Rgb pixel, float r, float g, float b);

bool savePng(const Picture& picture, const std::string& path);
