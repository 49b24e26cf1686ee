#include <gtest/gtest.h>

#include "reader/read_photo.h"

TEST(ReadPhoto, AnEmptyImageIsAnErrorNotACrash)
{
    const reader::PhotoReading reading = reader::readPhoto(cv::Mat(), reader::ReadSettings{});
    EXPECT_FALSE(reading.ok);
    EXPECT_FALSE(reading.error.empty());
}
