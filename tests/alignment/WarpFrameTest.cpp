#include <gtest/gtest.h>

#include <stdexcept>

#include "alignment/WarpFrame.h"
#include "image/MatView.h"
#include "support/TestSupport.h"

TEST(WarpFrame, WholePixelShiftMovesSamplesAndLeavesUnreachedPixelsBlack)
{
    const cv::Mat shift(cv::Matx33d(1, 0, 3, 0, 1, 2, 0, 0, 1));
    for (int channels : {1, 3}) {
        const ByteImagePtr frame = noiseFrame(20, 15, channels, 128, 100, 7);
        const ByteImagePtr out = warpFrame(matView(*frame), shift, 24, 18, channels);
        ASSERT_EQ(out->width(), 24);
        ASSERT_EQ(out->height(), 18);
        for (int y = 0; y < 18; ++y)
            for (int x = 0; x < 24; ++x)
                for (int c = 0; c < channels; ++c) {
                    const bool reached = x >= 3 && x < 23 && y >= 2 && y < 17;
                    ASSERT_EQ(out->getPixel(x, y, c), reached ? frame->getPixel(x - 3, y - 2, c) : 0) << x << "," << y;
                }
    }
}

TEST(WarpFrame, CopiesNonContinuousMatricesAndRefusesOtherSizes)
{
    const ByteImagePtr whole = noiseFrame(10, 8, 3, 128, 120, 11);
    const cv::Mat region = matView(*whole)(cv::Rect(2, 1, 5, 4));
    ASSERT_FALSE(region.isContinuous());
    ByteImage copy(5, 4, 3);
    copyMatToBuffer(region, copy);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 5; ++x)
            for (int c = 0; c < 3; ++c)
                EXPECT_EQ(copy.getPixel(x, y, c), whole->getPixel(x + 2, y + 1, c));

    ByteImage grey(5, 4, 1);
    EXPECT_THROW(copyMatToBuffer(region, grey), std::invalid_argument);
    ByteImage narrower(4, 4, 3);
    EXPECT_THROW(copyMatToBuffer(region, narrower), std::invalid_argument);
}
