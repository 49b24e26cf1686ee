#pragma once

// One frame. GLUT calls it both to redisplay and when idle, so frames follow
// each other back to back, paced only by the buffer swap.
void renderFrame();

// The display and idle callback until the first frame: places the picture
// by the window's real size, shows the cleared background once, hands both
// callbacks to renderFrame, and renders the first frame.
void renderFirstFrame();

// GLUT reshape callback: keeps the window's height for the frames, which
// place the picture at the window's top.
void onReshape(int width, int height);
