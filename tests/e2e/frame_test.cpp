#include <algorithm>
#include <cstring>

#include "e2e_fixture.h"

namespace {

const std::vector<std::string> RENDER_STATE = {
    "glClearColor(red = 0, green = 0, blue = 0.5, alpha = 0)",
    "glClearDepth(depth = 1)",
    "glEnable(cap = GL_BLEND)",
    "glDisable(cap = GL_DEPTH_TEST)",
    "glBlendFunc(sfactor = GL_SRC_ALPHA, dfactor = GL_ONE)",
};

bool isStateCall(const GlCall& call)
{
    return std::any_of(RENDER_STATE.begin(), RENDER_STATE.end(),
                       [&](const std::string& state) { return state.rfind(call.name + "(", 0) == 0; });
}

// The size in "x = 0, y = 0, width = W, height = H" of a window-sized
// viewport, as the reshape sets it between frames.
bool windowSize(const GlCall& call, int* width, int* height)
{
    const std::string origin = "x = 0, y = 0, width = ";
    const size_t heightAt = call.args.find(", height = ");
    if (call.name != "glViewport" || call.args.rfind(origin, 0) != 0 || heightAt == std::string::npos) {
        return false;
    }
    *width = std::stoi(call.args.substr(origin.size()));
    *height = std::stoi(call.args.substr(heightAt + std::strlen(", height = ")));
    return true;
}

// The calls of a traced run: the render state once before the first frame,
// then every frame set up alike, its viewport placing the picture at the
// top of the windowHeight-tall window from the first frame on.
void checkFrameStream(const std::vector<GlFrame>& frames, int width, int height, int windowHeight)
{
    ASSERT_GT(frames.size(), 60U);

    // The render state, once, in its order, before the first frame.
    const std::vector<GlCall>& startUp = frames.front().preamble;
    const auto first = std::find_if(startUp.begin(), startUp.end(), isStateCall);
    ASSERT_LE(RENDER_STATE.size(), static_cast<size_t>(startUp.end() - first));
    EXPECT_EQ(callTexts(startUp, static_cast<size_t>(first - startUp.begin()), RENDER_STATE.size()), RENDER_STATE);
    EXPECT_EQ(std::count_if(startUp.begin(), startUp.end(), isStateCall), 5);

    const std::vector<std::string> frameStart = {
        "glClear(mask = GL_DEPTH_BUFFER_BIT | GL_COLOR_BUFFER_BIT)",
        "glViewport(x = 0, y = " + std::to_string(windowHeight - height) + ", width = " + std::to_string(width) +
            ", height = " + std::to_string(height) + ")",
        "glMatrixMode(mode = GL_PROJECTION)",
        "glLoadIdentity()",
        "glOrtho(left = 0, right = " + std::to_string(width) + ", bottom = " + std::to_string(height) +
            ", top = 0, zNear = -1, zFar = 1)",
        "glMatrixMode(mode = GL_MODELVIEW)",
    };
    int reportedWidth = 0;
    int reportedHeight = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE("frame " + std::to_string(i));
        // Between frames only the window-sized viewport that GLUT's reshape
        // has always set, which the frame replaces.
        for (const GlCall& call : frames[i].preamble) {
            const bool sized = windowSize(call, &reportedWidth, &reportedHeight);
            EXPECT_TRUE(sized || i == 0) << callText(call);
        }
        const std::vector<GlCall>& calls = frames[i].calls;
        ASSERT_GT(calls.size(), frameStart.size() + 2);
        EXPECT_EQ(callTexts(calls, 0, frameStart.size()), frameStart);
        EXPECT_EQ(std::count_if(calls.begin(), calls.end(), isStateCall), 0);
        // The frame ends with the flush and the swap; glutSwapBuffers may
        // flush once more on its own.
        const auto swap = calls.end() - 1;
        EXPECT_EQ(swap->name, "glXSwapBuffers");
        const auto lastOwn =
            std::find_if(calls.rbegin() + 1, calls.rend(), [](const GlCall& call) { return call.name != "glFlush"; });
        EXPECT_GE(lastOwn - calls.rbegin(), 2) << "no glFlush before the swap";
        EXPECT_EQ(lastOwn->name, "glEnd");
    }
    // GLUT's reshape has told the program the window's final size too.
    EXPECT_EQ(reportedHeight, windowHeight);
}

}  // namespace

TEST_F(ProgramTest, GlStreamSetsStateOnceThenComposesEveryFrameAlike)
{
    // GLUT's game-mode window covers the whole 1920x1080 desktop; the monitor
    // shows its top 768 lines, so the picture lies 1080 - 768 lines above
    // GL's origin.
    checkFrameStream(traceRun(1024, 768, 60), 1024, 768, DESKTOP_HEIGHT);
}

TEST_F(ProgramTest, AtTheDesktopsOwnSizeTheViewportStaysAtGlsOrigin)
{
    // The viewport (0, 0, 1920, 1080) of every frame, as ever.
    checkFrameStream(traceRun(DESKTOP_WIDTH, DESKTOP_HEIGHT, 60), DESKTOP_WIDTH, DESKTOP_HEIGHT, DESKTOP_HEIGHT);
}

TEST_F(ProgramTest, ScreenIsDarkBlue)
{
    ASSERT_NO_FATAL_FAILURE(start({"1024", "768", "60"}));
    const Picture picture = grab(1024, 768);
    // Row 0 and the right edge: no stage ever draws there.
    for (const auto& [x, y] : {std::pair{0, 0}, {500, 0}, {1023, 0}, {1022, 300}, {1023, 767}}) {
        SCOPED_TRACE(std::to_string(x) + "," + std::to_string(y));
        EXPECT_TRUE(looksLike(picture.at(x, y), 0.0F, 0.0F, 0.5F));
    }
    EXPECT_EQ(stopWithKey("q").exitStatus, 0);
}
