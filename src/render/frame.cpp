#include "render/frame.h"

#include <GL/freeglut.h>
#include <GL/glu.h>

#include <cstdint>

#include "app/shutdown.h"
#include "common/display_settings.h"
#include "overlay/status_text.h"
#include "render/column_grid.h"
#include "render/picture_placement.h"
#include "render/sweep_bar.h"

namespace {

// The viewport's y origin that puts the picture at the top of the
// game-mode window, set whenever GLUT reports the window's size to
// onReshape: known without asking the X server, which costs a round trip
// each time. GLUT reports the size it created the window with before the
// first frame, and a new size once the X server has told it, a frame or
// two after the window changed.
int32_t pictureOrigin = 0;

// One unit is one pixel of the requested mode, origin top-left, y downward.
// The game-mode window may be taller than the mode (it can cover the whole
// desktop while the monitor shows only its top-left corner), so the
// picture is placed at the window's top, not at GL's lower-left origin.
void setPixelCoordinates()
{
    glViewport(0, pictureOrigin, displaySettings.width, displaySettings.height);
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

void onReshape(int width, int height)
{
    pictureOrigin = pictureOriginY(height, displaySettings.height);
    // What GLUT does when no reshape callback is installed; every frame sets
    // its own viewport, and the GL stream stays as it was.
    glViewport(0, 0, width, height);
}
