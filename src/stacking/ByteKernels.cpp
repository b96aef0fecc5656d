#include "stacking/ByteKernels.h"

#include <algorithm>
#include <atomic>

#include "stacking/BlockKernels.h"
#include "stacking/ParallelShares.h"

namespace {

// Cleared by --disable-simd; every dispatch reads it.
std::atomic<int> simdEnabled{1};

// Squared deviations are added in single precision over runs of this many
// samples and the run totals in double: a float partial of millions of terms
// would stop growing long before the end. A multiple of every block size.
constexpr std::size_t kSquaresRun = 1024;

SimdLevel detectProcessorLevel()
{
    // Only needed before constructors have run, as when a kernel is called
    // from another file's static initialisation; harmless after.
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2"))
        return SimdLevel::Avx2;
    if (__builtin_cpu_supports("avx"))
        return SimdLevel::Avx;
    if (__builtin_cpu_supports("sse4.1"))
        return SimdLevel::Sse41;
    return SimdLevel::None;
}

const RewriteKernels& rewriteKernels(SimdLevel level)
{
    switch (level) {
    case SimdLevel::Avx2:
        return avx2RewriteKernels;
    case SimdLevel::Avx:
        return avxRewriteKernels;
    case SimdLevel::Sse41:
        return sse41RewriteKernels;
    case SimdLevel::None:
        break;
    }
    return portableRewriteKernels;
}

const StatisticsKernels& statisticsKernels(SimdLevel level)
{
    switch (level) {
    case SimdLevel::Avx2:
        return avx2StatisticsKernels;
    case SimdLevel::Avx:
        return avxStatisticsKernels;
    case SimdLevel::Sse41:
    case SimdLevel::None:
        break;
    }
    return portableStatisticsKernels;
}

// The vector drivers below split whole blocks over the threads, so however
// many threads run, only the last n mod blockSize samples take the portable
// tail; for the portable set a block is one sample and the tail is empty.

void addWith(const RewriteKernels& k, std::uint8_t* a, const std::uint8_t* b, std::size_t n)
{
    const std::size_t blocks = n / k.blockSize;
    forEachShare(blocks, worthSplitting(n), [&](std::size_t first, std::size_t last) {
        k.add(a + first * k.blockSize, b + first * k.blockSize, last - first);
    });
    const std::size_t done = blocks * k.blockSize;
    portableRewriteKernels.add(a + done, b + done, n - done);
}

void scaleWith(const RewriteKernels& k, std::uint8_t* a, std::size_t n, float s)
{
    const std::size_t blocks = n / k.blockSize;
    forEachShare(blocks, worthSplitting(n), [&](std::size_t first, std::size_t last) {
        k.scale(a + first * k.blockSize, last - first, s);
    });
    const std::size_t done = blocks * k.blockSize;
    portableRewriteKernels.scale(a + done, n - done, s);
}

std::uint64_t sumWith(const StatisticsKernels& k, const std::uint8_t* a, std::size_t n)
{
    const std::size_t blocks = n / k.blockSize;
    const auto sumShare = [&](std::size_t first, std::size_t last) {
        return k.sum(a + first * k.blockSize, last - first);
    };
    const std::uint64_t blockSum = sumOfShares<std::uint64_t>(blocks, worthSplitting(n), sumShare);
    const std::size_t done = blocks * k.blockSize;
    return blockSum + portableStatisticsKernels.sum(a + done, n - done);
}

double squaredDeviationsInRuns(const StatisticsKernels& k, const std::uint8_t* a, std::size_t blocks,
                               float mean)
{
    const std::size_t runBlocks = kSquaresRun / k.blockSize;
    double total = 0.0;
    for (std::size_t first = 0; first < blocks; first += runBlocks)
        total += k.squaredDeviations(a + first * k.blockSize, std::min(runBlocks, blocks - first), mean);
    return total;
}

double squaredDeviationsWith(const StatisticsKernels& k, const std::uint8_t* a, std::size_t n, float mean)
{
    const std::size_t blocks = n / k.blockSize;
    const auto shareTotal = [&](std::size_t first, std::size_t last) {
        return squaredDeviationsInRuns(k, a + first * k.blockSize, last - first, mean);
    };
    const double blockTotal = sumOfShares<double>(blocks, worthSplitting(n), shareTotal);
    const std::size_t done = blocks * k.blockSize;
    return blockTotal + portableStatisticsKernels.squaredDeviations(a + done, n - done, mean);
}

float meanOf(std::uint64_t sum, std::size_t n) { return n == 0 ? 0.0f : float(sum) / float(n); }

}  // namespace

void setSimdEnabled(bool enabled) { simdEnabled.store(enabled ? 1 : 0, std::memory_order_relaxed); }

bool isSimdEnabled() { return simdEnabled.load(std::memory_order_relaxed) != 0; }

SimdLevel processorSimdLevel()
{
    // -1 until the first call; concurrent first callers all store the same level.
    static std::atomic<int> cached{-1};
    int level = cached.load(std::memory_order_relaxed);
    if (level < 0) {
        level = int(detectProcessorLevel());
        cached.store(level, std::memory_order_relaxed);
    }
    return SimdLevel(level);
}

SimdLevel getSimdLevel() { return isSimdEnabled() ? processorSimdLevel() : SimdLevel::None; }

void addSaturate(SimdLevel level, std::uint8_t* a, const std::uint8_t* b, std::size_t n)
{
    addWith(rewriteKernels(level), a, b, n);
}

void scaleBytes(SimdLevel level, std::uint8_t* a, std::size_t n, float s)
{
    scaleWith(rewriteKernels(level), a, n, s);
}

float meanBytes(SimdLevel level, const std::uint8_t* a, std::size_t n)
{
    return meanOf(sumWith(statisticsKernels(level), a, n), n);
}

float varianceBytes(SimdLevel level, const std::uint8_t* a, std::size_t n)
{
    if (n < 2)
        return 0.0f;
    const StatisticsKernels& k = statisticsKernels(level);
    const float mean = meanOf(sumWith(k, a, n), n);
    return float(squaredDeviationsWith(k, a, n, mean)) / float(n - 1);
}

void addSaturate(std::uint8_t* a, const std::uint8_t* b, std::size_t n)
{
    addSaturate(getSimdLevel(), a, b, n);
}

void scaleBytes(std::uint8_t* a, std::size_t n, float s) { scaleBytes(getSimdLevel(), a, n, s); }

float meanBytes(const std::uint8_t* a, std::size_t n) { return meanBytes(getSimdLevel(), a, n); }

float varianceBytes(const std::uint8_t* a, std::size_t n) { return varianceBytes(getSimdLevel(), a, n); }

int medianBytes(std::uint8_t* a, std::size_t n)
{
    if (n == 0)
        return 0;
    std::sort(a, a + n);
    const std::size_t middle = n / 2;
    return n % 2 == 1 ? a[middle] : (a[middle - 1] + a[middle]) / 2;
}
