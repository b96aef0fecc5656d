#include <gtest/gtest.h>

#include <algorithm>

#include <opencv2/imgproc.hpp>

#include "alignment/AlignmentTestSupport.h"
#include "alignment/Registration.h"
#include "image/MatView.h"
#include "stacking/ImageStacker.h"
#include "support/TestSupport.h"

namespace {

ByteImagePtr alignedTo(const ByteImagePtr& reference, const ByteImagePtr& frame)
{
    ImageStacker stacker;
    stacker.referenceFrame() = reference;
    return stacker.alignFrame(frame);
}

ByteImagePtr converted(const ByteImage& image, int code)
{
    cv::Mat result;
    cv::cvtColor(matView(image), result, code);
    return bufferFromMat(result);
}

ByteImagePtr warped(const ByteImage& image, const cv::Matx33d& transform)
{
    cv::Mat result;
    cv::warpPerspective(matView(image), result, cv::Mat(transform), cv::Size(kSimWidth, kSimHeight));
    return bufferFromMat(result);
}

// Away from the edges that the frame's motion uncovers.
bool inner(int x, int y) { return x >= 40 && x < kSimWidth - 40 && y >= 40 && y < kSimHeight - 40; }

// Differs from the reference by little more than the frame warped with the
// true transform does (noise, resampling): at least nine tenths of the
// unaligned frame's excess difference are gone.
void expectAligned(const ByteImage& aligned, const ByteImage& reference, const ByteImage& frame,
                   const cv::Matx33d& truth)
{
    ASSERT_TRUE(aligned.sameDimensions(reference));
    const double floor = meanAbsDifference(*warped(frame, truth), reference, inner);
    const double excess = meanAbsDifference(aligned, reference, inner) - floor;
    EXPECT_LT(excess, 0.1 * (meanAbsDifference(frame, reference, inner) - floor));
}

}  // namespace

TEST(AlignFrame, ShiftedAndTurnedFrameLandsOnTheReferenceInEitherChannelCount)
{
    const SimulatedPair colour = simulatedPair(3, 14.5, -9.25, 2.0);
    expectAligned(*alignedTo(colour.reference, colour.frame), *colour.reference, *colour.frame, colour.truth);

    // A grey frame on a colour reference, and the other way round, take the reference's channel count.
    const ByteImagePtr greyFrame = converted(*colour.frame, cv::COLOR_BGR2GRAY);
    expectAligned(*alignedTo(colour.reference, greyFrame), *colour.reference,
                  *converted(*greyFrame, cv::COLOR_GRAY2BGR), colour.truth);
    const ByteImagePtr greyReference = converted(*colour.reference, cv::COLOR_BGR2GRAY);
    expectAligned(*alignedTo(greyReference, colour.frame), *greyReference, *greyFrame, colour.truth);
}

TEST(AlignFrame, StarStageRecoversAKnownShiftAndTurn)
{
    const SimulatedPair pair = simulatedPair(1, 12.3, -7.6, 1.5);
    cv::Mat transform;
    const auto info = infoLoggedBy([&] { transform = findRegistration(*pair.reference, *pair.frame, 200); });
    // Most of the 100 brightest stars of either image are among the other's
    // 100 brightest too; those that are not find no partner or a wrong one,
    // which the homography's RANSAC sets aside.
    const std::string prefix = "StarDetector matched ";
    const auto matched = std::find_if(info.begin(), info.end(),
                                      [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
    ASSERT_NE(matched, info.end());
    const int pairs = std::stoi(matched->substr(prefix.size()));
    EXPECT_GE(pairs, 90);
    EXPECT_LE(pairs, 100);
    EXPECT_TRUE(contains(info, "Found " + std::to_string(pairs) + " star matches using transformation model"));
    EXPECT_FALSE(contains(info, "Trying feature-based detection methods..."));
    ASSERT_FALSE(transform.empty());
    EXPECT_LT(largestDisagreement(cv::Matx33d(transform), pair.truth, kSimWidth, kSimHeight), 0.05);
    expectAligned(*alignedTo(pair.reference, pair.frame), *pair.reference, *pair.frame, pair.truth);
}

TEST(AlignFrame, MirroredFrameIsMatchedByStarTrianglesAndLandsOnTheReference)
{
    const SimulatedPair pair = simulatedPair(1, 8.5, -5.25, 1.0, true);
    cv::Mat transform;
    const auto info = infoLoggedBy([&] { transform = findRegistration(*pair.reference, *pair.frame, 200); });
    // No similarity fits a mirror image, so the brightness ranks cannot agree with one.
    EXPECT_TRUE(contains(info, "Brightness order disagrees, matching star triangles instead"));
    EXPECT_FALSE(contains(info, "Trying feature-based detection methods..."));
    ASSERT_FALSE(transform.empty());
    EXPECT_LT(largestDisagreement(cv::Matx33d(transform), pair.truth, kSimWidth, kSimHeight), 0.05);
    expectAligned(*alignedTo(pair.reference, pair.frame), *pair.reference, *pair.frame, pair.truth);
}

TEST(AlignFrame, FrameOfAnotherSizeComesOutAtTheReferenceSize)
{
    const SimulatedPair pair = simulatedPair(3, 0.0, 0.0, 0.0);
    // The reference framed by a flat border at sky level, 40 px wide left and
    // right and 30 px top and bottom. A cut of the reference would not do:
    // star matching pairs stars by brightness rank first, and a bright star
    // lost at the cut's edge shifts every rank after it.
    cv::Mat framed;
    cv::copyMakeBorder(matView(*pair.reference), framed, 30, 30, 40, 40, cv::BORDER_CONSTANT,
                       cv::mean(matView(*pair.reference)));
    const ByteImagePtr aligned = alignedTo(pair.reference, bufferFromMat(framed));
    ASSERT_TRUE(aligned->sameDimensions(*pair.reference));
    // Closer to the reference than the reference itself moved by half a pixel.
    const auto covered = [](int x, int y) { return x >= 5 && x < kSimWidth - 5 && y >= 5 && y < kSimHeight - 5; };
    EXPECT_LT(meanAbsDifference(*aligned, *pair.reference, covered),
              meanAbsDifference(*warped(*pair.reference, {1, 0, 0.5, 0, 1, 0, 0, 0, 1}), *pair.reference, covered));
}

TEST(AlignFrame, UnalignableFrameComesBackAsACopyAndSwitchedOffAsItself)
{
    const SimulatedPair pair = simulatedPair(3, 0.0, 0.0, 0.0);
    ImageStacker stacker;
    stacker.referenceFrame() = pair.reference;
    stacker.settings()->maxStars = 500;
    const ByteImagePtr featureless = flatFrame(kSimWidth, kSimHeight, 3, 90);
    ByteImagePtr result;
    const auto info = infoLoggedBy([&] { result = stacker.alignFrame(featureless); });
    EXPECT_NE(result, featureless);
    ASSERT_TRUE(result->sameDimensions(*featureless));
    EXPECT_TRUE(std::equal(result->data(), result->data() + result->size(), featureless->data()));
    EXPECT_TRUE(contains(info, "Using maximum of 100 stars for alignment"));
    EXPECT_EQ(info.back(), "Not enough features for alignment, returning original frame");

    stacker.settings()->alignFrames = false;
    EXPECT_EQ(stacker.alignFrame(featureless), featureless);
}
