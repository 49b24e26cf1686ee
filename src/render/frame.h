#pragma once

// One frame. GLUT calls it both to redisplay and when idle, so frames follow
// each other back to back, paced only by the buffer swap.
void renderFrame();
