#include "render/picture_placement.h"

int32_t pictureOriginY(int32_t windowHeight, int32_t pictureHeight)
{
    const int64_t y = static_cast<int64_t>(windowHeight) - pictureHeight;
    if (y > INT32_MAX) {
        return INT32_MAX;
    }
    if (y < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(y);
}
