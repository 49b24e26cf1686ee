#include "render/column_grid.h"

#include <GL/gl.h>

#include "common/display_settings.h"
#include "render/pattern_geometry.h"

void drawColumnGrid()
{
    const int32_t lineCount = gridLineCount(displaySettings.width, displaySettings.columnStep);
    const auto top = static_cast<float>(GRID_MARGIN);
    const float bottom = gridLineBottom(displaySettings.height);
    glBegin(GL_LINES);
    glColor3f(1.0F, 1.0F, 1.0F);
    for (int32_t k = 0; k < lineCount; ++k) {
        const float x = gridLineX(k, displaySettings.columnStep);
        glVertex2f(x, top);
        glVertex2f(x, bottom);
    }
    glEnd();
}
