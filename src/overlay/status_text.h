#pragma once

// Counts the frame in the frame-rate meter and draws the three red status
// lines in the top-left corner: the text stage of the frame.
void drawStatusText();

// Draws text in the 8x13 bitmap font with its baseline starting at (x, y).
void drawTextLine(int x, int y, const char* text);
