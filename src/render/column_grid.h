#pragma once

// The white one-pixel column lines: the grid stage of the frame.
void drawColumnGrid();
