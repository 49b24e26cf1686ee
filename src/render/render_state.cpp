#include "render/render_state.h"

#include <GL/gl.h>

void initRenderState()
{
    glClearColor(0.0F, 0.0F, 0.5F, 0.0F);
    glClearDepth(1.0);
    // Additive blending: every colour drawn adds to what lies beneath it.
    glEnable(GL_BLEND);
    glDisable(GL_DEPTH_TEST);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE);
}
