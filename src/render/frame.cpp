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
// game-mode window: asked of the X server once, before the first frame,
// and then set whenever GLUT reports a new size to onReshape, without the
// round trip that asking costs.
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

void renderFirstFrame()
{
    // GLUT sends the full-screen resize right before this first callback,
    // but reports the window's size to onReshape only a frame or two later
    // (and first the size it created the window with). Asking waits for the
    // X server's answer, which follows the resize.
    pictureOrigin = pictureOriginY(glutGet(GLUT_WINDOW_HEIGHT), displaySettings.height);
    // Mesa's software renderer takes in a window's new size only at a buffer
    // swap: show the cleared background once, so that the first frame is
    // drawn at the size asked for above.
    glClear(GL_COLOR_BUFFER_BIT);
    glutSwapBuffers();
    glutDisplayFunc(renderFrame);
    glutIdleFunc(renderFrame);
    renderFrame();
}

void onReshape(int width, int height)
{
    pictureOrigin = pictureOriginY(height, displaySettings.height);
    // What GLUT does when no reshape callback is installed; every frame sets
    // its own viewport, and the GL stream stays as it was.
    glViewport(0, 0, width, height);
}
