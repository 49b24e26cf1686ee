#include "picture_checks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

constexpr int COLUMNS = 60;
// Below the top of the title's glyphs and above the last text line's lowest.
constexpr int TEXT_TOP = 10;
constexpr int TEXT_BOTTOM = 60;
// The title's top lies above this line.
constexpr int TITLE_LINES = 20;

// The bar's columns in a row above the grid and below the text.
std::vector<int> greenColumns(const Picture& picture)
{
    std::vector<int> columns;
    for (int x = 0; x < picture.width; ++x) {
        if (looksLike(picture.at(x, 100), 0.0F, 1.0F, 0.5F)) {
            columns.push_back(x);
        }
    }
    return columns;
}

bool isRed(Rgb pixel)
{
    return pixel.r > 200;
}

// The first line with red text on it (not a white grid line), or -1.
int titleTop(const Picture& picture)
{
    for (int y = 0; y < picture.height; ++y) {
        for (int x = 0; x < picture.width; ++x) {
            if (isRed(picture.at(x, y)) && !isWhite(picture.at(x, y))) {
                return y;
            }
        }
    }
    return -1;
}

bool titleAtTheTop(int top)
{
    return top > 0 && top < TITLE_LINES;
}

}  // namespace

bool isWhite(Rgb pixel)
{
    return looksLike(pixel, 1.0F, 1.0F, 1.0F);
}

bool rowHasWhite(const Picture& picture, int y)
{
    for (int x = 0; x < picture.width; ++x) {
        if (isWhite(picture.at(x, y))) {
            return true;
        }
    }
    return false;
}

bool patternInPlace(const Picture& picture, int width, int height)
{
    if (picture.width != width || picture.height != height) {
        return false;
    }
    const int bandTop = std::min(250, height - 250);
    const bool barShown = width < COLUMNS || !greenColumns(picture).empty();
    return looksLike(picture.at(width - 1, height - 1), 0.0F, 0.0F, 0.5F) && titleAtTheTop(titleTop(picture)) &&
           rowHasWhite(picture, bandTop) && !rowHasWhite(picture, bandTop - 1) && barShown;
}

void checkPattern(const Picture& picture, int width, int height)
{
    ASSERT_EQ(picture.width, width);
    ASSERT_EQ(picture.height, height);
    const int step = width / COLUMNS;
    const int bandTop = std::min(250, height - 250);
    const int bandEnd = std::max(250, height - 250);

    // One bar, exactly one column wide, from line 1 to line 798 or the
    // bottom; the text may lie over it near the top.
    const std::vector<int> bar = greenColumns(picture);
    ASSERT_EQ(bar.size(), static_cast<size_t>(step));
    const int x0 = bar.front();
    EXPECT_EQ(bar.back(), x0 + step - 1);
    EXPECT_EQ(x0 % step, 0);
    EXPECT_LT(x0 / step, COLUMNS);
    const int middle = x0 + step / 2;
    EXPECT_TRUE(looksLike(picture.at(middle, 0), 0.0F, 0.0F, 0.5F));
    for (int y = 1; y < std::min(799, height); ++y) {
        const bool inText = y >= TEXT_TOP && y < TEXT_BOTTOM;
        if (!inText && (y < bandTop || y >= bandEnd)) {
            ASSERT_TRUE(looksLike(picture.at(middle, y), 0.0F, 1.0F, 0.5F)) << "row " << y;
        }
    }
    if (height > 799) {
        EXPECT_TRUE(looksLike(picture.at(middle, 799), 0.0F, 0.0F, 0.5F));
    }

    // White one-pixel lines a column step apart, only inside the band; the
    // one inside the bar stays white.
    const int row = bandTop + 1;
    const int offset = isWhite(picture.at(0, row)) ? 0 : 1;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const bool onLine = (x - offset) % step == 0 && y >= bandTop && y < bandEnd;
            if (onLine != isWhite(picture.at(x, y))) {
                FAIL() << "pixel " << x << "," << y << (onLine ? " should" : " should not") << " be white";
            }
        }
    }
    EXPECT_TRUE(isWhite(picture.at(x0 + offset, row)));
    EXPECT_TRUE(looksLike(picture.at(width - 1, row), 0.0F, 0.0F, 0.5F));
}

void checkTitleAtTheTop(const Picture& picture)
{
    const int top = titleTop(picture);
    EXPECT_TRUE(titleAtTheTop(top)) << "the title's top on line " << top << " (-1: no red text)";
}

void checkNothingOutside(const Picture& screen, Point corner, int width, int height)
{
    for (int y = 0; y < screen.height; ++y) {
        for (int x = 0; x < screen.width; ++x) {
            const bool visible = x >= corner.x && x < corner.x + width && y >= corner.y && y < corner.y + height;
            const Rgb pixel = screen.at(x, y);
            if (!visible && (pixel.r > 200 || pixel.g > 200)) {
                FAIL() << "pattern at " << x << "," << y << ", outside the " << width << "x" << height
                       << " the monitor shows";
            }
        }
    }
}
