#pragma once

constexpr unsigned char KEY_ESCAPE = 27;
constexpr unsigned char KEY_QUIT = 'q';

// GLUT keyboard callback: Escape or lower-case q end the program with
// status 0; every other key, upper-case Q included, is ignored.
void onKey(unsigned char key, int x, int y);
