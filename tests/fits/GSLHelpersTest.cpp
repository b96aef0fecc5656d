#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "fits/gslhelpers/GSLHelpers.h"

using Mathematics::GSLHelpers::estimateLocation;
using Mathematics::GSLHelpers::Location;
using Mathematics::GSLHelpers::stride_iter;

namespace {

using Iter = std::vector<int>::iterator;

// Mean 5, median 4.5, sample sd 2.138: median +- sd keeps 4, 4, 4, 5, 5 (sum 22).
template <typename T>
std::vector<T> shuffledEight()
{
    return {T(7), T(4), T(9), T(2), T(5), T(4), T(5), T(4)};
}

} // namespace

TEST(StrideIterator, WalksEveryStepthElement)
{
    std::vector<int> v = {0, 1, 2, 3, 4, 5, 6};
    const stride_iter<Iter> first(v.begin(), 3);
    const stride_iter<Iter> last = first + 3; // elements 0, 3, 6
    EXPECT_EQ(last - first, 3);
    EXPECT_EQ(first[1], 3);
    EXPECT_TRUE(first < last && last >= first && first != last);

    std::vector<int> seen;
    for (auto it = first; it != last; ++it)
        seen.push_back(*it);
    EXPECT_EQ(seen, (std::vector<int>{0, 3, 6}));

    auto it = last;
    --it;
    it -= 1;
    EXPECT_EQ(*it, 3);
    EXPECT_EQ(it.step(), 3);
}

TEST(StrideIterator, SortsOnlyTheStridedElements)
{
    // Elements 0, 2, 4, 6 are 5, 3, 1, 4; the odd places must stay put.
    std::vector<int> v = {5, 90, 3, 80, 1, 70, 4};
    std::sort(stride_iter<Iter>(v.begin(), 2), stride_iter<Iter>(v.begin(), 2, 4));
    EXPECT_EQ(v, (std::vector<int>{1, 90, 3, 80, 4, 70, 5}));

    const auto found = std::lower_bound(stride_iter<Iter>(v.begin(), 2), stride_iter<Iter>(v.begin(), 2, 4), 4);
    EXPECT_EQ(found - stride_iter<Iter>(v.begin(), 2), 2);
}

TEST(LocationEstimators, GiveHandComputedValues)
{
    EXPECT_DOUBLE_EQ(estimateLocation(Location::Mean, shuffledEight<double>(), 1, 0.0), 5.0);
    EXPECT_DOUBLE_EQ(estimateLocation(Location::Median, shuffledEight<double>(), 1, 0.0), 4.5);
    EXPECT_DOUBLE_EQ(estimateLocation(Location::Median, std::vector<double>{3, 1, 2}, 1, 0.0), 2.0);
    EXPECT_DOUBLE_EQ(estimateLocation(Location::ClippedMean, shuffledEight<double>(), 1, 1.0), 22.0 / 5.0);

    // Trimming 0.2 of five drops one from each end: mean of 2, 3, 4.
    EXPECT_DOUBLE_EQ(estimateLocation(Location::TrimmedMean, std::vector<double>{100, 3, 1, 4, 2}, 1, 0.2), 3.0);

    // 0.3 Q(1/3) + 0.4 Q(1/2) + 0.3 Q(2/3) = 0.3 * 3 + 0.4 * 4 + 0.3 * 10.
    EXPECT_NEAR(estimateLocation(Location::Gastwirth, std::vector<double>{40, 1, 20, 3, 10, 2, 4}, 1, 0.0), 5.5, 1e-12);
}

TEST(LocationEstimators, IntegerTypesClipWithIntegerDivision)
{
    // 22 / 5 truncates to 4 for every integer element type.
    EXPECT_EQ(estimateLocation(Location::ClippedMean, shuffledEight<int>(), 1, 1.0), 4.0);
    EXPECT_EQ(estimateLocation(Location::ClippedMean, shuffledEight<unsigned char>(), 1, 1.0), 4.0);
    EXPECT_NEAR(estimateLocation(Location::ClippedMean, shuffledEight<float>(), 1, 1.0), 4.4, 1e-6);

    // The same type's median, mean and trimmed mean keep their fractions.
    EXPECT_EQ(estimateLocation(Location::Median, shuffledEight<unsigned char>(), 1, 0.0), 4.5);
    EXPECT_EQ(estimateLocation(Location::Mean, std::vector<int>{1, 2}, 1, 0.0), 1.5);
    EXPECT_EQ(estimateLocation(Location::TrimmedMean, std::vector<short>{-9, 1, 2, 900}, 1, 0.25), 1.5);
}

TEST(LocationEstimators, ClippedMeanFallsBackToTheMedian)
{
    // Fewer than four elements.
    EXPECT_EQ(estimateLocation(Location::ClippedMean, std::vector<int>{1, 9, 2}, 1, 1.0), 2.0);
    // A band narrower than the gap around the median (4.5) holds nothing.
    EXPECT_EQ(estimateLocation(Location::ClippedMean, shuffledEight<double>(), 1, 0.1), 4.5);
}

TEST(LocationEstimators, StrideSelectsElementsAndLeavesTheCallersVector)
{
    // Every second element: 9, 1, 5 (median 5, mean 5); 100s are skipped.
    const std::vector<int> samples = {9, 100, 1, 100, 5, 100};
    EXPECT_EQ(estimateLocation(Location::Median, samples, 2, 0.0), 5.0);
    EXPECT_EQ(estimateLocation(Location::Mean, samples, 2, 0.0), 5.0);
    // Every third of five elements: indices 0 and 3.
    EXPECT_EQ(estimateLocation(Location::Median, std::vector<int>{9, 0, 0, 100, 0}, 3, 0.0), 54.5);
    EXPECT_EQ(samples, (std::vector<int>{9, 100, 1, 100, 5, 100}));
}

TEST(LocationEstimators, DegenerateInputs)
{
    for (Location type : {Location::Mean, Location::Median, Location::TrimmedMean, Location::Gastwirth,
                          Location::ClippedMean})
        EXPECT_EQ(estimateLocation(type, std::vector<double>{}, 1, 0.2), 0.0);
    EXPECT_THROW(estimateLocation(Location::Median, std::vector<int>{1, 2}, 0, 0.0), std::invalid_argument);
    EXPECT_THROW(estimateLocation(Location(7), std::vector<int>{1, 2}, 1, 0.0), std::invalid_argument);
}
