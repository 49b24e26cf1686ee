#include "render/frame.h"

#include <GL/freeglut.h>
#include <GL/glu.h>

#include "app/shutdown.h"
#include "common/display_settings.h"
#include "overlay/status_text.h"
#include "render/column_grid.h"
#include "render/sweep_bar.h"

namespace {

// One unit is one pixel of the requested mode, origin top-left, y downward.
void setPixelCoordinates()
{
    glViewport(0, 0, displaySettings.width, displaySettings.height);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    gluOrtho2D(0.0, displaySettings.width, displaySettings.height, 0.0);
    glMatrixMode(GL_MODELVIEW);
}

}  // namespace

void renderFrame()
{
    endIfSignalled();
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    setPixelCoordinates();
    drawColumnGrid();
    drawStatusText();
    // Last, so it lies over the grid and the text.
    drawSweepBar();
    glFlush();
    glutSwapBuffers();
}
