#include <algorithm>

#include "e2e_fixture.h"
#include "picture_checks.h"

namespace {

constexpr int COLUMNS = 60;

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
