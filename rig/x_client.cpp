#include "x_client.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/xf86vmode.h>
#include <png.h>

#include <algorithm>
#include <cstdlib>

#include "process.h"

namespace {

int maskShift(unsigned long mask)
{
    int shift = 0;
    while (mask != 0 && (mask & 1UL) == 0) {
        mask >>= 1;
        ++shift;
    }
    return shift;
}

int channel(unsigned long pixel, unsigned long mask)
{
    const int shift = maskShift(mask);
    const unsigned long top = mask >> shift;
    return top == 0 ? 0 : static_cast<int>(((pixel & mask) >> shift) * 255UL / top);
}

struct Area {
    int x;
    int y;
    int width;
    int height;
};

// Converts the image's pixels from (imageX, imageY) on into the picture's
// area, by the visual's colour masks.
void copyPixels(XImage* image, const Visual* visual, const Area& area, int imageX, int imageY, Picture* picture)
{
    for (int y = 0; y < area.height; ++y) {
        for (int x = 0; x < area.width; ++x) {
            const unsigned long pixel = XGetPixel(image, imageX + x, imageY + y);
            picture->pixels[static_cast<size_t>(area.y + y) * static_cast<size_t>(picture->width) +
                            static_cast<size_t>(area.x + x)] =
                Rgb{channel(pixel, visual->red_mask), channel(pixel, visual->green_mask),
                    channel(pixel, visual->blue_mask)};
        }
    }
}

}  // namespace

Display* openDisplay(const std::string& name)
{
    return XOpenDisplay(name.empty() ? nullptr : name.c_str());
}

void closeDisplay(Display* display)
{
    XCloseDisplay(display);
}

bool screenInMode(Display* display, int width, int height)
{
    const ModeSize mode = currentMode(display);
    return mode.width == width && mode.height == height;
}

bool waitForProgramMode(Display* display, pid_t pid, int width, int height, int timeoutMs)
{
    const bool settled = waitUntil([&] { return screenInMode(display, width, height) || hasEnded(pid); }, timeoutMs);
    return settled && !hasEnded(pid);
}

ModeSize currentMode(Display* display)
{
    int dotClock = 0;
    XF86VidModeModeLine line = {};
    XF86VidModeGetModeLine(display, DefaultScreen(display), &dotClock, &line);
    if (line.privsize > 0) {
        XFree(line.c_private);
    }
    const int refresh = line.htotal * line.vtotal > 0 ? dotClock * 1000 / (line.htotal * line.vtotal) : 0;
    return ModeSize{line.hdisplay, line.vdisplay, refresh};
}

bool switchToMode(Display* display, int width, int height)
{
    int count = 0;
    XF86VidModeModeInfo** modes = nullptr;
    const int screen = DefaultScreen(display);
    if (XF86VidModeGetAllModeLines(display, screen, &count, &modes) == 0) {
        return false;
    }
    bool switched = false;
    for (int i = 0; i < count && !switched; ++i) {
        if (modes[i]->hdisplay == width && modes[i]->vdisplay == height) {
            switched = XF86VidModeSwitchToMode(display, screen, modes[i]) != 0;
            XF86VidModeSetViewPort(display, screen, 0, 0);
        }
    }
    XFree(modes);
    XSync(display, False);
    return switched;
}

bool windowManagerRunning(Display* display)
{
    const Atom check = XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", False);
    Atom type = 0;
    int format = 0;
    unsigned long count = 0;
    unsigned long remaining = 0;
    unsigned char* data = nullptr;
    XGetWindowProperty(display, DefaultRootWindow(display), check, 0, 1, False, XA_WINDOW, &type, &format, &count,
                       &remaining, &data);
    if (data != nullptr) {
        XFree(data);
    }
    return type == XA_WINDOW && count == 1;
}

bool resizeLargestWindow(Display* display, int width, int height)
{
    Window rootReturn = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    XQueryTree(display, DefaultRootWindow(display), &rootReturn, &parent, &children, &count);
    Window largest = 0;
    long largestArea = 0;
    for (unsigned int i = 0; i < count; ++i) {
        XWindowAttributes attributes;
        if (XGetWindowAttributes(display, children[i], &attributes) == 0 || attributes.map_state != IsViewable) {
            continue;
        }
        const long area = static_cast<long>(attributes.width) * attributes.height;
        if (area > largestArea) {
            largest = children[i];
            largestArea = area;
        }
    }
    if (children != nullptr) {
        XFree(children);
    }
    if (largest == 0) {
        return false;
    }
    XResizeWindow(display, largest, static_cast<unsigned>(width), static_cast<unsigned>(height));
    XSync(display, False);
    return true;
}

void pressKey(Display* display, const char* keysymName, bool withShift)
{
    const KeyCode shift = XKeysymToKeycode(display, XStringToKeysym("Shift_L"));
    const KeyCode key = XKeysymToKeycode(display, XStringToKeysym(keysymName));
    if (withShift) {
        XTestFakeKeyEvent(display, shift, True, CurrentTime);
    }
    XTestFakeKeyEvent(display, key, True, CurrentTime);
    XTestFakeKeyEvent(display, key, False, CurrentTime);
    if (withShift) {
        XTestFakeKeyEvent(display, shift, False, CurrentTime);
    }
    XSync(display, False);
}

Point viewPort(Display* display)
{
    Point corner = {0, 0};
    XF86VidModeGetViewPort(display, DefaultScreen(display), &corner.x, &corner.y);
    return corner;
}

Picture grabPicture(Display* display, int width, int height)
{
    const Point corner = viewPort(display);
    return grabRectangle(display, corner.x, corner.y, width, height);
}

