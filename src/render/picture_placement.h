#pragma once

#include <cstdint>

// GL's y origin (the lower edge) of a viewport that puts a picture of
// pictureHeight at the top of a window of windowHeight: windowHeight -
// pictureHeight. Negative when the window is the shorter, so the picture's
// top still meets the window's top; kept within the int32 range.
int32_t pictureOriginY(int32_t windowHeight, int32_t pictureHeight);
