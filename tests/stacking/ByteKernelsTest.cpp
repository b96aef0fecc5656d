#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "stacking/ByteKernels.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Around every block boundary, past the threading threshold, and large.
const std::size_t kSizes[] = {0, 1, 15, 16, 17, 31, 32, 33, 10001, 1000003};

Bytes randomBytes(std::size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> byte(0, 255);
    Bytes bytes(n);
    for (auto& b : bytes)
        b = static_cast<std::uint8_t>(byte(rng));
    return bytes;
}

// Portable first, then every vector level this processor has.
std::vector<SimdLevel> levelsOfThisMachine()
{
    std::vector<SimdLevel> levels;
    for (int level = 0; level <= int(processorSimdLevel()); ++level)
        levels.push_back(SimdLevel(level));
    return levels;
}

// The samples in complete vector blocks, the only ones scaleBytes rounds.
std::size_t roundedPrefix(SimdLevel level, std::size_t n)
{
    if (level == SimdLevel::None)
        return 0;
    const std::size_t block = level == SimdLevel::Sse41 ? 16 : 32;
    return n / block * block;
}

// Rounded to nearest even in complete vector blocks, truncated elsewhere.
std::uint8_t expectedScaled(std::uint8_t sample, float s, bool inVectorBlock)
{
    const float x = float(sample) * s;
    const float limited = inVectorBlock ? std::nearbyint(x) : std::trunc(x);
    return static_cast<std::uint8_t>(std::clamp(limited, 0.0f, 255.0f));
}

double referenceVariance(const Bytes& a)
{
    double mean = 0.0;
    for (auto x : a)
        mean += x;
    mean /= double(a.size());
    double squares = 0.0;
    for (auto x : a)
        squares += (x - mean) * (x - mean);
    return squares / double(a.size() - 1);
}

Bytes scaledCopy(SimdLevel level, Bytes a, float s)
{
    scaleBytes(level, a.data(), a.size(), s);
    return a;
}

}  // namespace

TEST(ByteKernels, VectorAddAndStatisticsAgreeWithPortablePathAndPlainFormulas)
{
    for (std::size_t n : kSizes) {
        const Bytes a = randomBytes(n, 11);
        const Bytes b = randomBytes(n, 12);
        Bytes expectedSum(n);
        std::uint64_t total = 0;
        for (std::size_t i = 0; i < n; ++i) {
            expectedSum[i] = static_cast<std::uint8_t>(std::min(a[i] + b[i], 255));
            total += a[i];
        }
        const float portableVariance = varianceBytes(SimdLevel::None, a.data(), n);
        if (n >= 2)
            EXPECT_NEAR(portableVariance, referenceVariance(a), 1e-5 * referenceVariance(a)) << n;
        else
            EXPECT_EQ(portableVariance, 0.0f) << n;

        for (SimdLevel level : levelsOfThisMachine()) {
            Bytes sum = a;
            addSaturate(level, sum.data(), b.data(), n);
            EXPECT_EQ(sum, expectedSum) << "level " << int(level) << " n " << n;
            EXPECT_EQ(meanBytes(level, a.data(), n), n == 0 ? 0.0f : float(total) / float(n));
            EXPECT_NEAR(varianceBytes(level, a.data(), n), portableVariance, 1e-5 * portableVariance)
                << "level " << int(level) << " n " << n;
        }
    }
}

TEST(ByteKernels, ScaleRoundsInCompleteVectorBlocksAndTruncatesEverywhereElse)
{
    for (std::size_t n : kSizes) {
        const Bytes a = randomBytes(n, 21);
        for (float s : {1.0f / 3.0f, 1.37f, 2.5f}) {
            for (SimdLevel level : levelsOfThisMachine()) {
                const std::size_t rounded = roundedPrefix(level, n);
                const Bytes scaled = scaledCopy(level, a, s);
                for (std::size_t i = 0; i < n; ++i)
                    ASSERT_EQ(scaled[i], expectedScaled(a[i], s, i < rounded))
                        << "level " << int(level) << " n " << n << " s " << s << " i " << i;
            }
        }
    }
}

TEST(ByteKernels, SaturationIsAlikeOnEveryPath)
{
    const Bytes bright(70, 200);
    const Bytes hundreds(33, 100);
    Bytes mixed(70, 0);
    std::fill(mixed.begin() + 35, mixed.end(), 7);
    Bytes mixedSaturated(70, 0);
    std::fill(mixedSaturated.begin() + 35, mixedSaturated.end(), 255);
    const float infinity = std::numeric_limits<float>::infinity();

    for (SimdLevel level : levelsOfThisMachine()) {
        // 33 samples: one 32-sample block and one single step at AVX/AVX2.
        Bytes sum(33, 200);
        addSaturate(level, sum.data(), hundreds.data(), sum.size());
        EXPECT_EQ(sum, Bytes(33, 255)) << int(level);

        EXPECT_EQ(scaledCopy(level, bright, 1.5f), Bytes(70, 255)) << int(level);
        EXPECT_EQ(scaledCopy(level, bright, -2.0f), Bytes(70, 0)) << int(level);
        EXPECT_EQ(scaledCopy(level, bright, std::nanf("")), Bytes(70, 0)) << int(level);
        // Beyond 2^31 a plain vector conversion gives INT_MIN, which would end as 0.
        EXPECT_EQ(scaledCopy(level, mixed, 1e10f), mixedSaturated) << int(level);
        // 0 * infinity is NaN: 0.
        EXPECT_EQ(scaledCopy(level, mixed, infinity), mixedSaturated) << int(level);
    }
}

TEST(ByteKernels, MeanOfSeventeenMillionFullSamplesDoesNotWrap)
{
    // The byte sum, 4 335 000 000, is beyond 2^32; wrapped it would give 2.35.
    const Bytes full(17000000, 255);
    for (SimdLevel level : levelsOfThisMachine()) {
        EXPECT_NEAR(meanBytes(level, full.data(), full.size()), 255.0f, 0.01f) << int(level);
        EXPECT_EQ(varianceBytes(level, full.data(), full.size()), 0.0f) << int(level);
    }
}

TEST(ByteKernels, MedianSortsInPlaceAndRoundsDownBetweenTwoMiddles)
{
    Bytes pair{200, 11};
    EXPECT_EQ(medianBytes(pair.data(), pair.size()), 105);  // 105.5 rounded down
    EXPECT_EQ(pair, (Bytes{11, 200}));
    Bytes triple{200, 10, 11};
    EXPECT_EQ(medianBytes(triple.data(), triple.size()), 11);
    EXPECT_EQ(medianBytes(nullptr, 0), 0);
}
