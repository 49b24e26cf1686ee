#pragma once

#include "x_client.h"

bool isWhite(Rgb pixel);

// Checks a picture of the pattern at width x height as the monitor shows
// it: the grid band, one bar from line 1 down, the colours.
void checkPattern(const Picture& picture, int width, int height);

// Whether a grid line crosses the row somewhere.
bool rowHasWhite(const Picture& picture, int y);

// Whether a picture of the pattern at width x height shows it at its place
// as the monitor would: the cleared background to the bottom-right corner,
// the title at the top, the grid from its first line on, and the bar
// (where the mode is wide enough to have one). Cheap enough to poll.
bool patternInPlace(const Picture& picture, int width, int height);

// The title's top lies within the picture's first 20 lines.
void checkTitleAtTheTop(const Picture& picture);

// Nothing of the pattern (no white, green or red) lies outside the
// width x height rectangle at corner of a picture of the whole screen:
// the monitor would not show it.
void checkNothingOutside(const Picture& screen, Point corner, int width, int height);
