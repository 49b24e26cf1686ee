#pragma once

// One frame. GLUT calls it both to redisplay and when idle, so frames follow
// each other back to back, paced only by the buffer swap.
void renderFrame();

// GLUT reshape callback: keeps the window's height for the frames, which
// place the picture at the window's top.
void onReshape(int width, int height);
