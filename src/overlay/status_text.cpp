#include "overlay/status_text.h"

#include <GL/freeglut.h>

#include "common/display_settings.h"
#include "overlay/frame_rate_meter.h"
#include "overlay/status_lines.h"

namespace {

constexpr int TEXT_LEFT = 10;
constexpr int TITLE_BASELINE = 24;
constexpr int FPS_BASELINE = 40;
constexpr int SETTINGS_BASELINE = 56;

// Reused by every line of every frame: the frame path allocates nothing.
char lineBuffer[STATUS_LINE_SIZE];

}  // namespace

void drawTextLine(int x, int y, const char* text)
{
    glRasterPos2i(x, y);
    for (const char* c = text; *c != '\0'; ++c) {
        glutBitmapCharacter(GLUT_BITMAP_8_BY_13, static_cast<unsigned char>(*c));
    }
}

void drawStatusText()
{
    countFrame(&frameRateMeter, glutGet(GLUT_ELAPSED_TIME));
    // Set before the first raster position, so it is the raster colour of all three lines.
    glColor4f(1.0F, 0.0F, 0.0F, 1.0F);
    drawTextLine(TEXT_LEFT, TITLE_BASELINE, STATUS_TITLE);
    formatFpsLine(lineBuffer, sizeof lineBuffer, frameRateMeter.averageFps);
    drawTextLine(TEXT_LEFT, FPS_BASELINE, lineBuffer);
    formatSettingsLine(lineBuffer, sizeof lineBuffer, displaySettings);
    drawTextLine(TEXT_LEFT, SETTINGS_BASELINE, lineBuffer);
}
