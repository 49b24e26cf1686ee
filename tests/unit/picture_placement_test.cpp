#include <gtest/gtest.h>

#include <climits>

#include "render/picture_placement.h"

TEST(PicturePlacement, PutsThePictureAtTheWindowsTop)
{
    // A window as large as a 1920x1080 desktop, the modes below it.
    EXPECT_EQ(pictureOriginY(1080, 768), 312);
    EXPECT_EQ(pictureOriginY(1080, 600), 480);
    EXPECT_EQ(pictureOriginY(1080, 480), 600);
    // A window of the mode's own size: GL's origin, as before.
    EXPECT_EQ(pictureOriginY(768, 768), 0);
    EXPECT_EQ(pictureOriginY(1080, 1080), 0);
    // A window shorter than the mode: the picture's bottom hangs below it.
    EXPECT_EQ(pictureOriginY(700, 768), -68);
    EXPECT_EQ(pictureOriginY(0, 768), -768);
}

TEST(PicturePlacement, StaysInRangeForAbsurdHeights)
{
    EXPECT_EQ(pictureOriginY(0, INT32_MIN), INT32_MAX);
    EXPECT_EQ(pictureOriginY(INT32_MAX, -1), INT32_MAX);
    EXPECT_EQ(pictureOriginY(-1, INT32_MAX), INT32_MIN);
    EXPECT_EQ(pictureOriginY(-2, INT32_MAX), INT32_MIN);
    EXPECT_EQ(pictureOriginY(INT32_MAX, INT32_MAX), 0);
}
