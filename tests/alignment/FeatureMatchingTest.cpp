#include <gtest/gtest.h>

#include <vector>

#include "alignment/AlignmentTestSupport.h"
#include "alignment/FeatureMatching.h"

namespace {

std::vector<int> keptFrameIndices(const std::vector<float>& distances)
{
    std::vector<cv::DMatch> matches;
    for (std::size_t i = 0; i < distances.size(); ++i)
        matches.emplace_back(int(i), 0, distances[i]);  // all on one reference point: no deduplication
    std::vector<int> kept;
    for (const cv::DMatch& match : keepCloseMatches(matches))
        kept.push_back(match.queryIdx);
    return kept;
}

}  // namespace

TEST(FeatureMatching, KeepsMatchesStrictlyCloserThanThirtyOrOneAndAHalfTimesTheClosest)
{
    EXPECT_DOUBLE_EQ(matchDistanceThreshold(0.0), 30.0);
    EXPECT_DOUBLE_EQ(matchDistanceThreshold(20.0), 30.0);
    EXPECT_DOUBLE_EQ(matchDistanceThreshold(40.0), 60.0);

    EXPECT_EQ(keptFrameIndices({45.0f, 0.0f, 29.5f, 30.0f, 12.0f}), (std::vector<int>{1, 2, 4}));
    std::vector<int> kept;
    const auto info = infoLoggedBy([&] { kept = keptFrameIndices({40.0f, 60.0f, 59.75f, 61.0f, 40.0f}); });
    EXPECT_EQ(kept, (std::vector<int>{0, 2, 4}));
    EXPECT_TRUE(contains(info, "Min distance: 40.000000, Max distance: 61.000000"));
    EXPECT_TRUE(contains(info, "Found 3 good matches after filtering"));
}
