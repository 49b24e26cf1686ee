#include <algorithm>
#include <cstring>

#include "e2e_fixture.h"

namespace {

struct TextLine {
    int baseline;
    size_t length;
};

const char SETTINGS_LINE[] = "Display settings: 1024x768 16b @ 60Hz";

bool isRed(Rgb pixel)
{
    return pixel.r > 200;
}

// The text stage's calls of one frame: from the red colour to the last glyph.
std::vector<GlCall> textCalls(const std::vector<GlCall>& calls)
{
    const auto begin = std::find_if(calls.begin(), calls.end(), [](const GlCall& c) { return c.name == "glColor4f"; });
    auto end = begin;
    while (end != calls.end() &&
           (end->name == "glColor4f" || end->name == "glRasterPos2i" || end->name == "glBitmap")) {
        ++end;
    }
    return {begin, end};
}

// Lines as drawn: each raster position with the number of glyphs after it.
std::vector<std::pair<std::string, size_t>> linesOf(const std::vector<GlCall>& text)
{
    std::vector<std::pair<std::string, size_t>> lines;
    for (const GlCall& call : text) {
        if (call.name == "glRasterPos2i") {
            lines.emplace_back(call.args, 0);
        } else if (call.name == "glBitmap" && !lines.empty()) {
            ++lines.back().second;
        }
    }
    return lines;
}

}  // namespace

TEST_F(ProgramTest, EveryFrameDrawsThreeRedLinesBetweenGridAndBar)
{
    const std::vector<GlFrame> frames = traceRun(1024, 768, 60);
    ASSERT_GT(frames.size(), 60U);
    for (size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE("frame " + std::to_string(i));
        const std::vector<GlCall>& calls = frames[i].calls;
        const std::vector<GlCall> text = textCalls(calls);
        ASSERT_FALSE(text.empty());
        EXPECT_EQ(callText(text.front()), "glColor4f(red = 1, green = 0, blue = 0, alpha = 1)");
        EXPECT_EQ(std::count_if(calls.begin(), calls.end(), [](const GlCall& c) { return c.name == "glColor4f"; }), 1);

        // After the grid's end, before the bar's colour.
        const size_t at = static_cast<size_t>(
            std::search(calls.begin(), calls.end(), text.begin(), text.end(),
                        [](const GlCall& a, const GlCall& b) { return a.name == b.name && a.args == b.args; }) -
            calls.begin());
        ASSERT_GT(at, 0U);
        EXPECT_EQ(calls[at - 1].name, "glEnd");
        ASSERT_LT(at + text.size(), calls.size());
        EXPECT_EQ(callText(calls[at + text.size()]), "glColor3f(red = 0, green = 1, blue = 0)");

        const auto lines = linesOf(text);
        ASSERT_EQ(lines.size(), 3U);
        EXPECT_EQ(lines[0], std::make_pair(std::string("x = 10, y = 24"), std::strlen("Vesmira")));
        EXPECT_EQ(lines[1].first, "x = 10, y = 40");
        // "Average FPS: " and a rate of at least four characters ("0.00").
        EXPECT_GE(lines[1].second, std::strlen("Average FPS: 0.00"));
        EXPECT_LE(lines[1].second, std::strlen("Average FPS: 99999.99"));
        EXPECT_EQ(lines[2], std::make_pair(std::string("x = 10, y = 56"), std::strlen(SETTINGS_LINE)));
    }
    // Until the first update, more than a second after start, it reads 0.00.
    EXPECT_EQ(linesOf(textCalls(frames.front().calls))[1].second, std::strlen("Average FPS: 0.00"));
}

TEST_F(ProgramTest, RedTextOnlyInTheTopLeftLinesAndAddsToTheBar)
{
    ASSERT_NO_FATAL_FAILURE(start({"1024", "768", "60"}));
    // Glyph boxes of the 8x13 font around each baseline.
    const TextLine lines[] = {{24, 7}, {40, std::strlen("Average FPS: 99999.99")}, {56, std::strlen(SETTINGS_LINE)}};
    bool sawTextUnderBar = false;
    for (int shot = 0; shot < 200 && !sawTextUnderBar; ++shot) {
        const Picture picture = grab(1024, 768);
        int redInLine[3] = {0, 0, 0};
        for (int y = 0; y < 768; ++y) {
            for (int x = 0; x < 1024; ++x) {
                const Rgb pixel = picture.at(x, y);
                if (!isRed(pixel) || (pixel.g > 200 && pixel.b > 200)) {
                    continue;  // not text, or text under a white grid line
                }
                int line = -1;
                for (int i = 0; i < 3; ++i) {
                    const bool inBox = y > lines[i].baseline - 13 && y <= lines[i].baseline + 3 && x >= 10 &&
                                       x < 10 + 8 * static_cast<int>(lines[i].length);
                    line = inBox ? i : line;
                }
                ASSERT_GE(line, 0) << "red at " << x << "," << y;
                ++redInLine[line];
                // Red text alone, or red text plus the green bar.
                const bool plain = looksLike(pixel, 1.0F, 0.0F, 0.5F);
                const bool underBar = looksLike(pixel, 1.0F, 1.0F, 0.5F);
                ASSERT_TRUE(plain || underBar) << x << "," << y;
                sawTextUnderBar = sawTextUnderBar || underBar;
            }
        }
        for (const int count : redInLine) {
            ASSERT_GT(count, 0);
        }
    }
    EXPECT_TRUE(sawTextUnderBar);
    EXPECT_EQ(stopWithKey("q").exitStatus, 0);
}
