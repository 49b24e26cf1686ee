#include "app/command_line.h"

#include <climits>
#include <cstdio>
#include <cstring>

namespace {

bool isAsciiSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isAsciiDigit(char c)
{
    return c >= '0' && c <= '9';
}

}  // namespace

int32_t readDecimal(const char* text)
{
    while (isAsciiSpace(*text)) {
        ++text;
    }
    const bool negative = *text == '-';
    if (*text == '-' || *text == '+') {
        ++text;
    }
    // One past INT32_MAX is the largest magnitude kept: it is INT32_MIN's.
    const int64_t limit = static_cast<int64_t>(INT32_MAX) + 1;
    int64_t magnitude = 0;
    for (; isAsciiDigit(*text); ++text) {
        magnitude = magnitude * 10 + (*text - '0');
        if (magnitude > limit) {
            magnitude = limit;
        }
    }
    if (negative) {
        return static_cast<int32_t>(-magnitude);
    }
    return static_cast<int32_t>(magnitude < limit ? magnitude : INT32_MAX);
}

const char* displayOption(int argc, const char* const* argv)
{
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "-display") == 0) {
            return argv[i + 1];
        }
    }
    return nullptr;
}

bool readDisplaySettings(int argc, const char* const* argv, DisplaySettings* settings)
{
    if (argc != COMMAND_LINE_ARGC) {
        return false;
    }
    settings->width = readDecimal(argv[1]);
    settings->height = readDecimal(argv[2]);
    settings->bitsPerPixel = BITS_PER_PIXEL;
    settings->refreshRate = readDecimal(argv[3]);
    settings->columnStep = settings->width / COLUMN_COUNT;
    settings->barWidth = static_cast<float>(settings->columnStep);
    return true;
}

bool formatGameModeString(const DisplaySettings& settings, char* out, std::size_t size)
{
    const int length = std::snprintf(out, size, "%dx%d:%d@%d", settings.width, settings.height, settings.bitsPerPixel,
                                     settings.refreshRate);
    if (length < 0 || static_cast<std::size_t>(length) >= size) {
        if (size > 0) {
            out[0] = '\0';
        }
        return false;
    }
    return true;
}
