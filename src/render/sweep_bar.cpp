#include "render/sweep_bar.h"

#include <GL/gl.h>

#include "common/display_settings.h"
#include "render/pattern_geometry.h"

SweepState sweepState;

void drawSweepBar()
{
    const BarSpan span = barSpan(sweepState.barIndex, displaySettings.barWidth);
    glColor3f(0.0F, 1.0F, 0.0F);
    glBegin(GL_QUADS);
    glVertex2f(span.x0, BAR_TOP);
    glVertex2f(span.x1, BAR_TOP);
    glVertex2f(span.x1, BAR_BOTTOM);
    glVertex2f(span.x0, BAR_BOTTOM);
    glEnd();
    sweepState.barIndex = nextBarIndex(sweepState.barIndex);
}
