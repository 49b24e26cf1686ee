#include <algorithm>

#include "e2e_fixture.h"

namespace {

constexpr int COLUMNS = 60;

bool isWhite(Rgb pixel)
{
    return looksLike(pixel, 1.0F, 1.0F, 1.0F);
}

std::string vertex(int x, int y)
{
    return "glVertex2f(x = " + std::to_string(x) + ", y = " + std::to_string(y) + ")";
}

// For widths of 60 or more.
std::vector<std::string> gridCalls(int width, int height)
{
    std::vector<std::string> calls = {"glBegin(mode = GL_LINES)", "glColor3f(red = 1, green = 1, blue = 1)"};
    const int step = width / COLUMNS;
    for (int x = 1; x <= width; x += step) {
        calls.push_back(vertex(x, 250));
        calls.push_back(vertex(x, height - 250));
    }
    calls.emplace_back("glEnd()");
    return calls;
}

std::vector<std::string> barCalls(int column, int step)
{
    const int x0 = column * step;
    return {"glColor3f(red = 0, green = 1, blue = 0)",
            "glBegin(mode = GL_QUADS)",
            vertex(x0, 1),
            vertex(x0 + step, 1),
            vertex(x0 + step, 799),
            vertex(x0, 799),
            "glEnd()"};
}

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

// Checks one screenshot of the pattern at width x height.
void checkPattern(const Picture& picture, int width, int height)
{
    const int step = width / COLUMNS;
    const int bandTop = std::min(250, height - 250);
    const int bandEnd = std::max(250, height - 250);

    // One bar, exactly one column wide, from row 1 to row 798 or the bottom.
    const std::vector<int> bar = greenColumns(picture);
    ASSERT_EQ(bar.size(), static_cast<size_t>(step));
    const int x0 = bar.front();
    EXPECT_EQ(bar.back(), x0 + step - 1);
    EXPECT_EQ(x0 % step, 0);
    EXPECT_LT(x0 / step, COLUMNS);
    const int middle = x0 + step / 2;
    EXPECT_TRUE(looksLike(picture.at(middle, 0), 0.0F, 0.0F, 0.5F));
    for (int y = 60; y < std::min(799, height); ++y) {
        if (y < bandTop || y >= bandEnd) {
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

}  // namespace

TEST_F(ProgramTest, EveryFrameDrawsTheGridThenTheBarOneColumnOn)
{
    const std::vector<GlFrame> frames = traceRun(1024, 768, 60);
    ASSERT_GT(frames.size(), 2U * COLUMNS);
    const std::vector<std::string> grid = gridCalls(1024, 768);
    ASSERT_EQ(grid.size(), 2U + 2U * 61U + 1U);
    for (size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE("frame " + std::to_string(i));
        const std::vector<GlCall>& calls = frames[i].calls;
        // After the clear and the coordinate set-up: the grid.
        EXPECT_EQ(callTexts(calls, 6, grid.size()), grid);
        // Last before the flush: the bar, in the column of this frame.
        const auto end = std::find_if(calls.begin(), calls.end(), [](const GlCall& c) { return c.name == "glFlush"; });
        const size_t barStart = static_cast<size_t>(end - calls.begin()) - 7;
        ASSERT_GT(barStart, 6 + grid.size());
        EXPECT_EQ(callTexts(calls, barStart, 7), barCalls(static_cast<int>(i % COLUMNS), 17));
    }
}

TEST_F(ProgramTest, ScreenShowsGridAndBarInTheirColours)
{
    for (const auto& [width, height] : {std::pair{1024, 768}, {640, 480}, {1280, 1024}}) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        ASSERT_NO_FATAL_FAILURE(start({std::to_string(width), std::to_string(height), "60"}));
        // Different shots catch the bar in different columns.
        for (int shot = 0; shot < 3; ++shot) {
            ASSERT_NO_FATAL_FAILURE(checkPattern(grab(width, height), width, height));
        }
        EXPECT_EQ(stopWithKey("q").exitStatus, 0);
    }
}

TEST_F(ProgramTest, NarrowModeDrawsOneLineAndNoBarAndQuits)
{
    ASSERT_NO_FATAL_FAILURE(start({"40", "600", "60"}));
    const Picture picture = grab(40, 600);
    int white = 0;
    for (int y = 0; y < 600; ++y) {
        for (int x = 0; x < 40; ++x) {
            const Rgb pixel = picture.at(x, y);
            EXPECT_FALSE(looksLike(pixel, 0.0F, 1.0F, 0.5F)) << x << "," << y;
            white += isWhite(pixel) ? 1 : 0;
        }
    }
    // The single line at x = 1, from row 250 to row 349.
    EXPECT_EQ(white, 100);
    EXPECT_TRUE(isWhite(picture.at(0, 250)) || isWhite(picture.at(1, 250)));
    EXPECT_TRUE(running());
    EXPECT_EQ(stopWithKey("q").exitStatus, 0);
}
