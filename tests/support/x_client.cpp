#include "x_client.h"

#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/xf86vmode.h>
#include <png.h>

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

Picture grabPicture(Display* display, int width, int height)
{
    Picture picture;
    const int screen = DefaultScreen(display);
    const int top = DisplayHeight(display, screen) - height;
    XImage* image = XGetImage(display, RootWindow(display, screen), 0, top, static_cast<unsigned>(width),
                              static_cast<unsigned>(height), AllPlanes, ZPixmap);
    if (image == nullptr) {
        return picture;
    }
    const Visual* visual = DefaultVisual(display, screen);
    picture.width = width;
    picture.height = height;
    picture.pixels.reserve(static_cast<size_t>(width) * static_cast<size_t>(height));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const unsigned long pixel = XGetPixel(image, x, y);
            picture.pixels.push_back(Rgb{channel(pixel, visual->red_mask), channel(pixel, visual->green_mask),
                                         channel(pixel, visual->blue_mask)});
        }
    }
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