Picture grabScreen(Display* display)
{
    const int screen = DefaultScreen(display);
    return grabRectangle(display, 0, 0, DisplayWidth(display, screen), DisplayHeight(display, screen));
}

Picture grabRectangle(Display* display, int left, int top, int width, int height)
{
    Picture picture;
    const int screen = DefaultScreen(display);
    const Window root = RootWindow(display, screen);
    XImage* rootImage = XGetImage(display, root, left, top, static_cast<unsigned>(width), static_cast<unsigned>(height),
                                  AllPlanes, ZPixmap);
    if (rootImage == nullptr) {
        return picture;
    }
    picture.width = width;
    picture.height = height;
    picture.pixels.resize(static_cast<size_t>(width) * static_cast<size_t>(height));
    const Area whole = {0, 0, width, height};
    copyPixels(rootImage, DefaultVisual(display, screen), whole, 0, 0, &picture);

    // What the root reads where a window of another depth lies is undefined:
    // read those parts from the windows themselves. Bottom to top, as they
    // are stacked, and a window of the root's depth puts the root's reading
    // back, so the topmost window's pixels win.
    Window rootReturn = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    XQueryTree(display, root, &rootReturn, &parent, &children, &count);
    for (unsigned int i = 0; i < count; ++i) {
        XWindowAttributes attributes;
        if (XGetWindowAttributes(display, children[i], &attributes) == 0 || attributes.map_state != IsViewable) {
            continue;
        }
        // The window's inside, in the picture's coordinates, clipped to it.
        const int x0 = std::max(attributes.x + attributes.border_width - left, 0);
        const int y0 = std::max(attributes.y + attributes.border_width - top, 0);
        const int x1 = std::min(attributes.x + attributes.border_width + attributes.width - left, width);
        const int y1 = std::min(attributes.y + attributes.border_width + attributes.height - top, height);
        if (x0 >= x1 || y0 >= y1) {
            continue;
        }
        const Area area = {x0, y0, x1 - x0, y1 - y0};
        if (attributes.depth == DefaultDepth(display, screen)) {
            copyPixels(rootImage, DefaultVisual(display, screen), area, x0, y0, &picture);
            continue;
        }
        XImage* image = XGetImage(display, children[i], left + x0 - attributes.x - attributes.border_width,
                                  top + y0 - attributes.y - attributes.border_width, static_cast<unsigned>(area.width),
                                  static_cast<unsigned>(area.height), AllPlanes, ZPixmap);
        if (image != nullptr) {
            copyPixels(image, attributes.visual, area, 0, 0, &picture);
            XDestroyImage(image);
        }
    }
    if (children != nullptr) {
        XFree(children);
    }
    XDestroyImage(rootImage);
    return picture;
}

WindowPlace findWindow(Display* display, const std::string& name)
{
    std::vector<Window> pending = {DefaultRootWindow(display)};
    while (!pending.empty()) {
        const Window window = pending.back();
        pending.pop_back();
        char* windowName = nullptr;
        XWindowAttributes attributes;
        const bool named = XFetchName(display, window, &windowName) != 0 && windowName == name;
        if (windowName != nullptr) {
            XFree(windowName);
        }
        if (named && XGetWindowAttributes(display, window, &attributes) != 0 && attributes.map_state == IsViewable) {
            WindowPlace place = {window, 0, 0, attributes.width, attributes.height};
            Window child = 0;
            XTranslateCoordinates(display, window, DefaultRootWindow(display), 0, 0, &place.x, &place.y, &child);
            return place;
        }
        Window rootReturn = 0;
        Window parent = 0;
        Window* children = nullptr;
        unsigned int count = 0;
        if (XQueryTree(display, window, &rootReturn, &parent, &children, &count) != 0 && children != nullptr) {
            pending.insert(pending.end(), children, children + count);
            XFree(children);
        }
    }
    return {};
}

Picture grabWindow(Display* display, const WindowPlace& window)
{
    Picture picture;
    XWindowAttributes attributes;
    if (window.id == 0 || XGetWindowAttributes(display, window.id, &attributes) == 0) {
        return picture;
    }
    XImage* image = XGetImage(display, window.id, 0, 0, static_cast<unsigned>(attributes.width),
                              static_cast<unsigned>(attributes.height), AllPlanes, ZPixmap);
    if (image == nullptr) {
        return picture;
    }
    picture.width = attributes.width;
    picture.height = attributes.height;
    picture.pixels.resize(static_cast<size_t>(picture.width) * static_cast<size_t>(picture.height));
    copyPixels(image, attributes.visual, Area{0, 0, picture.width, picture.height}, 0, 0, &picture);
    XDestroyImage(image);
    return picture;
}

bool looksLike(Rgb pixel, float r, float g, float b)
{
    // One step of a 5-bit channel is 255 / 31, about 8.2.
    const auto near = [](int actual, float expected) {
        return std::abs(static_cast<float>(actual) - expected * 255.0F) <= 9.0F;
    };
    return near(pixel.r, r) && near(pixel.g, g) && near(pixel.b, b);
}

bool savePng(const Picture& picture, const std::string& path)
{
    std::vector<png_byte> rgb;
    rgb.reserve(picture.pixels.size() * 3);
    for (const Rgb& pixel : picture.pixels) {
        rgb.push_back(static_cast<png_byte>(pixel.r));
        rgb.push_back(static_cast<png_byte>(pixel.g));
        rgb.push_back(static_cast<png_byte>(pixel.b));
    }
    png_image image = {};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(picture.width);
    image.height = static_cast<png_uint_32>(picture.height);
    image.format = PNG_FORMAT_RGB;
    return png_image_write_to_file(&image, path.c_str(), 0, rgb.data(), 0, nullptr) != 0;
}
